#pragma once

// The simulator's own HTTP/1.1 wire handling: one request per connection, answered once, then
// closed. Kept apart from the service logic so faults can reshape any answer on its way out.

#include "service-sim.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTimer>

#include <functional>

class QTcpSocket;

namespace kelpsim {

struct HttpAnswer {
	int status = 200;
	QByteArray contentType;
	QList<QPair<QByteArray, QByteArray>> headers; // besides Content-Type, Content-Length, Connection
	QByteArray body;
	void addHeader(const QByteArray &name, const QByteArray &value) { headers.append(qMakePair(name, value)); }
};

HttpAnswer jsonAnswer(int status, const QJsonObject &object);
HttpAnswer errorAnswer(int status, const QByteArray &error);
QByteArray reasonPhrase(int status);

class HttpConnection : public QObject {
	Q_OBJECT

public:
	// How the answer is damaged on the wire; the head is always the real one.
	enum Shape { Intact, DropMidBody, ShortBody, WrongBytes, Trickle };

	static constexpr qsizetype kMaxHead = 32 * 1024;
	static constexpr qint64 kMaxBody = 64 * 1024 * 1024;
	static constexpr int kRequestTimeoutMs = 30000;
	static constexpr int kTrickleStepMs = 50;

	HttpConnection(QTcpSocket *socket, QObject *parent);
	~HttpConnection() override;

	const RequestRecord &record() const { return m_record; }
	const QByteArray &body() const { return m_body; }
	bool isAnswered() const { return m_answered; }
	void setShape(Shape shape) { m_shape = shape; }
	// The next respond() hands its answer to `rewrite` instead of sending it; the rewrite then
	// responds itself (once) or takes the wire over.
	void setRewrite(std::function<void(HttpConnection *, const HttpAnswer &)> rewrite)
	{
		m_rewrite = std::move(rewrite);
	}
	// Marks the request answered and hands over the socket, for answers written by hand.
	QTcpSocket *takeWire();
	// The real answer, its body spread evenly over about durationMs after the head.
	void setTrickle(int durationMs)
	{
		m_shape = Trickle;
		m_trickleMs = durationMs;
	}

	void respond(const HttpAnswer &answer);
	// Closes without a byte of answer.
	void drop();
	// Never answers; the socket stays open until the peer or the simulator closes it.
	void hang();
	void abort();

signals:
	void requestReady(kelpsim::HttpConnection *connection);
	void closed(kelpsim::HttpConnection *connection);

private:
	void onReadyRead();
	bool parseHead(const QByteArray &head, int *errorStatus, QByteArray *error);
	void fail(int status, const QByteArray &error);
	void finishClose();
	void trickleNext();

	QPointer<QTcpSocket> m_socket;
	QTimer m_requestTimer;
	QByteArray m_buffer;
	RequestRecord m_record;
	QByteArray m_body;
	qint64 m_contentLength = 0;
	bool m_headDone = false;
	bool m_ready = false;
	bool m_answered = false;
	bool m_closedEmitted = false;
	Shape m_shape = Intact;
	std::function<void(HttpConnection *, const HttpAnswer &)> m_rewrite;
	int m_trickleMs = 0;
	qsizetype m_trickleChunk = 0;
	QByteArray m_trickleRest;
	QTimer m_trickleTimer;
};

} // namespace kelpsim
