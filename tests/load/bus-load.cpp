// Load generator for the local bus, run as its own process so that the bus's event loop is the
// only one serving it. Prints one JSON line with what it saw and exits 0; the verdict is the test's.
//
//   kelp-bus-load READING STALLED HEADS HEAD_BYTES SECONDS [UNREAD [PAUSE_MS [SLOW]]]
//
// READING "/events" streams that check every "kelp" event arrives in "seq" order up to the one
// with "last":true, and with PAUSE_MS stop reading for that long once, 2 s in, as a process
// starved by an encoder does; STALLED streams that never read; HEADS connections that each
// send HEAD_BYTES of a head that never ends; UNREAD connections that ask for the "frame" image and
// never read it; SLOW ones that read it at 64 KiB per 100 ms and count as plain requests. Once the
// reading streams are open, plain requests go out at 200 a second for SECONDS and for as long as
// any head is held. It runs with the test's file limit.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
// A connection that sends its request and then reads, following the "seq" of any "kelp" events
// and keeping whatever else arrives; or, stalled, takes no more bytes from the kernel, whose
// small window then fills at once. A pausing or trickling one reads through small buffers, so
// what it leaves unread backs up into the bus.
class Peer : public QObject {
public:
	enum class Reads { All, Never, Pausing, Trickle };
	Peer(const QByteArray &request, bool stalled, QObject *parent)
	    : Peer(request, stalled ? Reads::Never : Reads::All, 0, parent)
	{
	}
	Peer(const QByteArray &request, Reads reads, int pauseMs, QObject *parent)
	    : QObject(parent), stalled(reads == Reads::Never)
	{
		if (reads == Reads::Pausing) { // once, 2 s in
			connect(&pacer, &QTimer::timeout, this, [this, pauseMs] {
				paused = !paused;
				if (paused)
					pacer.start(pauseMs);
				else
					pacer.stop();
				take();
			});
			pacer.start(2000);
		} else if (reads == Reads::Trickle) {
			paused = true; // only the pacer reads
			connect(&pacer, &QTimer::timeout, this, [this] { pending += socket.read(64 * 1024); });
			pacer.start(100);
		}
		connect(&socket, &QTcpSocket::connected, this, [this, request] {
			held.start();
			socket.write(request);
		});
		connect(&socket, &QTcpSocket::readyRead, this, [this] { take(); });
		connect(&socket, &QTcpSocket::disconnected, this, [this] { close(); });
		connect(&socket, &QTcpSocket::errorOccurred, this, [this] { close(); });
		socket.connectToHost(QHostAddress::LocalHost, 4251);
		if (reads != Reads::All) { // the option needs the socket that connectToHost has just created
			socket.setReadBufferSize(stalled ? 1 : 64 * 1024);
			socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
					       stalled ? 4096 : 64 * 1024);
		}
	}
	std::function<void()> closed;
	bool isClosed = false;
	qint64 heldMs = -1; // from connecting to being closed
	QByteArray pending; // what arrived and is not an event
	bool opened = false;
	bool inOrder = true;
	bool sawLast = false;

private:
	void close()
	{
		if (isClosed)
			return;
		paused = false;
		take();
		isClosed = true;
		heldMs = held.isValid() ? held.elapsed() : -1;
		if (closed)
			closed();
	}
	void take()
	{
		if (stalled || paused)
			return;
		pending += socket.readAll();
		if (!opened) {
			const qsizetype end = pending.indexOf(": kelp-local-ready\n\n");
			if (end < 0)
				return;
			opened = pending.startsWith("HTTP/1.1 200 OK\r\n");
			pending.remove(0, end + 20);
		}
		qsizetype start = 0;
		for (qsizetype end; (end = pending.indexOf("\n\n", start)) >= 0; start = end + 2) {
			const QByteArray block = pending.mid(start, end - start);
			if (!block.startsWith("event: kelp\ndata: "))
				continue;
			const qsizetype at = block.indexOf("\"seq\":");
			inOrder = inOrder && at >= 0 &&
				  block.mid(at + 6, block.indexOf(',', at) - at - 6).toLongLong() == ++seq;
			sawLast = sawLast || block.contains("\"last\":true");
		}
		pending.remove(0, start);
	}

	const bool stalled;
	bool paused = false;
	QTimer pacer;
	QTcpSocket socket;
	QElapsedTimer held;
	qint64 seq = 0;
};

