#include "bus/local-sse-server.h"

#include "bus/request-head.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#endif
#ifdef Q_OS_WIN
#include <winsock2.h>
#endif

#include <climits>

namespace {
const char kBufferProperty[] = "kelp_request_buffer";
const char kHandledProperty[] = "kelp_handled";
const char kAnswerBytesProperty[] = "kelp_answer_bytes";
// When the peer last took bytes of what the bus holds for it, and (streams) how much the bus held
// for it after the last write: a queue shorter than that means the peer took bytes meanwhile.
const char kTookAtProperty[] = "kelp_took_at";
const char kQueuedProperty[] = "kelp_queued";
const QByteArray kJsonUtf8 = QByteArrayLiteral("application/json; charset=utf-8");
const QByteArray kJson = QByteArrayLiteral("application/json");
// Each readyRead takes at most this much, so one read never holds far more than the head bound.
constexpr qint64 kSocketReadBuffer = 64 * 1024;

const QByteArray &streamOpening()
{
	static const QByteArray opening = QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
							    "Content-Type: text/event-stream; charset=utf-8\r\n"
							    "Cache-Control: no-cache, no-transform\r\n"
							    "Connection: keep-alive\r\n"
							    "Access-Control-Allow-Origin: *\r\n"
							    "X-Accel-Buffering: no\r\n"
							    "\r\n"
							    "retry: 1500\n"
							    ": kelp-local-ready\n\n");
	return opening;
}

QByteArray reasonPhrase(int status)
{
	switch (status) {
	case 204:
		return QByteArrayLiteral("No Content");
	case 404:
		return QByteArrayLiteral("Not Found");
	default:
		return QByteArrayLiteral("OK");
	}
}

// The asset's type and revision come from the service; a line break or a lone CR in them must
// not add headers or a body.
QByteArray headerValue(QByteArray value)
{
	for (char &c : value) {
		if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
			c = ' ';
	}
	return value;
}

bool isLiveStream(const QPointer<QTcpSocket> &socket)
{
	return socket && socket->state() == QAbstractSocket::ConnectedState;
}

// A copy to walk while writes drop streams from the list.
std::vector<QPointer<QTcpSocket>> snapshot(const std::list<QPointer<QTcpSocket>> &streams)
{
	return std::vector<QPointer<QTcpSocket>>(streams.begin(), streams.end());
}

// Hands the bytes straight to the kernel and returns how many it took; 0 when it would block or
// failed, which leaves the rest (and any error) to Qt's own write path. A write through Qt's
// buffer arms and disarms the socket's write notifier around every block, and with the glib event
// loop each of those wakes the loop and walks its poll list: with many streams open that cost
// more than the sends themselves. Winsock's send on Qt's non-blocking socket is the same
// operation, so both platforms take one road; KELP_BUS_DIRECT_SEND=0 sends through Qt's buffer
// instead, to measure that path.
qint64 sendDirect(QTcpSocket *socket, const QByteArray &bytes)
{
	const qintptr descriptor = socket->socketDescriptor();
	if (descriptor == -1)
		return 0;
#ifdef Q_OS_WIN
	const int sent = ::send(SOCKET(descriptor), bytes.constData(), int(qMin<qsizetype>(bytes.size(), INT_MAX)), 0);
	return sent > 0 ? qint64(sent) : 0;
#else
#ifdef MSG_NOSIGNAL
	constexpr int flags = MSG_NOSIGNAL;
#else
	constexpr int flags = 0;
#endif
	ssize_t sent;
	do {
		sent = ::send(int(descriptor), bytes.constData(), size_t(bytes.size()), flags);
	} while (sent < 0 && errno == EINTR);
	return sent > 0 ? qint64(sent) : 0;
#endif
}

