#include "bus-watch.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <utility>

namespace {
// A request whose answer is never read: the socket takes no more bytes from the kernel, whose small
// window then fills at once. Closing it leaves bytes unread, so the kernel resets the connection.
QTcpSocket *neverReading(const QByteArray &path)
{
	auto *socket = new QTcpSocket();
	socket->connectToHost(QHostAddress::LocalHost, 4251);
	socket->setReadBufferSize(1);
	socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
	socket->write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
	return socket;
}
} // namespace

BusWatch::BusWatch()
{
	moveToThread(&thread);
	for (int i = 0; i < kReaders; ++i) {
		ids.append(QStringList());
		buffers.append(QByteArray());
		headSeen.append(false);
	}
}

BusWatch::~BusWatch()
{
	QMetaObject::invokeMethod(
		this,
		[this] {
			delete probeTimer;
			delete probeSocket;
			qDeleteAll(readers);
			readers.clear();
			qDeleteAll(hoarders);
			hoarders.clear();
			qDeleteAll(stallers + burst);
		},
		Qt::BlockingQueuedConnection);
	thread.quit();
	thread.wait();
}

void BusWatch::start()
{
	thread.start();
	QMetaObject::invokeMethod(this, [this] {
		for (int i = 0; i < kReaders; ++i) {
			readers.append(new QTcpSocket());
			openReader(i);
		}
		probeTimer = new QTimer();
		connect(probeTimer, &QTimer::timeout, this, &BusWatch::probe);
		probeTimer->start(kProbeEveryMs);
	});
}

QStringList BusWatch::faults() const
{
	QMutexLocker lock(&mutex);
	return faultLines;
}

QList<QStringList> BusWatch::eventIds() const
{
	QMutexLocker lock(&mutex);
	return ids;
}

qint64 BusWatch::probes() const
{
	QMutexLocker lock(&mutex);
	return probeCount;
}

void BusWatch::fault(const QString &line)
{
	QMutexLocker lock(&mutex);
	if (!faultLines.contains(line) && faultLines.size() < 50)
		faultLines.append(line);
}

void BusWatch::hoard()
{
	if (hoarders.size() >= kHoarders)
		delete hoarders.takeFirst();
	hoarders.append(neverReading("/widget/asset/particle"));
}

// Keeps kStallers streams open (at most kConnectsPerTurn new ones a turn, as the listen backlog holds
// 50 and a connection past it would wait a second for the kernel's retry, the probe's too), and
// every second opens kBurst more over two turns and resets them all together.
void BusWatch::misbehave()
{
	stallers.removeIf([](QTcpSocket *socket) {
		const bool dropped = socket->state() == QAbstractSocket::UnconnectedState;
		if (dropped)
			delete socket;
		return dropped;
	});
	for (int i = 0; i < kConnectsPerTurn && stallers.size() < kStallers; ++i)
		stallers.append(neverReading("/events"));
	const int turn = burstTurn++ % 4;
	for (int i = 0; turn < 2 && i < kBurst / 2; ++i)
		burst.append(neverReading("/events"));
	if (turn == 2)
		qDeleteAll(std::exchange(burst, {}));
}

