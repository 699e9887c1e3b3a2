#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <list>

struct WidgetAsset {
	QByteArray mime;
	QByteArray data;
	QString revision;
};

// The local widget bus: a loopback HTTP/1.1 server that serves the widget runtime and pushes
// configuration, asset and realtime events to the Browser Sources over Server-Sent Events.
class LocalSseServer : public QObject {
	Q_OBJECT

public:
	static constexpr quint16 kPort = 4251;
	// Bounds that keep a misbehaving local peer from growing OBS's memory.
	static constexpr int kMaxRequestHead = 16 * 1024;
	static constexpr int kRequestHeadTimeoutMs = 10000;
	// A stream past kMaxStreamBacklog is dropped once its peer has taken nothing for
	// kStreamStallMs, or at once past kMaxSlowStreamBacklog.
	static constexpr qint64 kMaxStreamBacklog = 1024 * 1024;
	static constexpr int kStreamStallMs = 10000;
	static constexpr qint64 kMaxSlowStreamBacklog = 8 * 1024 * 1024;
	// Plain answers a peer leaves unread: each is dropped once its peer has taken nothing for this
	// long, and all of them together hold at most kMaxHeldAnswers (the one whose peer has taken
	// nothing for longest is dropped first).
	static constexpr int kAnswerDeadlineMs = 10000;
	static constexpr qint64 kMaxHeldAnswers = 64 * 1024 * 1024;
	// Connections of every kind open at once; one more is closed as soon as it is accepted. A scene
	// needs one stream and a few short requests per widget; a quarter of the 1,024 descriptors a
	// Linux process gets by default keeps the rest for OBS's own files and devices.
	static constexpr int kMaxConnections = 256;
	// Bytes held for all streams together whose readers are behind; past it the furthest behind
	// are dropped first. Thirty-two readers at the full single-stream backlog.
	static constexpr qint64 kMaxStreamsBacklog = 32 * 1024 * 1024;
	// A failed start() binds again after 1 s, then after twice the last wait, at most 30 s.
	static constexpr int kListenRetryFirstMs = 1000;
	static constexpr int kListenRetryMaxMs = 30000;

	explicit LocalSseServer(QObject *parent = nullptr);
	~LocalSseServer() override;

	bool start();
	void stop();

	bool isListening() const;
	quint16 port() const;
	int clientCount() const;
	quint64 deliveredCount() const;
	QString widgetRevision() const;
	// Why the last start() could not listen (UnknownSocketError after a success), and Qt's or the
	// system's words for it.
	QAbstractSocket::SocketError listenError() const;
	QString listenErrorString() const;
	// Raises or lowers kMaxConnections, for tests and benchmarks that need thousands of streams.
	void setMaxConnections(int count);

	void setWidgetRoot(const QString &root);
	void setRuntimeVersion(const QString &version);
	void setWidgetConfig(const QByteArray &json, const QString &revision);
	void setWidgetAsset(const QString &slot, const QByteArray &mime, const QByteArray &data,
			    const QString &revision);
	void clearWidgetAsset(const QString &slot);
	void broadcastEvent(const QByteArray &json);

signals:
	void stateChanged();
	// The port was bound by a retry after start() had failed.
	void listeningAfterRetry();

private slots:
	void acceptConnection();
	void heartbeat();
	void retryListen();

private:
	// Whether stream blocks may bypass Qt's write buffer: not when the environment variable
	// KELP_BUS_DIRECT_SEND is "0" when the first server is made.
	static bool directSendEnabled();
	bool listenOnPort();
	void handleRequest(QTcpSocket *socket);
	void sendResponse(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body,
			  const QByteArray &extraHeaders);
	QByteArray readRuntimeFile(const QString &name) const;
	void openStream(QTcpSocket *socket);
	void broadcast(const QByteArray &name, const QByteArray &data);
	bool writeToStream(QTcpSocket *socket, const QByteArray &bytes);
	void makeRoomForAnswer(qint64 size);
	void makeRoomForStreams(qint64 size);
	void expireAnswer(QTcpSocket *socket, qint64 inMs);
	bool streamStopped(QTcpSocket *socket, qint64 waiting, qint64 size);
	void noteStreamQueue(QTcpSocket *socket, qint64 waitingBefore);
	void pruneClients();
	void connectionClosed(const QObject *socket);
	void noteStateChange();
	void answerAsset(QTcpSocket *socket, const QByteArray &path);
	QByteArray healthDocument() const;

	QTcpServer listener;
	// Streams in the order they opened; each socket's place is kept so a closing one leaves at once.
	std::list<QPointer<QTcpSocket>> clients;
	QHash<const QObject *, std::list<QPointer<QTcpSocket>>::iterator> clientPlaces;
	QSet<const QObject *> connections; // accepted sockets that still hold their descriptor
	int maxConnections = kMaxConnections;
	bool stateChangePending = false;
	QList<QPointer<QTcpSocket>> answering; // plain answers still going out, oldest first
	QTimer keepaliveTimer;
	QElapsedTimer clock; // for the times peers last took bytes
	QTimer listenRetryTimer;
	int listenRetryMs = kListenRetryFirstMs;
	quint64 delivered = 0;
	QString widgetRoot;
	QString runtimeVersion = QStringLiteral("bundled");
	QByteArray widgetConfig = QByteArrayLiteral("{}");
	QString configRevision;
	QHash<QString, WidgetAsset> assets;
	const bool directSend = directSendEnabled();
	QAbstractSocket::SocketError lastListenError = QAbstractSocket::UnknownSocketError;
	QString lastListenErrorString;
};

// The string as the body of a JSON string literal (without the quotes), in UTF-8.
QByteArray jsonStringBody(const QString &text);