#ifdef Q_OS_WIN
// Qt binds without SO_EXCLUSIVEADDRUSE, and Windows then lets a socket on 127.0.0.1 share a port
// that another program holds on 0.0.0.0 or [::], so each could receive the other's connections.
// The listener is made here with the option and handed to Qt already listening. It is not
// inheritable: a child process libobs starts with inheritance on would otherwise hold the port
// after OBS has gone.
bool listenExclusive(QTcpServer *listener, quint16 port, QAbstractSocket::SocketError *error, QString *errorString)
{
	WSADATA wsa;
	if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
		*error = QAbstractSocket::UnknownSocketError;
		*errorString = QStringLiteral("the network layer did not start");
		return false;
	}
	const SOCKET handle = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
					 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
	int code = handle == INVALID_SOCKET ? WSAGetLastError() : 0;
	if (code == 0) {
		const BOOL on = TRUE;
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_port = htons(port);
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		if (setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on),
			       sizeof on) != 0 ||
		    bind(handle, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
		    listen(handle, SOMAXCONN) != 0)
			code = WSAGetLastError();
	}
	bool ok = false;
	if (code == 0) {
		ok = listener->setSocketDescriptor(qintptr(handle));
		if (!ok) {
			*error = listener->serverError();
			*errorString = listener->errorString();
		}
	} else if (code == WSAEADDRINUSE) {
		*error = QAbstractSocket::AddressInUseError;
		*errorString = QStringLiteral("the port is in use");
	} else if (code == WSAEACCES) {
		// Also what a port inside a range Windows reserves (Hyper-V, WSL) gives.
		*error = QAbstractSocket::SocketAccessError;
		*errorString = QStringLiteral("access denied");
	} else {
		*error = QAbstractSocket::UnknownSocketError;
		*errorString = QStringLiteral("Windows socket error %1").arg(code);
	}
	if (!ok && handle != INVALID_SOCKET)
		closesocket(handle);
	WSACleanup(); // Qt keeps the network layer up for itself
	return ok;
}
#endif
} // namespace

QByteArray jsonStringBody(const QString &text)
{
	const QByteArray utf8 = text.toUtf8();
	QByteArray out;
	out.reserve(utf8.size());
	for (const char c : utf8) {
		const auto byte = static_cast<unsigned char>(c);
		switch (byte) {
		case '"':
			out += "\\\"";
			break;
		case '\\':
			out += "\\\\";
			break;
		case '\n':
			out += "\\n";
			break;
		case '\r':
			out += "\\r";
			break;
		case '\t':
			out += "\\t";
			break;
		case '\b':
			out += "\\b";
			break;
		case '\f':
			out += "\\f";
			break;
		default:
			if (byte < 0x20) {
				static const char hex[] = "0123456789abcdef";
				out += "\\u00";
				out += hex[byte >> 4];
				out += hex[byte & 0xF];
			} else {
				out += c;
			}
		}
	}
	return out;
}

LocalSseServer::LocalSseServer(QObject *parent) : QObject(parent)
{
	connect(&listener, &QTcpServer::newConnection, this, &LocalSseServer::acceptConnection);
	connect(&keepaliveTimer, &QTimer::timeout, this, &LocalSseServer::heartbeat);
	keepaliveTimer.setInterval(12000);
	clock.start();
	listenRetryTimer.setSingleShot(true);
	connect(&listenRetryTimer, &QTimer::timeout, this, &LocalSseServer::retryListen);
}

bool LocalSseServer::directSendEnabled()
{
	// Read once: a stream must not change roads between two blocks.
	static const bool enabled = qEnvironmentVariable("KELP_BUS_DIRECT_SEND") != QLatin1String("0");
	return enabled;
}

LocalSseServer::~LocalSseServer() = default;

bool LocalSseServer::start()
{
	if (listener.isListening())
		return true;
	listenRetryTimer.stop();
	const bool ok = listenOnPort();
	if (!ok) {
		// The port may be free a moment later: a program that held it ends, or on Windows the
		// previous run's connections finish closing.
		listenRetryMs = kListenRetryFirstMs;
		listenRetryTimer.start(listenRetryMs);
	}
	noteStateChange();
	return ok;
}

bool LocalSseServer::listenOnPort()
{
#ifdef Q_OS_WIN
	const bool ok = listenExclusive(&listener, kPort, &lastListenError, &lastListenErrorString);
#else
	const bool ok = listener.listen(QHostAddress::LocalHost, kPort);
	lastListenError = listener.serverError();
	lastListenErrorString = listener.errorString();
#endif
	if (ok) {
		lastListenError = QAbstractSocket::UnknownSocketError;
		lastListenErrorString.clear();
		keepaliveTimer.start();
	}
	return ok;
}

void LocalSseServer::retryListen()
{
	if (listener.isListening())
		return;
	if (listenOnPort()) {
		noteStateChange();
		emit listeningAfterRetry();
		return;
	}
	listenRetryMs = qMin(listenRetryMs * 2, kListenRetryMaxMs);
	listenRetryTimer.start(listenRetryMs);
}

