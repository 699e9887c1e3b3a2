#include "sim-http.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

namespace kelpsim {

QByteArray RequestRecord::header(const QByteArray &name) const
{
	for (const auto &pair : headers) {
		if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
			return pair.second;
	}
	return QByteArray();
}

QString RequestRecord::queryItem(const QString &name) const
{
	return QUrlQuery(QString::fromUtf8(query)).queryItemValue(name, QUrl::FullyDecoded);
}

HttpAnswer jsonAnswer(int status, const QJsonObject &object)
{
	HttpAnswer answer;
	answer.status = status;
	answer.contentType = "application/json; charset=utf-8";
	answer.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
	return answer;
}

HttpAnswer errorAnswer(int status, const QByteArray &error)
{
	return jsonAnswer(status, QJsonObject{{"ok", false}, {"error", QString::fromUtf8(error)}});
}

QByteArray reasonPhrase(int status)
{
	switch (status) {
	case 100:
		return "Continue";
	case 200:
		return "OK";
	case 201:
		return "Created";
	case 204:
		return "No Content";
	case 304:
		return "Not Modified";
	case 400:
		return "Bad Request";
	case 401:
		return "Unauthorized";
	case 403:
		return "Forbidden";
	case 404:
		return "Not Found";
	case 405:
		return "Method Not Allowed";
	case 408:
		return "Request Timeout";
	case 409:
		return "Conflict";
	case 410:
		return "Gone";
	case 413:
		return "Content Too Large";
	case 429:
		return "Too Many Requests";
	case 431:
		return "Request Header Fields Too Large";
	case 500:
		return "Internal Server Error";
	case 501:
		return "Not Implemented";
	case 502:
		return "Bad Gateway";
	case 503:
		return "Service Unavailable";
	case 504:
		return "Gateway Timeout";
	default:
		return status >= 500 ? "Server Error" : status >= 400 ? "Client Error" : "Status";
	}
}

static bool isTokenChar(char c)
{
	// RFC 9110 tchar
	if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
		return true;
	return QByteArray("!#$%&'*+-.^_`|~").contains(c);
}

static bool isToken(const QByteArray &text)
{
	if (text.isEmpty())
		return false;
	for (char c : text) {
		if (!isTokenChar(c))
			return false;
	}
	return true;
}

HttpConnection::HttpConnection(QTcpSocket *socket, QObject *parent) : QObject(parent), m_socket(socket)
{
	socket->setParent(this);
	connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
	connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::finishClose);
	connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
		if (m_socket && m_socket->state() == QAbstractSocket::UnconnectedState)
			finishClose();
	});
	// A peer that never completes its request does not keep the connection forever.
	m_requestTimer.setSingleShot(true);
	connect(&m_requestTimer, &QTimer::timeout, this, [this] {
		if (!m_ready)
			fail(408, "request not completed in time");
	});
	m_requestTimer.start(kRequestTimeoutMs);
	m_trickleTimer.setInterval(kTrickleStepMs);
	connect(&m_trickleTimer, &QTimer::timeout, this, &HttpConnection::trickleNext);
	// Bytes may already be waiting when the server hands the socket over.
	if (socket->bytesAvailable() > 0)
		QMetaObject::invokeMethod(this, &HttpConnection::onReadyRead, Qt::QueuedConnection);
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::onReadyRead()
{
	if (!m_socket)
		return;
	const QByteArray chunk = m_socket->readAll();
	if (m_ready || m_answered)
		return; // one request per connection; anything after it is ignored
	m_buffer += chunk;

	if (!m_headDone) {
		qsizetype end = m_buffer.indexOf("\r\n\r\n");
		qsizetype separator = 4;
		const qsizetype bareEnd = m_buffer.indexOf("\n\n");
		if (bareEnd >= 0 && (end < 0 || bareEnd < end)) {
			end = bareEnd;
			separator = 2;
		}
		if (end < 0) {
			if (m_buffer.size() > kMaxHead)
				fail(431, "request head too large");
			return;
		}
		if (end > kMaxHead) {
			fail(431, "request head too large");
			return;
		}
		const QByteArray head = m_buffer.left(end);
		m_buffer.remove(0, end + separator);
		int status = 400;
		QByteArray error;
		if (!parseHead(head, &status, &error)) {
			fail(status, error);
			return;
		}
		m_headDone = true;
		m_record.receivedMs = QDateTime::currentMSecsSinceEpoch();
		if (m_contentLength > m_buffer.size() &&
		    m_record.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0)
			m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
	}

	if (m_buffer.size() < m_contentLength)
		return;
	m_body = m_buffer.left(m_contentLength);
	m_buffer.clear();
	m_ready = true;
	m_requestTimer.stop();
	emit requestReady(this);
}

