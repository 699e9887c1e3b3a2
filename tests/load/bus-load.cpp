// Load generator for the local bus, run as its own process so the bus's event loop is measured
// on its own. It prints one JSON report on stdout and exits 0 when the run could be carried out
// (the verdict is the test's).
//
//   bus-load streams --streams N --stalled S --rate R --duration S
//       N "/events" streams that check every "kelp" block arrives in "seq" order, S streams that
//       never read, R plain requests a second for the duration, a /health probe every 250 ms;
//       ends once every reading stream has seen the event with "last":true. (A stalled stream
//       cannot tell it was dropped: the kernel keeps the aborted socket's queue for it.)
//   bus-load stall --connections N --head-bytes B
//       N connections that each send B bytes of a head that never ends, with /health probed
//       every 250 ms until the server has closed them all.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
constexpr quint16 kPort = 4251;
constexpr int kProbeIntervalMs = 250;
constexpr int kRequestTimeoutMs = 10000;

void raiseFileLimit()
{
	rlimit limit{};
	if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_NOFILE, &limit);
	}
}

struct Latencies {
	QList<qint64> values;
	void add(qint64 ms) { values.append(ms); }
	QJsonObject summary() const
	{
		QList<qint64> sorted = values;
		std::sort(sorted.begin(), sorted.end());
		const auto at = [&sorted](double q) {
			return sorted.isEmpty() ? 0 : sorted.at(qMin(sorted.size() - 1, qsizetype(q * sorted.size())));
		};
		return {{"count", int(sorted.size())},
			{"p50_ms", at(0.5)},
			{"p99_ms", at(0.99)},
			{"max_ms", sorted.isEmpty() ? 0 : sorted.constLast()}};
	}
};

// One request on a fresh connection, read until the server closes; checks status and length.
class PlainRequest : public QObject {
public:
	PlainRequest(const QByteArray &request, int expectedStatus, QObject *parent,
		     std::function<void(bool ok, qint64 ms, const QByteArray &why)> done)
	    : QObject(parent), expected(expectedStatus), finish(std::move(done))
	{
		clock.start();
		connect(&socket, &QTcpSocket::connected, this, [this, request] { socket.write(request); });
		connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
		connect(&socket, &QTcpSocket::disconnected, this, [this] { complete(); });
		connect(&socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
			if (error != QAbstractSocket::RemoteHostClosedError)
				fail("socket error " + QByteArray::number(int(error)));
		});
		QTimer::singleShot(kRequestTimeoutMs, this, [this] { fail("no answer within the timeout"); });
		socket.connectToHost(QHostAddress::LocalHost, kPort);
	}

private:
	void complete()
	{
		received += socket.readAll();
		const qsizetype headEnd = received.indexOf("\r\n\r\n");
		const QByteArray statusLine = received.left(received.indexOf("\r\n"));
		if (headEnd < 0 || !statusLine.startsWith("HTTP/1.1 " + QByteArray::number(expected) + ' '))
			return fail("unexpected answer: " + statusLine.left(80));
		const QByteArray head = received.left(headEnd);
		const qsizetype at = head.indexOf("Content-Length: ");
		const qsizetype length =
			at < 0 ? -1 : head.mid(at + 16, head.indexOf("\r\n", at) - at - 16).toLongLong();
		if (length != received.size() - headEnd - 4)
			return fail("body length differs from Content-Length");
		end(true, QByteArray());
	}
	void fail(const QByteArray &why) { end(false, why); }
	void end(bool ok, const QByteArray &why)
	{
		if (ended)
			return;
		ended = true;
		finish(ok, clock.elapsed(), why);
		socket.abort();
		deleteLater();
	}

	QTcpSocket socket;
	QByteArray received;
	QElapsedTimer clock;
	int expected;
	bool ended = false;
	std::function<void(bool, qint64, const QByteArray &)> finish;
};