void LocalSseServer::stop()
{
	keepaliveTimer.stop();
	listenRetryTimer.stop();
	// Copy first: a disconnect may finish synchronously and take its stream off the list.
	for (const QPointer<QTcpSocket> &socket : snapshot(clients)) {
		if (socket)
			socket->disconnectFromHost();
	}
	clients.clear();
	clientPlaces.clear();
	listener.close();
	noteStateChange();
}

bool LocalSseServer::isListening() const
{
	return listener.isListening();
}

quint16 LocalSseServer::port() const
{
	return listener.isListening() ? listener.serverPort() : 0;
}

int LocalSseServer::clientCount() const
{
	return static_cast<int>(clients.size());
}

quint64 LocalSseServer::deliveredCount() const
{
	return delivered;
}

QString LocalSseServer::widgetRevision() const
{
	return configRevision;
}

QAbstractSocket::SocketError LocalSseServer::listenError() const
{
	return lastListenError;
}

QString LocalSseServer::listenErrorString() const
{
	return lastListenErrorString;
}

void LocalSseServer::setMaxConnections(int count)
{
	maxConnections = qMax(1, count);
}

void LocalSseServer::setWidgetRoot(const QString &root)
{
	widgetRoot = root;
}

void LocalSseServer::setRuntimeVersion(const QString &version)
{
	runtimeVersion = version.isEmpty() ? QStringLiteral("bundled") : version;
	noteStateChange();
}

void LocalSseServer::setWidgetConfig(const QByteArray &json, const QString &revision)
{
	widgetConfig = json.isEmpty() ? QByteArrayLiteral("{}") : json;
	configRevision = revision;
	broadcast(QByteArrayLiteral("config"), widgetConfig);
	noteStateChange();
}

void LocalSseServer::setWidgetAsset(const QString &slot, const QByteArray &mime, const QByteArray &data,
				    const QString &revision)
{
	assets.insert(slot, WidgetAsset{mime, data, revision});
	broadcast(QByteArrayLiteral("asset"),
		  "{\"slot\":\"" + jsonStringBody(slot) + "\",\"revision\":\"" + jsonStringBody(revision) + "\"}");
	noteStateChange();
}

void LocalSseServer::clearWidgetAsset(const QString &slot)
{
	assets.remove(slot);
	broadcast(QByteArrayLiteral("asset"), "{\"slot\":\"" + jsonStringBody(slot) + "\",\"revision\":\"bundled\"}");
	noteStateChange();
}

void LocalSseServer::broadcastEvent(const QByteArray &json)
{
	pruneClients();
	const QByteArray block = "event: kelp\ndata: " + json + "\n\n";
	makeRoomForStreams(block.size());
	bool wrote = false;
	for (const QPointer<QTcpSocket> &socket : snapshot(clients)) {
		if (isLiveStream(socket) && writeToStream(socket, block))
			wrote = true;
	}
	if (wrote)
		++delivered;
	noteStateChange();
}

void LocalSseServer::acceptConnection()
{
	while (listener.hasPendingConnections()) {
		QTcpSocket *socket = listener.nextPendingConnection();
		if (!socket)
			break;
		if (connections.size() >= maxConnections) {
			// Closed before a byte is read: no buffer, no answer, no timer. A page's event source
			// takes the error as a dropped stream and connects again after its retry delay.
			socket->abort();
			delete socket;
			continue;
		}
		socket->setParent(this);
		socket->setReadBufferSize(kSocketReadBuffer);
		connections.insert(socket);
		connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handleRequest(socket); });
		connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
			socket->deleteLater();
			connectionClosed(socket);
		});
		// Also when a socket goes without its disconnected signal, so its place is never kept.
		connect(socket, &QObject::destroyed, this, [this](QObject *gone) { connectionClosed(gone); });
		// A peer that never finishes its head must not hold a socket forever.
		QPointer<QTcpSocket> guard(socket);
		QTimer::singleShot(kRequestHeadTimeoutMs, this, [guard] {
			if (guard && !guard->property(kHandledProperty).toBool())
				guard->abort();
		});
		if (socket->bytesAvailable() > 0)
			handleRequest(socket);
	}
}