bool HttpConnection::parseHead(const QByteArray &head, int *errorStatus, QByteArray *error)
{
	QList<QByteArray> lines = head.split('\n');
	for (QByteArray &line : lines) {
		if (line.endsWith('\r'))
			line.chop(1);
	}
	// Tolerate blank lines before the request line, as HTTP/1.1 asks servers to.
	while (!lines.isEmpty() && lines.first().isEmpty())
		lines.removeFirst();
	if (lines.isEmpty()) {
		*error = "empty request";
		return false;
	}

	const QList<QByteArray> parts = lines.first().split(' ');
	if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/') ||
	    !(parts[2] == "HTTP/1.1" || parts[2] == "HTTP/1.0")) {
		*error = "malformed request line";
		return false;
	}
	m_record.method = parts[0];
	const QByteArray &target = parts[1];
	const qsizetype question = target.indexOf('?');
	m_record.path = question < 0 ? target : target.left(question);
	m_record.query = question < 0 ? QByteArray() : target.mid(question + 1);
	if (const qsizetype hash = m_record.query.indexOf('#'); hash >= 0)
		m_record.query.truncate(hash);

	bool haveLength = false;
	for (qsizetype i = 1; i < lines.size(); ++i) {
		const QByteArray &line = lines[i];
		const qsizetype colon = line.indexOf(':');
		if (colon <= 0 || !isToken(line.left(colon))) {
			*error = "malformed header line";
			return false;
		}
		const QByteArray name = line.left(colon);
		const QByteArray value = line.mid(colon + 1).trimmed();
		m_record.headers.append(qMakePair(name, value));

		if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
			bool ok = false;
			const qint64 length = value.toLongLong(&ok);
			if (!ok || length < 0 || (haveLength && length != m_contentLength)) {
				*error = "invalid Content-Length";
				return false;
			}
			if (length > kMaxBody) {
				*errorStatus = 413;
				*error = "request body too large";
				return false;
			}
			m_contentLength = length;
			haveLength = true;
		} else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
			*errorStatus = 501;
			*error = "transfer codings are not supported; send Content-Length";
			return false;
		}
	}
	return true;
}

void HttpConnection::fail(int status, const QByteArray &error)
{
	m_ready = true;
	m_requestTimer.stop();
	respond(errorAnswer(status, error));
}

void HttpConnection::respond(const HttpAnswer &answer)
{
	if (m_answered)
		return;
	if (m_rewrite) {
		const auto rewrite = std::move(m_rewrite);
		m_rewrite = nullptr;
		rewrite(this, answer);
		return;
	}
	m_answered = true;
	if (!m_socket)
		return;

	QByteArray body = answer.body;
	if (m_shape == WrongBytes) {
		for (char &c : body)
			c = char(~uchar(c));
	}

	QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) + "\r\n";
	if (!answer.contentType.isEmpty())
		head += "Content-Type: " + answer.contentType + "\r\n";
	for (const auto &pair : answer.headers)
		head += pair.first + ": " + pair.second + "\r\n";
	// A short body is only undetectable when the length is not announced: the peer reads to the close.
	if (m_shape != ShortBody)
		head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
	head += "Connection: close\r\n\r\n";

	if (m_shape == DropMidBody || m_shape == ShortBody)
		body.truncate(body.size() / 2);
	if (m_shape == Trickle) {
		const qsizetype steps = qMax(1, m_trickleMs / kTrickleStepMs);
		m_trickleChunk = qMax<qsizetype>(1, (body.size() + steps - 1) / steps);
		m_trickleRest = body;
		m_socket->write(head);
		m_trickleTimer.start();
		return;
	}
	m_socket->write(head + body);
	// Closes once everything written has left the socket.
	m_socket->disconnectFromHost();
}

QTcpSocket *HttpConnection::takeWire()
{
	m_answered = true;
	return m_socket;
}

void HttpConnection::trickleNext()
{
	if (!m_socket) {
		m_trickleTimer.stop();
		return;
	}
	m_socket->write(m_trickleRest.left(m_trickleChunk));
	m_trickleRest.remove(0, m_trickleChunk);
	if (m_trickleRest.isEmpty()) {
		m_trickleTimer.stop();
		m_socket->disconnectFromHost();
	}
}

void HttpConnection::drop()
{
	m_answered = true;
	if (m_socket)
		m_socket->disconnectFromHost();
}

void HttpConnection::hang()
{
	m_answered = true;
}

void HttpConnection::abort()
{
	m_answered = true;
	if (m_socket)
		m_socket->abort();
	finishClose();
}

void HttpConnection::finishClose()
{
	if (m_closedEmitted)
		return;
	m_closedEmitted = true;
	emit closed(this);
	deleteLater();
}

} // namespace kelpsim
