#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>
#include <QTimer>

class QNetworkReply;
class QNetworkRequest;
class QUrl;

// The module's link to the KELP service: pairing, heartbeat, the realtime event channel and the
// Event Goal widget's configuration and assets.
class KelpClient : public QObject {
	Q_OBJECT

public:
	explicit KelpClient(QObject *parent = nullptr);
	~KelpClient() override;

	void start();
	void startPairing();
	void disconnectDevice();
	void syncWidgetState();

	bool isPaired() const { return !m_deviceToken.isEmpty(); }
	QString pairCode() const { return m_pairCode; }
	QString deviceId() const { return m_deviceId; }
	QString deviceName() const { return m_deviceName; }
	QString statusText() const { return m_status; }
	QString widgetStatusText() const { return m_widgetStatus; }
	qint64 lastSeq() const { return m_lastSeq; }
	qint64 latencyMs() const { return m_latencyMs; }
	qint64 eventsReceived() const { return m_eventsReceived; }

signals:
	void stateChanged();
	void eventReceived(const QByteArray &json);
	void logLine(const QString &line);
	void widgetConfigReceived(const QByteArray &json, const QString &revision);
	void widgetAssetReceived(const QString &slot, const QByteArray &mime, const QByteArray &data,
				 const QString &revision);
	void widgetAssetCleared(const QString &slot);

private slots:
	void pollPairStatus();
	void heartbeat();
	void reconnectEvents();
	void deliverBatch();

private:
	void setStatus(const QString &text);
	void setWidgetStatus(const QString &text);
	void saveSettings();
	QNetworkRequest buildRequest(const QUrl &url, bool withAuth) const;
	void startPairedSequence();
	void scheduleReconnect();
	bool isChannelLive() const;
	void clearBatch();
	void downloadAsset(const QString &widgetId, const QString &slot, const QString &revision);
	bool keepAssetDownload(const QString &slot, const QString &revision);
	void dropAssetDownload(const QString &slot);

	void onPairStartFinished(QNetworkReply *reply, const QString &challenge);
	void onPairStatusFinished(QNetworkReply *reply, const QString &pairId, const QString &challenge);
	void onHeartbeatFinished(QNetworkReply *reply, qint64 sentAtMs, const QString &token);
	void onEventsFinished(QNetworkReply *reply);
	void onWidgetStateFinished(QNetworkReply *reply);
	void onAssetFinished(QNetworkReply *reply, const QString &slot, const QString &revision);

	QNetworkAccessManager m_network;
	QSettings m_settings;
	QTimer m_pairPollTimer;
	QTimer m_heartbeatTimer;
	QTimer m_reconnectTimer;
	QTimer m_widgetSyncTimer;
	QTimer m_nextPollTimer; // the next long poll after a good answer
	QTimer m_batchTimer;    // the rest of a long batch, after the event loop has run
	QPointer<QNetworkReply> m_eventsReply;
	QPointer<QNetworkReply> m_widgetStateReply;
	QString m_deviceId;
	QString m_deviceName;
	QString m_challenge;
	QString m_pairId;
	QString m_pairCode;
	QString m_deviceToken;
	QString m_status = QStringLiteral("Not connected");
	QString m_widgetStatus = QStringLiteral("Widget config: waiting");
	QString m_widgetId;
	QString m_widgetRevision;
	QHash<QString, QString> m_assetRevisions;
	// Per slot, the download in flight and the "updated_at" it fetches.
	struct AssetDownload {
		QPointer<QNetworkReply> reply;
		QString revision;
	};
	QHash<QString, AssetDownload> m_assetDownloads;
	// Per slot, the "updated_at" whose image was over the download cap: not fetched again until it
	// changes, or the same 64 MiB would be pulled on every sync.
	QHash<QString, QString> m_refusedAssets;
	// The good answer being handed on, an event at a time: see deliverBatch().
	QJsonArray m_batch;
	qsizetype m_batchIndex = 0;
	bool m_batchActive = false;
	bool m_batchDelivered = false;
	bool m_batchRaisedSeq = false;
	qint64 m_batchDroppedSeq = 0;   // the highest seq of the answer dropped as already received
	bool m_seqBehindLogged = false; // this run of answers dropped whole already said so
	int m_batchPreviousAttempts = 0;
	bool m_pollUnauthorized = false; // the last poll got 401: its log line is written once per run
	bool m_oversizeLogged = false;   // this run of failed polls already said an answer was too large
	qint64 m_lastSeq = 0;
	qint64 m_latencyMs = -1;
	qint64 m_eventsReceived = 0;
	int m_reconnectAttempts = 0;
};

// byteCount bytes from Qt's process-wide generator as lowercase hex (2 × byteCount
// characters).
QString randomHex(int byteCount);