void LocalSseServer::handleRequest(QTcpSocket *socket)
{
	if (!socket)
		return;
	if (socket->property(kHandledProperty).toBool()) {
		// Input after the head is ignored; drain it so a chatty peer cannot grow the read buffer.
		socket->skip(socket->bytesAvailable());
		return;
	}

	QByteArray buffer = socket->property(kBufferProperty).toByteArray();
	RequestHead head;
	const HeadProgress progress = takeRequestHead(&buffer, socket->readAll(), kMaxRequestHead, &head);
	socket->setProperty(kBufferProperty, buffer);
	if (progress == HeadProgress::Incomplete)
		return;
	socket->setProperty(kHandledProperty, true);
	if (progress == HeadProgress::TooLarge) {
		socket->abort();
		return;
	}

	switch (routeRequest(head)) {
	case BusRoute::Preflight:
		sendResponse(socket, 204, kJsonUtf8, QByteArray(), QByteArray());
		break;
	case BusRoute::EventStream:
		openStream(socket);
		break;
	case BusRoute::WidgetPage: {
		const QByteArray html = readRuntimeFile(QStringLiteral("index.html"));
		if (!html.isEmpty())
			sendResponse(socket, 200, QByteArrayLiteral("text/html; charset=utf-8"), html, QByteArray());
		else
			sendResponse(socket, 404, kJson,
				     QByteArrayLiteral("{\"ok\":false,\"error\":\"widget_html_missing\"}"),
				     QByteArray());
		break;
	}
	case BusRoute::WidgetConfig:
		sendResponse(socket, 200, kJsonUtf8, widgetConfig, QByteArray());
		break;
	case BusRoute::WidgetAsset:
		answerAsset(socket, head.path);
		break;
	case BusRoute::Health:
		sendResponse(socket, 200, kJsonUtf8, healthDocument(), QByteArray());
		break;
	case BusRoute::NotFound:
		sendResponse(socket, 404, kJsonUtf8, QByteArrayLiteral("{\"ok\":false,\"error\":\"not_found\"}"),
			     QByteArray());
		break;
	}
}

void LocalSseServer::answerAsset(QTcpSocket *socket, const QByteArray &path)
{
	const QString slot = assetSlotOf(path);
	const auto stored = assets.constFind(slot);
	if (stored != assets.constEnd()) {
		sendResponse(socket, 200, headerValue(stored->mime), stored->data,
			     "X-KELP-Asset-Revision: " + headerValue(stored->revision.toUtf8()) + "\r\n");
		return;
	}

	struct Fallback {
		const char *slot;
		const char *file;
		const char *mime;
	};
	static const Fallback fallbacks[] = {
		{"mask", "mask.png", "image/png"},
		{"frame", "frame.png", "image/png"},
		{"particle", "particle-template.svg", "image/svg+xml"},
	};
	for (const Fallback &fallback : fallbacks) {
		if (slot != QLatin1String(fallback.slot))
			continue;
		const QByteArray file = readRuntimeFile(QString::fromLatin1(fallback.file));
		if (!file.isEmpty()) {
			sendResponse(socket, 200, QByteArray(fallback.mime), file, QByteArray());
			return;
		}
		break;
	}
	sendResponse(socket, 404, kJson, QByteArrayLiteral("{\"ok\":false,\"error\":\"asset_not_found\"}"),
		     QByteArray());
}

QByteArray LocalSseServer::healthDocument() const
{
	return "{\"ok\":true,\"service\":\"kelp-obs-local-sse\",\"clients\":" + QByteArray::number(clientCount()) +
	       ",\"delivered\":" + QByteArray::number(delivered) + ",\"widget_revision\":\"" +
	       jsonStringBody(configRevision) + "\",\"runtime_version\":\"" + jsonStringBody(runtimeVersion) + "\"}";
}

