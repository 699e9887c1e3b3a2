#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>

// A loopback client that reads the server byte for byte while the test's event loop keeps the
// server (living in the same thread) running.
class RawClient : public QObject {
	Q_OBJECT

public:
	explicit RawClient(quint16 port = 4251, QObject *parent = nullptr);

	bool isClosed() const { return closed; }
	void send(const QByteArray &bytes);
	// Waits, spinning the event loop, until the peer closes or the timeout passes.
	bool waitForClosed(int timeoutMs = 5000);
	// Waits until at least `size` bytes arrived in total.
	bool waitForBytes(qsizetype size, int timeoutMs = 5000);
	// Waits until the received bytes contain `needle`.
	bool waitForContains(const QByteArray &needle, int timeoutMs = 5000);
	QByteArray received;
	QTcpSocket socket;

private:
	bool connected = false;
	bool closed = false;
};

struct HttpResponse {
	int status = 0;
	QByteArray statusLine;
	QList<QByteArray> headerLines;
	QByteArray body;
	QByteArray raw;
	QByteArray header(const QByteArray &name) const;
};

HttpResponse parseResponse(const QByteArray &raw);
// One request on a fresh connection; the whole answer once the server closed.
HttpResponse rawRequest(const QByteArray &request, quint16 port = 4251);
HttpResponse rawGet(const QByteArray &target, quint16 port = 4251);