// Empty when the answer has the status and a body as long as its Content-Length.
QByteArray fault(const QByteArray &answer, int status)
{
	const qsizetype headEnd = answer.indexOf("\r\n\r\n");
	const QByteArray head = answer.left(headEnd);
	if (headEnd < 0 || !head.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '))
		return "unexpected answer: " + head.left(head.indexOf("\r\n")).left(80);
	const qsizetype at = head.indexOf("Content-Length: ");
	if (at < 0 || head.mid(at + 16, head.indexOf("\r\n", at) - at - 16).toLongLong() != answer.size() - headEnd - 4)
		return "body length differs from Content-Length";
	return {};
}

template <typename Test>
int count(const QList<Peer *> &peers, Test test)
{
	return int(std::count_if(peers.cbegin(), peers.cend(), test));
}
} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const QStringList args = app.arguments();
	if (args.size() < 6 || args.size() > 9)
		return 2;
	const int unread = args.value(6).toInt();
	const int pauseMs = args.value(7).toInt();
	const int slow = args.value(8).toInt();
	const int reading = args.at(1).toInt();
	const int stalled = args.at(2).toInt();
	const int heads = args.at(3).toInt();
	const qint64 loadMs = args.at(5).toLongLong() * 1000;
	QByteArray head = "GET /health HTTP/1.1\r\nX-Pad: ";
	head.append(qMax(0, args.at(4).toInt() - int(head.size())), 'p');
	const QList<QPair<QByteArray, int>> mix = {
		{"GET /health HTTP/1.1\r\n\r\n", 200},
		{"GET /widget/config HTTP/1.1\r\n\r\n", 200},
		{"GET /widget/event-goal/?runtime=bundled HTTP/1.1\r\n\r\n", 200},
		{"GET /widget/asset/mask HTTP/1.1\r\n\r\n", 200},
		{"OPTIONS /widget/config HTTP/1.1\r\nOrigin: null\r\n\r\n", 204},
		{"GET /nothing-here HTTP/1.1\r\n\r\n", 404},
	};

	QList<Peer *> readers;
	QList<Peer *> held;
	int created = 0;
	int sent = 0;
	int finished = 0;
	int ok = 0;
	int slowFinished = 0;
	int slowAnswered = 0;
	QByteArray firstFault;
	QElapsedTimer clock;
	QElapsedTimer load;
	clock.start();
	QTimer tick;
	QObject::connect(&tick, &QTimer::timeout, &app, [&] {
		// A hundred at a time, so the listen backlog never overflows into SYN retries.
		for (int i = 0; i < 100 && created < reading + stalled + heads + unread + slow; ++i, ++created) {
			if (created >= reading + stalled + heads + unread) {
				auto *peer = new Peer("GET /widget/asset/frame HTTP/1.1\r\n\r\n", Peer::Reads::Trickle,
						      0, &app);
				peer->closed = [&, peer] {
					++slowFinished;
					const QByteArray why = fault(peer->pending, 200);
					slowAnswered += why.isEmpty();
					firstFault = firstFault.isEmpty() ? why : firstFault;
				};
			} else if (created >= reading + stalled + heads) {
				new Peer("GET /widget/asset/frame HTTP/1.1\r\n\r\n", true, &app);
			} else if (created < reading) {
				readers.append(new Peer("GET /events HTTP/1.1\r\n\r\n",
							pauseMs > 0 ? Peer::Reads::Pausing : Peer::Reads::All, pauseMs,
							&app));
			} else if (created < reading + stalled) // not followed: it cannot tell it was dropped
				new Peer("GET /events HTTP/1.1\r\n\r\n", true, &app);
			else
				held.append(new Peer(head, false, &app));
		}
		if (!load.isValid() && created == reading + stalled + heads + unread + slow &&
		    count(readers, [](const Peer *p) { return p->opened; }) == reading)
			load.start();
		const bool holding = count(held, [](const Peer *p) { return !p->isClosed; }) > 0;
		// Caught up by elapsed time, so a late tick does not lower the rate.
		for (; load.isValid() && (load.elapsed() < loadMs || holding) && sent <= load.elapsed() * 200 / 1000;
		     ++sent) {
			const auto &[request, status] = mix.at(sent % mix.size());
			auto *peer = new Peer(request, false, &app);
			peer->closed = [&, peer, status = status] {
				const QByteArray why = fault(peer->pending, status);
				++finished;
				ok += why.isEmpty();
				firstFault = firstFault.isEmpty() ? why : firstFault;
				peer->deleteLater();
			};
		}
		// A request the bus never answers keeps the run going to its deadline.
		const bool done = load.isValid() && load.elapsed() >= loadMs && !holding && finished == sent &&
				  slowFinished == slow &&
				  count(readers, [](const Peer *p) { return p->sawLast || p->isClosed; }) == reading;
		if (done || clock.elapsed() > loadMs + 180000)
			app.quit();
	});
	tick.start(50);
	app.exec();

	const auto [shortest, longest] = std::minmax_element(
		held.cbegin(), held.cend(), [](const Peer *a, const Peer *b) { return a->heldMs < b->heldMs; });
	const QJsonObject report{
		{"complete",
		 count(readers, [](const Peer *p) { return p->opened && p->inOrder && p->sawLast && !p->isClosed; })},
		{"heads_closed_unanswered",
		 count(held, [](const Peer *p) { return p->heldMs >= 0 && p->pending.isEmpty(); })},
		{"held_min_ms", held.isEmpty() ? -1 : (*shortest)->heldMs},
		{"held_max_ms", held.isEmpty() ? -1 : (*longest)->heldMs},
		{"requests", sent},
		{"answered", ok},
		{"slow_answered", slowAnswered},
		{"first_fault", QString::fromUtf8(firstFault)}};
	const QByteArray line = QJsonDocument(report).toJson(QJsonDocument::Compact) + '\n';
	std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
	return 0;
}