struct Tally {
	int sent = 0;
	int ok = 0;
	int failed = 0;
	QList<QByteArray> firstErrors;
	Latencies latency;
	void record(bool success, qint64 ms, const QByteArray &why)
	{
		latency.add(ms);
		if (success) {
			++ok;
			return;
		}
		++failed;
		if (firstErrors.size() < 5)
			firstErrors.append(why);
	}
	QJsonObject summary() const
	{
		QJsonArray errors;
		for (const QByteArray &e : firstErrors)
			errors.append(QString::fromUtf8(e));
		QJsonObject out{{"sent", sent}, {"ok", ok}, {"failed", failed}, {"errors", errors}};
		out.insert("latency", latency.summary());
		return out;
	}
};

// An "/events" reader that follows the "kelp" blocks' "seq".
class StreamReader : public QObject {
public:
	StreamReader(bool stalled, QObject *parent) : QObject(parent), stalled(stalled)
	{
		connect(&socket, &QTcpSocket::connected, this,
			[this] { socket.write("GET /events HTTP/1.1\r\nHost: 127.0.0.1:4251\r\n\r\n"); });
		connect(&socket, &QTcpSocket::readyRead, this, [this] { take(); });
		connect(&socket, &QTcpSocket::disconnected, this, [this] { closed = true; });
		socket.connectToHost(QHostAddress::LocalHost, kPort);
		if (stalled) {
			// Never read: Qt stops taking bytes from the kernel, whose small window fills at once.
			// The option needs the socket that connectToHost has just created.
			socket.setReadBufferSize(1);
			socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
		}
	}
	bool stalled;
	bool opened = false;
	bool closed = false;
	bool sawLast = false;
	qint64 events = 0;
	qint64 lastSeq = 0;
	qint64 orderErrors = 0;
	qint64 bytes = 0;
	QTcpSocket socket;

private:
	void take()
	{
		if (stalled)
			return;
		const QByteArray chunk = socket.readAll();
		bytes += chunk.size();
		pending += chunk;
		if (!opened) {
			const qsizetype end = pending.indexOf(": kelp-local-ready\n\n");
			if (end < 0)
				return;
			opened = pending.startsWith("HTTP/1.1 200 OK\r\n");
			pending.remove(0, end + 20);
		}
		qsizetype start = 0;
		for (;;) {
			const qsizetype end = pending.indexOf("\n\n", start);
			if (end < 0)
				break;
			block(QByteArray::fromRawData(pending.constData() + start, end - start));
			start = end + 2;
		}
		pending.remove(0, start);
	}
	void block(const QByteArray &bytes)
	{
		static const QByteArray prefix = QByteArrayLiteral("event: kelp\ndata: ");
		if (!bytes.startsWith(prefix))
			return;
		const qsizetype at = bytes.indexOf("\"seq\":");
		const qint64 seq = at < 0 ? -1 : bytes.mid(at + 6, bytes.indexOf(',', at) - at - 6).toLongLong();
		if (seq != lastSeq + 1)
			++orderErrors;
		lastSeq = seq;
		++events;
		if (bytes.contains("\"last\":true"))
			sawLast = true;
	}
	QByteArray pending;
};

const QList<QPair<QByteArray, int>> &plainMix()
{
	static const QList<QPair<QByteArray, int>> mix = {
		{"GET /health HTTP/1.1\r\nHost: 127.0.0.1:4251\r\n\r\n", 200},
		{"GET /widget/config HTTP/1.1\r\n\r\n", 200},
		{"GET /widget/event-goal/?runtime=bundled HTTP/1.1\r\n\r\n", 200},
		{"GET /widget/asset/mask HTTP/1.1\r\n\r\n", 200},
		{"OPTIONS /widget/config HTTP/1.1\r\nOrigin: null\r\n\r\n", 204},
		{"GET /nothing-here HTTP/1.1\r\n\r\n", 404},
	};
	return mix;
}

void printReport(const QJsonObject &report)
{
	const QByteArray line = QJsonDocument(report).toJson(QJsonDocument::Compact);
	std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
	std::fputc('\n', stdout);
	std::fflush(stdout);
}

