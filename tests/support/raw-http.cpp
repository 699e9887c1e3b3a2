#include "support/raw-http.h"

#include <QHostAddress>
#include <QTest>

RawClient::RawClient(quint16 port, QObject *parent) : QObject(parent)
{
	connect(&socket, &QTcpSocket::connected, this, [this] { connected = true; });
	connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
	connect(&socket, &QTcpSocket::disconnected, this, [this] {
		if (socket.isOpen())
			received += socket.readAll();
		closed = true;
	});
	connect(&socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
		if (socket.state() == QAbstractSocket::UnconnectedState)
			closed = true;
	});
	socket.connectToHost(QHostAddress::LocalHost, port);
	(void)QTest::qWaitFor([this] { return connected || closed; }, 5000);
}

void RawClient::send(const QByteArray &bytes)
{
	socket.write(bytes);
	socket.flush();
}

bool RawClient::waitForClosed(int timeoutMs)
{
	return QTest::qWaitFor([this] { return closed; }, timeoutMs);
}

bool RawClient::waitForBytes(qsizetype size, int timeoutMs)
{
	return QTest::qWaitFor([this, size] { return received.size() >= size; }, timeoutMs);
}

bool RawClient::waitForContains(const QByteArray &needle, int timeoutMs)
{
	return QTest::qWaitFor([this, &needle] { return received.contains(needle); }, timeoutMs);
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
	const QByteArray prefix = name.toLower() + ':';
	for (const QByteArray &line : headerLines) {
		if (line.toLower().startsWith(prefix))
			return line.mid(prefix.size()).trimmed();
	}
	return QByteArray();
}

HttpResponse parseResponse(const QByteArray &raw)
{
	HttpResponse response;
	response.raw = raw;
	const qsizetype headEnd = raw.indexOf("\r\n\r\n");
	if (headEnd < 0)
		return response;
	QList<QByteArray> lines = raw.left(headEnd).split('\n');
	for (QByteArray &line : lines)
		line = line.trimmed();
	response.statusLine = lines.value(0);
	response.status = response.statusLine.split(' ').value(1).toInt();
	response.headerLines = lines.mid(1);
	response.body = raw.mid(headEnd + 4);
	return response;
}

HttpResponse rawRequest(const QByteArray &request, quint16 port)
{
	RawClient client(port);
	client.send(request);
	client.waitForClosed();
	return parseResponse(client.received);
}

HttpResponse rawGet(const QByteArray &target, quint16 port)
{
	return rawRequest("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", port);
}