void BusWatch::probe()
{
	hoard();
	misbehave();
	if (probeSocket) {
		if (probeClock.elapsed() > kAnswerWithinMs) {
			fault(QStringLiteral("%1 not answered within %2 ms")
				      .arg(QString::fromLatin1(probePath))
				      .arg(kAnswerWithinMs));
			probeSocket->deleteLater();
			probeSocket = nullptr;
		}
		return;
	}
	{
		QMutexLocker lock(&mutex);
		probePath = ++probeCount % 2 ? QByteArray("/health") : QByteArray("/widget/event-goal/");
	}
	probeAnswer.clear();
	probeClock.start();
	auto *socket = new QTcpSocket(this);
	probeSocket = socket;
	connect(socket, &QTcpSocket::connected, socket,
		[this, socket] { socket->write("GET " + probePath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"); });
	connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { probeAnswer += socket->readAll(); });
	connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
		probeAnswer += socket->readAll();
		socket->deleteLater();
		if (probeSocket != socket)
			return;
		probeSocket = nullptr;
		const qsizetype end = probeAnswer.indexOf("\r\n\r\n");
		const QByteArray body = end < 0 ? QByteArray() : probeAnswer.mid(end + 4);
		const bool ok = probeAnswer.startsWith("HTTP/1.1 200 ") &&
				(probePath == "/health" ? QJsonDocument::fromJson(body).object().value("ok").toBool()
							: body.contains("<"));
		if (!ok)
			fault(QStringLiteral("%1 answered %2")
				      .arg(QString::fromLatin1(probePath), QString::fromLatin1(probeAnswer.left(200))));
		else if (probeClock.elapsed() > kAnswerWithinMs)
			fault(QStringLiteral("%1 answered after %2 ms")
				      .arg(QString::fromLatin1(probePath))
				      .arg(probeClock.elapsed()));
	});
	socket->connectToHost(QHostAddress::LocalHost, 4251);
}

void BusWatch::openReader(int index)
{
	QTcpSocket *socket = readers.at(index);
	buffers[index].clear();
	headSeen[index] = false;
	connect(socket, &QTcpSocket::connected, socket,
		[socket] { socket->write("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"); });
	connect(socket, &QTcpSocket::readyRead, socket, [this, index] { read(index); });
	connect(socket, &QTcpSocket::disconnected, socket,
		[this, index] { fault(QStringLiteral("reader %1: the bus closed the stream").arg(index)); });
	socket->connectToHost(QHostAddress::LocalHost, 4251);
}

// Blocks are "event: NAME\ndata: JSON\n\n" or comment and retry lines, and nothing else.
void BusWatch::read(int index)
{
	static const QRegularExpression eventLine(QStringLiteral("^event: [a-z][a-z-]*$"));
	static const QRegularExpression retryLine(QStringLiteral("^retry: [0-9]+$"));
	QByteArray &buffer = buffers[index];
	buffer += readers.at(index)->readAll();
	if (!headSeen[index]) {
		const qsizetype end = buffer.indexOf("\r\n\r\n");
		if (end < 0)
			return;
		if (!buffer.startsWith("HTTP/1.1 200 ") || !buffer.left(end).contains("text/event-stream"))
			fault(QStringLiteral("reader %1: head %2")
				      .arg(index)
				      .arg(QString::fromLatin1(buffer.left(end))));
		buffer.remove(0, end + 4);
		headSeen[index] = true;
	}
	for (qsizetype end = buffer.indexOf("\n\n"); end >= 0; end = buffer.indexOf("\n\n")) {
		const QList<QByteArray> lines = buffer.left(end).split('\n');
		buffer.remove(0, end + 2);
		QString event;
		int dataLines = 0;
		QJsonDocument data;
		bool wellFormed = true;
		for (const QByteArray &line : lines) {
			const QString text = QString::fromUtf8(line);
			if (line.startsWith(':') || retryLine.match(text).hasMatch())
				continue;
			if (eventLine.match(text).hasMatch() && event.isEmpty()) {
				event = text.mid(7);
			} else if (line.startsWith("data: ")) {
				QJsonParseError error{};
				data = QJsonDocument::fromJson(line.mid(6), &error);
				++dataLines;
				wellFormed = wellFormed && error.error == QJsonParseError::NoError && data.isObject();
			} else {
				wellFormed = false;
			}
		}
		if (!wellFormed || (event.isEmpty() != (dataLines == 0)) || dataLines > 1) {
			fault(QStringLiteral("reader %1: ill-formed block %2")
				      .arg(index)
				      .arg(QString::fromUtf8(lines.join("\\n").left(300))));
			continue;
		}
		if (event == QLatin1String("kelp")) {
			const QJsonObject object = data.object();
			QMutexLocker lock(&mutex);
			ids[index].append(object.value("id").toString() + QLatin1Char('@') +
					  QString::number(object.value("seq").toDouble(), 'g', 17));
		}
	}
}