int runStreams(QCoreApplication &app, int streamCount, int stalledCount, int rate, int durationS)
{
	QList<StreamReader *> readers;
	QTimer opener;
	QObject::connect(&opener, &QTimer::timeout, &app, [&] {
		// A hundred at a time, so the listen backlog never overflows into SYN retries.
		for (int i = 0; i < 100 && readers.size() < streamCount + stalledCount; ++i)
			readers.append(new StreamReader(readers.size() >= streamCount, &app));
		if (readers.size() == streamCount + stalledCount)
			opener.stop();
	});
	opener.start(50);

	Tally plain;
	Tally health;
	QTimer requestTimer;
	QTimer probeTimer;
	QElapsedTimer clock;
	QElapsedTimer loadClock;
	clock.start();
	int next = 0;
	QObject::connect(&requestTimer, &QTimer::timeout, &app, [&] {
		// Catch up by elapsed time, so a late tick does not lower the rate.
		const qint64 due = loadClock.elapsed() * rate / 1000;
		while (plain.sent < due) {
			const auto &[request, status] = plainMix().at(next++ % plainMix().size());
			++plain.sent;
			new PlainRequest(request, status, &app, [&plain](bool ok, qint64 ms, const QByteArray &why) {
				plain.record(ok, ms, why);
			});
		}
		if (loadClock.elapsed() >= qint64(durationS) * 1000) {
			requestTimer.stop();
			probeTimer.stop();
		}
	});
	QObject::connect(&probeTimer, &QTimer::timeout, &app, [&] {
		++health.sent;
		new PlainRequest(plainMix().at(0).first, 200, &app,
				 [&health](bool ok, qint64 ms, const QByteArray &why) { health.record(ok, ms, why); });
	});

	qint64 openedAfterMs = -1;
	QTimer watch;
	QObject::connect(&watch, &QTimer::timeout, &app, [&] {
		int opened = 0;
		int finished = 0;
		for (const StreamReader *r : readers) {
			if (!r->stalled && r->opened)
				++opened;
			if (!r->stalled && (r->sawLast || r->closed))
				++finished;
		}
		if (openedAfterMs < 0 && opened == streamCount) {
			openedAfterMs = clock.elapsed();
			loadClock.start();
			requestTimer.start(5);
			probeTimer.start(kProbeIntervalMs);
		}
		const bool loadDone = openedAfterMs >= 0 && !requestTimer.isActive() &&
				      plain.ok + plain.failed == plain.sent && health.ok + health.failed == health.sent;
		// Give up 90 s after the load ended, or 120 s without all streams opened.
		const bool overdue = (openedAfterMs < 0 && clock.elapsed() > 120000) ||
				     (openedAfterMs >= 0 && loadClock.elapsed() > qint64(durationS) * 1000 + 90000);
		if ((loadDone && finished == streamCount) || overdue)
			app.quit();
	});
	watch.start(50);
	app.exec();

	qint64 minEvents = -1;
	qint64 maxEvents = 0;
	qint64 orderErrors = 0;
	qint64 bytes = 0;
	int closedEarly = 0;
	int incomplete = 0;
	for (const StreamReader *r : readers) {
		if (r->stalled)
			continue;
		minEvents = minEvents < 0 ? r->events : qMin(minEvents, r->events);
		maxEvents = qMax(maxEvents, r->events);
		orderErrors += r->orderErrors;
		bytes += r->bytes;
		closedEarly += r->closed;
		incomplete += !r->sawLast;
	}
	printReport({{"mode", "streams"},
		     {"streams", streamCount},
		     {"stalled_streams", stalledCount},
		     {"opened_after_ms", openedAfterMs},
		     {"load_ms", loadClock.isValid() ? loadClock.elapsed() : 0},
		     {"events_min", minEvents},
		     {"events_max", maxEvents},
		     {"order_errors", orderErrors},
		     {"streams_closed", closedEarly},
		     {"streams_without_last", incomplete},
		     {"stream_bytes", bytes},
		     {"plain", plain.summary()},
		     {"health", health.summary()}});
	return 0;
}