void LocalSseServer::sendResponse(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body,
				  const QByteArray &extraHeaders)
{
	if (!socket)
		return;
	QByteArray response;
	response.reserve(256 + extraHeaders.size() + body.size());
	response += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
	response += "Content-Type: " + contentType + "\r\n";
	response += "Access-Control-Allow-Origin: *\r\n";
	response += "Access-Control-Allow-Methods: GET, OPTIONS\r\n";
	response += "Access-Control-Allow-Headers: Content-Type\r\n";
	response += "Cache-Control: no-store\r\n";
	response += extraHeaders;
	response += "Connection: close\r\n";
	response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
	response += body;
	makeRoomForAnswer(response.size());
	socket->setProperty(kAnswerBytesProperty, qint64(response.size()));
	socket->setProperty(kTookAtProperty, clock.elapsed());
	connect(socket, &QTcpSocket::bytesWritten, this,
		[this, socket] { socket->setProperty(kTookAtProperty, clock.elapsed()); });
	socket->write(response);
	// Out to the kernel at once, so an answer the peer can take is never counted as held.
	socket->flush();
	socket->disconnectFromHost();
	// A peer that never reads would otherwise keep the answer in OBS's memory for good.
	answering.append(QPointer<QTcpSocket>(socket));
	expireAnswer(socket, kAnswerDeadlineMs);
}

void LocalSseServer::expireAnswer(QTcpSocket *socket, qint64 inMs)
{
	// From the last byte the peer took, not from the write: a reader that a busy machine slows
	// down still gets all of a large answer.
	QTimer::singleShot(int(inMs), socket, [this, socket] {
		const qint64 idle = clock.elapsed() - socket->property(kTookAtProperty).toLongLong();
		if (idle < kAnswerDeadlineMs) {
			expireAnswer(socket, kAnswerDeadlineMs - idle);
			return;
		}
		socket->abort();
		socket->deleteLater();
	});
}

void LocalSseServer::makeRoomForAnswer(qint64 size)
{
	// Counted whole while any byte is unsent: Qt keeps the written array until its last byte left.
	const auto heldBy = [](const QTcpSocket *socket) {
		return socket->bytesToWrite() > 0 ? socket->property(kAnswerBytesProperty).toLongLong() : 0;
	};
	qint64 held = 0;
	for (qsizetype i = answering.size() - 1; i >= 0; --i) {
		if (answering.at(i))
			held += heldBy(answering.at(i));
		else
			answering.removeAt(i);
	}
	// The peer that has taken nothing for longest goes first, so a slow reader outlasts one that
	// stopped.
	while (held + size > kMaxHeldAnswers && !answering.isEmpty()) {
		qsizetype idlest = 0;
		for (qsizetype i = 1; i < answering.size(); ++i) {
			if (answering.at(i) && (!answering.at(idlest) ||
						answering.at(i)->property(kTookAtProperty).toLongLong() <
							answering.at(idlest)->property(kTookAtProperty).toLongLong()))
				idlest = i;
		}
		const QPointer<QTcpSocket> dropped = answering.takeAt(idlest);
		if (!dropped || heldBy(dropped) == 0)
			continue;
		held -= heldBy(dropped);
		dropped->abort();
		if (dropped)
			dropped->deleteLater();
	}
}

QByteArray LocalSseServer::readRuntimeFile(const QString &name) const
{
	if (widgetRoot.isEmpty())
		return QByteArray();
	QFile file(widgetRoot + QLatin1Char('/') + name);
	if (!file.open(QIODevice::ReadOnly))
		return QByteArray();
	return file.readAll();
}

void LocalSseServer::openStream(QTcpSocket *socket)
{
	// The same road as every later block: a stream whose writes all go straight out never makes
	// Qt allocate a write buffer for it.
	writeToStream(socket, streamOpening());
	clientPlaces.insert(socket, clients.insert(clients.end(), QPointer<QTcpSocket>(socket)));
	if (!widgetConfig.isEmpty())
		writeToStream(socket, "event: config\ndata: " + widgetConfig + "\n\n");
	noteStateChange();
}

void LocalSseServer::broadcast(const QByteArray &name, const QByteArray &data)
{
	pruneClients();
	const QByteArray block = "event: " + name + "\ndata: " + data + "\n\n";
	makeRoomForStreams(block.size());
	for (const QPointer<QTcpSocket> &socket : snapshot(clients)) {
		if (isLiveStream(socket))
			writeToStream(socket, block);
	}
}