int runStall(QCoreApplication &app, int connections, int headBytes)
{
	QByteArray head = "GET /health HTTP/1.1\r\nHost: 127.0.0.1:4251\r\nX-Pad: ";
	head += QByteArray(qMax(0, headBytes - int(head.size())), 'p');

	struct Stall {
		QTcpSocket *socket = nullptr;
		qint64 connectedAtMs = -1;
		qint64 closedAtMs = -1;
		qint64 received = 0;
	};
	QList<Stall> stalls(connections);
	QElapsedTimer clock;
	clock.start();
	Tally health;
	int started = 0;

	QTimer opener;
	QObject::connect(&opener, &QTimer::timeout, &app, [&] {
		// A hundred at a time, so the listen backlog never overflows into SYN retries.
		for (int i = 0; i < 100 && started < connections; ++i, ++started) {
			Stall &stall = stalls[started];
			stall.socket = new QTcpSocket(&app);
			const int index = started;
			QObject::connect(stall.socket, &QTcpSocket::connected, &app, [&stalls, &clock, head, index] {
				stalls[index].connectedAtMs = clock.elapsed();
				stalls[index].socket->write(head);
			});
			QObject::connect(stall.socket, &QTcpSocket::readyRead, &app, [&stalls, index] {
				stalls[index].received += stalls[index].socket->readAll().size();
			});
			QObject::connect(stall.socket, &QTcpSocket::disconnected, &app,
					 [&stalls, &clock, index] { stalls[index].closedAtMs = clock.elapsed(); });
			QObject::connect(stall.socket, &QTcpSocket::errorOccurred, &app, [&stalls, &clock, index] {
				if (stalls[index].closedAtMs < 0)
					stalls[index].closedAtMs = clock.elapsed();
			});
			stall.socket->connectToHost(QHostAddress::LocalHost, kPort);
		}
		if (started == connections)
			opener.stop();
	});
	opener.start(50);

	QTimer probe;
	QObject::connect(&probe, &QTimer::timeout, &app, [&] {
		++health.sent;
		new PlainRequest(plainMix().at(0).first, 200, &app,
				 [&health](bool ok, qint64 ms, const QByteArray &why) { health.record(ok, ms, why); });
	});
	probe.start(kProbeIntervalMs);

	QTimer watch;
	QObject::connect(&watch, &QTimer::timeout, &app, [&] {
		const bool allClosed =
			started == connections && std::all_of(stalls.cbegin(), stalls.cend(), [](const Stall &s) {
				return s.closedAtMs >= 0 || s.connectedAtMs < 0;
			});
		const bool probesDone = health.ok + health.failed == health.sent;
		if (allClosed)
			probe.stop();
		if ((allClosed && probesDone) || clock.elapsed() > 60000)
			app.quit();
	});
	watch.start(50);
	app.exec();

	int connected = 0;
	int closed = 0;
	qint64 receivedBytes = 0;
	Latencies held;
	for (const Stall &s : stalls) {
		if (s.connectedAtMs < 0)
			continue;
		++connected;
		receivedBytes += s.received;
		if (s.closedAtMs >= 0) {
			++closed;
			held.add(s.closedAtMs - s.connectedAtMs);
		}
	}
	QJsonObject heldSummary = held.summary();
	heldSummary.insert("min_ms",
			   held.values.isEmpty() ? 0 : *std::min_element(held.values.cbegin(), held.values.cend()));
	printReport({{"mode", "stall"},
		     {"connections", connections},
		     {"head_bytes", int(head.size())},
		     {"connected", connected},
		     {"closed", closed},
		     {"answered_bytes", receivedBytes},
		     {"held", heldSummary},
		     {"duration_ms", clock.elapsed()},
		     {"health", health.summary()}});
	return 0;
}
} // namespace

int main(int argc, char **argv)
{
	raiseFileLimit();
	QCoreApplication app(argc, argv);
	QCommandLineParser parser;
	parser.addPositionalArgument("mode", "streams or stall");
	parser.addOptions({{"streams", "reading streams", "n", "500"},
			   {"stalled", "streams that never read", "n", "0"},
			   {"rate", "plain requests a second", "n", "200"},
			   {"duration", "seconds of plain requests", "s", "30"},
			   {"connections", "stalled heads", "n", "1000"},
			   {"head-bytes", "bytes of each stalled head", "n", "512"}});
	parser.process(app);
	const QString mode = parser.positionalArguments().value(0);
	if (mode == QLatin1String("streams"))
		return runStreams(app, parser.value("streams").toInt(), parser.value("stalled").toInt(),
				  parser.value("rate").toInt(), parser.value("duration").toInt());
	if (mode == QLatin1String("stall"))
		return runStall(app, parser.value("connections").toInt(), parser.value("head-bytes").toInt());
	parser.showHelp(2);
}