bool LocalSseServer::writeToStream(QTcpSocket *socket, const QByteArray &bytes)
{
	// A reader that stopped reading would make OBS buffer for it forever; its browser reconnects
	// after the retry delay and gets the current configuration again. Only bytes already waiting
	// count against a reader: one large block to a stream that keeps up must still go out.
	const qint64 waiting = socket->bytesToWrite();
	if (waiting > 0 && streamStopped(socket, waiting, bytes.size())) {
		socket->abort();
		return false;
	}
	// Only while Qt holds nothing for this socket, so the bytes keep their order.
	const qint64 sent = waiting == 0 && directSend ? sendDirect(socket, bytes) : 0;
	if (sent == bytes.size())
		return true;
	socket->write(bytes.constData() + sent, bytes.size() - sent);
	socket->flush();
	noteStreamQueue(socket, waiting);
	return true;
}

// Before a block goes out to every stream: if the bytes held for readers that are behind, this
// block included, would pass kMaxStreamsBacklog, the readers furthest behind are dropped until it
// fits. A reader with nothing waiting has taken every earlier block, so it is never dropped here.
void LocalSseServer::makeRoomForStreams(qint64 size)
{
	std::vector<std::pair<qint64, QPointer<QTcpSocket>>> behind;
	qint64 held = 0;
	for (const QPointer<QTcpSocket> &socket : clients) {
		const qint64 waiting = isLiveStream(socket) ? socket->bytesToWrite() : 0;
		if (waiting > 0) {
			behind.emplace_back(waiting, socket);
			held += waiting + size;
		}
	}
	if (held <= kMaxStreamsBacklog)
		return;
	std::sort(behind.begin(), behind.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
	for (const auto &[waiting, socket] : behind) {
		if (held <= kMaxStreamsBacklog)
			break;
		held -= waiting + size;
		if (socket)
			socket->abort(); // its browser reconnects and gets the current configuration again
	}
}

// Past the backlog bound a stream is dropped only once its peer has stopped taking bytes, or has
// fallen so far behind that it would hold OBS's memory for minutes of events: a reader that a
// busy machine slows down catches up.
bool LocalSseServer::streamStopped(QTcpSocket *socket, qint64 waiting, qint64 size)
{
	if (waiting < socket->property(kQueuedProperty).toLongLong())
		socket->setProperty(kTookAtProperty, clock.elapsed());
	const qint64 backlog = waiting + size;
	return backlog > kMaxStreamBacklog &&
	       (backlog > kMaxSlowStreamBacklog ||
		clock.elapsed() - socket->property(kTookAtProperty).toLongLong() >= kStreamStallMs);
}

// Records what Qt holds for a stream after a write, so the next write can tell whether the peer
// took bytes in between. Touched only while Qt holds bytes: a stream that keeps up costs nothing.
void LocalSseServer::noteStreamQueue(QTcpSocket *socket, qint64 waitingBefore)
{
	const qint64 queued = socket->bytesToWrite();
	if (queued == 0)
		return;
	if (waitingBefore == 0) // the kernel had taken everything before this write
		socket->setProperty(kTookAtProperty, clock.elapsed());
	socket->setProperty(kQueuedProperty, queued);
}

void LocalSseServer::pruneClients()
{
	for (auto it = clients.begin(); it != clients.end();) {
		if (isLiveStream(*it)) {
			++it;
			continue;
		}
		clientPlaces.remove(it->data());
		it = clients.erase(it);
	}
}

// A connection's descriptor is gone: its place in the bound and, for a stream, in the list are
// given up at once, whatever the number of streams.
void LocalSseServer::connectionClosed(const QObject *socket)
{
	if (!connections.remove(socket))
		return;
	const auto place = clientPlaces.constFind(socket);
	if (place != clientPlaces.constEnd()) {
		clients.erase(place.value());
		clientPlaces.erase(place);
	}
	noteStateChange();
}

// However many changes one turn of the event loop brings (a thousand streams reset together), the
// owner re-reads the state once, after the last of them.
void LocalSseServer::noteStateChange()
{
	if (stateChangePending)
		return;
	stateChangePending = true;
	QMetaObject::invokeMethod(
		this,
		[this] {
			stateChangePending = false;
			emit stateChanged();
		},
		Qt::QueuedConnection);
}

void LocalSseServer::heartbeat()
{
	pruneClients();
	static const QByteArray keepalive = QByteArrayLiteral(": keepalive\n\n");
	makeRoomForStreams(keepalive.size());
	for (const QPointer<QTcpSocket> &socket : snapshot(clients)) {
		if (isLiveStream(socket))
			writeToStream(socket, keepalive);
	}
}
