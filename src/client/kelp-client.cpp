#include "client/kelp-client.h"

#include "client/client-payloads.h"
#include "common/kelp-common.h"

#include <QDateTime>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>

namespace {
constexpr int kPairPollIntervalMs = 1200;
constexpr int kHeartbeatIntervalMs = 15000;
constexpr int kWidgetSyncIntervalMs = 5000;
constexpr int kTransferTimeoutMs = 20000;
constexpr int kEventsTransferTimeoutMs = 30000;
constexpr int kBackoffBaseMs = 900;
constexpr int kBackoffCapMs = 12000;
constexpr int kPairStartPreviewBytes = 220;

const QString kKeyDeviceId = QStringLiteral("device/id");
const QString kKeyDeviceName = QStringLiteral("device/name");
const QString kKeyDeviceToken = QStringLiteral("auth/device_token");
const QString kKeyLastSeq = QStringLiteral("events/last_seq");

const QString kAuthExpiredLine = QStringLiteral("KELP device authorization expired. Disconnect and pair again.");

QUrl serviceUrl(const char *path, const QList<QPair<QString, QString>> &items)
{
	QUrl url(kelpServiceOrigin() + QLatin1String(path));
	QUrlQuery query;
	for (const auto &item : items)
		query.addQueryItem(item.first, item.second);
	url.setQuery(query);
	return url;
}

int httpStatus(QNetworkReply *reply)
{
	return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// A token is sent in a header line on every request: anything but a non-empty string that fits in
// one is no token at all.
bool isUsableToken(const QJsonValue &value)
{
	return value.isString() && !value.toString().isEmpty() && !hasControlCharacter(value.toString());
}

// An aborted reply is already closed; reading it would only earn a warning.
QByteArray readBody(QNetworkReply *reply)
{
	return reply->isOpen() ? reply->readAll() : QByteArray();
}
} // namespace

QString randomHex(int byteCount)
{
	QByteArray bytes;
	bytes.reserve(byteCount);
	for (int i = 0; i < byteCount; ++i)
		bytes.append(static_cast<char>(QRandomGenerator::global()->bounded(256)));
	return QString::fromLatin1(bytes.toHex());
}

KelpClient::KelpClient(QObject *parent)
    : QObject(parent), m_network(this),
      m_settings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication)),
      m_pairPollTimer(this), m_heartbeatTimer(this), m_reconnectTimer(this), m_widgetSyncTimer(this)
{
	// Parented and named so that diagnostics (and tests) can find them from the outside.
	m_network.setObjectName(QStringLiteral("network"));
	m_pairPollTimer.setObjectName(QStringLiteral("pairPollTimer"));
	m_heartbeatTimer.setObjectName(QStringLiteral("heartbeatTimer"));
	m_reconnectTimer.setObjectName(QStringLiteral("reconnectTimer"));
	m_widgetSyncTimer.setObjectName(QStringLiteral("widgetSyncTimer"));

	m_deviceId = m_settings.value(kKeyDeviceId).toString();
	if (m_deviceId.isEmpty()) {
		m_deviceId = randomHex(16);
		m_settings.setValue(kKeyDeviceId, m_deviceId);
	}
	m_deviceName = m_settings.value(kKeyDeviceName, QHostInfo::localHostName()).toString();
	m_deviceToken = m_settings.value(kKeyDeviceToken).toString();
	m_lastSeq = m_settings.value(kKeyLastSeq, 0).toLongLong();
	// Left by a huge seq before such seqs were ignored; kept, it would drop every event for good.
	if (m_lastSeq >= kMaxExactSeq || m_lastSeq <= -kMaxExactSeq)
		m_lastSeq = 0;

	m_pairPollTimer.setInterval(kPairPollIntervalMs);
	connect(&m_pairPollTimer, &QTimer::timeout, this, &KelpClient::pollPairStatus);
	m_heartbeatTimer.setInterval(kHeartbeatIntervalMs);
	connect(&m_heartbeatTimer, &QTimer::timeout, this, &KelpClient::heartbeat);
	m_reconnectTimer.setSingleShot(true);
	connect(&m_reconnectTimer, &QTimer::timeout, this, &KelpClient::reconnectEvents);
	m_widgetSyncTimer.setInterval(kWidgetSyncIntervalMs);
	connect(&m_widgetSyncTimer, &QTimer::timeout, this, &KelpClient::syncWidgetState);
}

KelpClient::~KelpClient()
{
	// Replies die with the access manager after this body; none of their handlers may run on a
	// half-destroyed client.
	const auto replies = m_network.findChildren<QNetworkReply *>();
	for (QNetworkReply *reply : replies)
		reply->disconnect(this);
}

void KelpClient::start()
{
	if (!isPaired()) {
		setStatus(QStringLiteral("Pair OBS with Quayside"));
		return;
	}
	setStatus(QStringLiteral("Connecting…"));
	startPairedSequence();
}

void KelpClient::startPairedSequence()
{
	m_heartbeatTimer.start();
	heartbeat();
	reconnectEvents();
	m_widgetSyncTimer.start();
	syncWidgetState();
}

void KelpClient::setStatus(const QString &text)
{
	if (text == m_status)
		return;
	m_status = text;
	emit stateChanged();
}

void KelpClient::setWidgetStatus(const QString &text)
{
	if (text == m_widgetStatus)
		return;
	m_widgetStatus = text;
	emit stateChanged();
}

void KelpClient::saveSettings()
{
	m_settings.setValue(kKeyDeviceId, m_deviceId);
	m_settings.setValue(kKeyDeviceName, m_deviceName);
	m_settings.setValue(kKeyDeviceToken, m_deviceToken);
	m_settings.setValue(kKeyLastSeq, m_lastSeq);
	m_settings.sync();
}

QNetworkRequest KelpClient::buildRequest(const QUrl &url, bool withAuth) const
{
	QNetworkRequest request(url);
	request.setHeader(
		QNetworkRequest::UserAgentHeader,
		QStringLiteral("KELP-OBS/%1 OBS/%2").arg(QLatin1String(kKelpModuleVersion), kelpHostVersion()));
	request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
	request.setTransferTimeout(kTransferTimeoutMs);
	if (withAuth && !m_deviceToken.isEmpty())
		request.setRawHeader(QByteArrayLiteral("Authorization"),
				     QByteArrayLiteral("Bearer ") + m_deviceToken.toUtf8());
	return request;
}

// Pairing

void KelpClient::startPairing()
{
	m_pairPollTimer.stop();
	m_reconnectTimer.stop();
	m_challenge = randomHex(24);
	m_pairId.clear();
	m_pairCode.clear();
	setStatus(QStringLiteral("Creating pairing code…"));

	const QUrl url = serviceUrl("/api/v26/plugin/pair/start",
				    {{QStringLiteral("device_id"), m_deviceId},
				     {QStringLiteral("challenge"), m_challenge},
				     {QStringLiteral("device_name"), m_deviceName},
				     {QStringLiteral("obs_version"), kelpHostVersion()},
				     {QStringLiteral("plugin_version"), QLatin1String(kKelpModuleVersion)}});
	QNetworkReply *reply = m_network.get(buildRequest(url, false));
	capReplyBody(reply, kMaxAnswerBytes);
	const QString challenge = m_challenge;
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, challenge] { onPairStartFinished(reply, challenge); });
}

void KelpClient::onPairStartFinished(QNetworkReply *reply, const QString &challenge)
{
	const QByteArray body = readBody(reply);
	const QJsonDocument document = QJsonDocument::fromJson(body);
	const QNetworkReply::NetworkError error = reply->error();
	const QString errorText = networkErrorText(reply);
	reply->deleteLater();

	// Each attempt has its own challenge: an answer to a superseded attempt, or one arriving after
	// a disconnect, must not put a stale code on screen.
	if (challenge != m_challenge)
		return;

	const QJsonObject object = document.object();
	if (error != QNetworkReply::NoError || !document.isObject() || !object.value(QStringLiteral("ok")).toBool()) {
		setStatus(QStringLiteral("Pairing request failed"));
		emit logLine(QStringLiteral("Pair start failed: %1 · %2")
				     .arg(errorText, QString::fromUtf8(body.left(kPairStartPreviewBytes))));
		return;
	}
	m_pairId = object.value(QStringLiteral("pair_id")).toString();
	m_pairCode = object.value(QStringLiteral("code")).toString();
	setStatus(QStringLiteral("Enter code on Quayside"));
	m_pairPollTimer.start();
	emit stateChanged();
}

void KelpClient::pollPairStatus()
{
	if (m_pairId.isEmpty() || m_challenge.isEmpty())
		return;
	const QUrl url = serviceUrl("/api/v26/plugin/pair/status", {{QStringLiteral("pair_id"), m_pairId},
								    {QStringLiteral("challenge"), m_challenge}});
	QNetworkReply *reply = m_network.get(buildRequest(url, false));
	capReplyBody(reply, kMaxAnswerBytes);
	const QString pairId = m_pairId;
	const QString challenge = m_challenge;
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, pairId, challenge] { onPairStatusFinished(reply, pairId, challenge); });
}

void KelpClient::onPairStatusFinished(QNetworkReply *reply, const QString &pairId, const QString &challenge)
{
	const QJsonDocument document = QJsonDocument::fromJson(readBody(reply));
	reply->deleteLater();

	// Only the pairing that is still waiting may complete or expire. Overlapping polls, a newer
	// attempt and a disconnect all make an answer stale; acting on it would re-pair a device the
	// user just disconnected, or run the paired start sequence twice.
	if (pairId != m_pairId || challenge != m_challenge)
		return;
	if (!document.isObject())
		return;
	const QJsonObject object = document.object();
	const QString status = object.value(QStringLiteral("status")).toString();
	const QJsonValue token = object.value(QStringLiteral("device_token"));
	if (status == QLatin1String("approved") && isUsableToken(token)) {
		m_deviceToken = token.toString();
		m_pairPollTimer.stop();
		m_pairCode.clear();
		m_pairId.clear();
		m_challenge.clear();
		m_reconnectAttempts = 0;
		saveSettings();
		setStatus(QStringLiteral("Connected"));
		startPairedSequence();
		emit logLine(QStringLiteral("OBS successfully paired with KELP."));
	} else if (status == QLatin1String("expired")) {
		m_pairPollTimer.stop();
		setStatus(QStringLiteral("Pairing code expired"));
		emit logLine(QStringLiteral("Pairing code expired. Generate a new one."));
	}
}

void KelpClient::disconnectDevice()
{
	m_pairPollTimer.stop();
	m_heartbeatTimer.stop();
	m_reconnectTimer.stop();
	m_widgetSyncTimer.stop();

	// Abort finishes a reply at once and its handler clears the guard and schedules deletion
	// itself, so the reply is taken first and released through the taken pointer.
	if (m_widgetStateReply) {
		QNetworkReply *reply = m_widgetStateReply;
		reply->abort();
		reply->deleteLater();
		m_widgetStateReply.clear();
	}
	if (m_eventsReply) {
		QNetworkReply *reply = m_eventsReply;
		reply->abort();
		reply->deleteLater();
		m_eventsReply.clear();
	}

	m_deviceToken.clear();
	m_pairId.clear();
	m_pairCode.clear();
	m_challenge.clear();
	m_latencyMs = -1;
	m_reconnectAttempts = 0;
	m_widgetId.clear();
	m_widgetRevision.clear();
	m_assetRevisions.clear();

	setWidgetStatus(QStringLiteral("Widget config: waiting"));
	m_settings.remove(kKeyDeviceToken);
	m_settings.sync();
	setStatus(QStringLiteral("Not connected"));
}

// Heartbeat and realtime channel

void KelpClient::heartbeat()
{
	if (m_deviceToken.isEmpty())
		return;
	const QUrl url = serviceUrl("/api/v26/plugin/heartbeat",
				    {{QStringLiteral("device_id"), m_deviceId},
				     {QStringLiteral("obs_version"), kelpHostVersion()},
				     {QStringLiteral("plugin_version"), QLatin1String(kKelpModuleVersion)},
				     {QStringLiteral("last_seq"), QString::number(m_lastSeq)}});
	const qint64 sentAtMs = QDateTime::currentMSecsSinceEpoch();
	QNetworkReply *reply = m_network.get(buildRequest(url, true));
	capReplyBody(reply, kMaxAnswerBytes);
	const QString token = m_deviceToken;
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, sentAtMs, token] { onHeartbeatFinished(reply, sentAtMs, token); });
}

void KelpClient::onHeartbeatFinished(QNetworkReply *reply, qint64 sentAtMs, const QString &token)
{
	const int status = httpStatus(reply);
	const QNetworkReply::NetworkError error = reply->error();
	reply->deleteLater();

	// A heartbeat sent under another token (or before a disconnect) says nothing about the
	// current connection: showing "Connected" after "Disconnect this OBS" would be a lie.
	if (token != m_deviceToken)
		return;

	if (error != QNetworkReply::NoError) {
		if (status == 401) {
			setStatus(QStringLiteral("Authorization expired"));
			emit logLine(kAuthExpiredLine);
		} else {
			setStatus(QStringLiteral("Network reconnecting…"));
		}
		return;
	}
	m_latencyMs = qMax<qint64>(0, QDateTime::currentMSecsSinceEpoch() - sentAtMs);
	setStatus(m_eventsReply ? QStringLiteral("Connected") : QStringLiteral("Connected · realtime reconnecting"));
	// A poll's 401 stops the channel; the service accepting this token again re-arms it, or one bad
	// answer would silence the channel for good while the dock says it is reconnecting.
	if (!m_eventsReply && !m_reconnectTimer.isActive())
		QTimer::singleShot(0, this, &KelpClient::reconnectEvents);
	emit stateChanged();
}

void KelpClient::reconnectEvents()
{
	if (m_deviceToken.isEmpty())
		return;
	if (m_eventsReply)
		return;
	const QUrl url =
		serviceUrl("/api/v28/plugin/events", {{QStringLiteral("device_id"), m_deviceId},
						      {QStringLiteral("after_seq"), QString::number(m_lastSeq)},
						      {QStringLiteral("wait_ms"), QStringLiteral("15000")}});
	QNetworkRequest request = buildRequest(url, true);
	request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
	request.setTransferTimeout(kEventsTransferTimeoutMs);
	QNetworkReply *reply = m_network.get(request);
	capReplyBody(reply, kMaxAnswerBytes);
	m_eventsReply = reply;
	if (m_status.startsWith(QLatin1String("Realtime reconnect")) ||
	    m_status.startsWith(QLatin1String("Opening realtime")))
		setStatus(QStringLiteral("Opening realtime channel…"));
	connect(reply, &QNetworkReply::finished, this, [this, reply] { onEventsFinished(reply); });
}

void KelpClient::onEventsFinished(QNetworkReply *reply)
{
	const QByteArray body = readBody(reply);
	const int status = httpStatus(reply);
	const QNetworkReply::NetworkError error = reply->error();
	if (m_eventsReply == reply)
		m_eventsReply.clear();
	reply->deleteLater();

	if (m_deviceToken.isEmpty())
		return;
	if (status == 401) {
		setStatus(QStringLiteral("Authorization expired"));
		emit logLine(kAuthExpiredLine);
		return;
	}
	if (error != QNetworkReply::NoError || status != 200) {
		if (m_reconnectAttempts == 1)
			emit logLine(QStringLiteral(
				"Realtime connection is temporarily unstable. KELP is retrying automatically."));
		scheduleReconnect();
		return;
	}
	QList<RealtimeEvent> batch;
	if (!parseEventsBody(body, &batch)) {
		if (m_reconnectAttempts == 1)
			emit logLine(QStringLiteral("Realtime response was invalid. KELP is retrying automatically."));
		scheduleReconnect();
		return;
	}

	const int previousAttempts = m_reconnectAttempts;
	m_reconnectAttempts = 0;
	setStatus(QStringLiteral("Connected"));
	for (const RealtimeEvent &event : batch) {
		if (event.seq > 0 && event.seq <= m_lastSeq)
			continue;
		if (event.seq > m_lastSeq) {
			m_lastSeq = event.seq;
			saveSettings();
		}
		++m_eventsReceived;
		emit eventReceived(event.json);
	}
	if (previousAttempts >= 2)
		emit logLine(QStringLiteral("Realtime connection restored."));
	emit stateChanged();
	QTimer::singleShot(0, this, &KelpClient::reconnectEvents);
}

void KelpClient::scheduleReconnect()
{
	if (m_deviceToken.isEmpty())
		return;
	const int attempts = m_reconnectAttempts;
	const int delay = qMin(kBackoffBaseMs << qMin(attempts, 4), kBackoffCapMs);
	m_reconnectAttempts = attempts + 1;
	m_reconnectTimer.start(delay);
	setStatus(QStringLiteral("Realtime reconnect in %1 ms").arg(delay));
}

// Widget config and assets

void KelpClient::syncWidgetState()
{
	if (m_deviceToken.isEmpty())
		return;
	if (m_widgetStateReply)
		return;
	const QUrl url = serviceUrl("/api/v27/plugin/widget-state", {{QStringLiteral("device_id"), m_deviceId}});
	QNetworkReply *reply = m_network.get(buildRequest(url, true));
	capReplyBody(reply, kMaxAnswerBytes);
	m_widgetStateReply = reply;
	connect(reply, &QNetworkReply::finished, this, [this, reply] { onWidgetStateFinished(reply); });
}

void KelpClient::onWidgetStateFinished(QNetworkReply *reply)
{
	const QByteArray body = readBody(reply);
	const int status = httpStatus(reply);
	if (m_widgetStateReply == reply)
		m_widgetStateReply.clear();
	reply->deleteLater();

	if (status == 401) {
		setWidgetStatus(QStringLiteral("Widget config: authorization expired"));
		return;
	}
	WidgetState state;
	if (!parseWidgetStateBody(body, &state)) {
		setWidgetStatus(QStringLiteral("Widget config: sync failed (HTTP %1)").arg(status));
		return;
	}
	m_widgetId = state.widgetId;
	emit widgetConfigReceived(state.configJson, state.revision);
	m_widgetRevision = state.revision;
	for (const WidgetAssetDescriptor &asset : state.assets) {
		if (asset.listed) {
			if (!asset.updatedAt.isEmpty() && !keepAssetDownload(asset.slot, asset.updatedAt) &&
			    asset.updatedAt != m_assetRevisions.value(asset.slot))
				downloadAsset(m_widgetId, asset.slot, asset.updatedAt);
		} else {
			dropAssetDownload(asset.slot);
			if (m_assetRevisions.remove(asset.slot) > 0)
				emit widgetAssetCleared(asset.slot);
		}
	}
	setWidgetStatus(QStringLiteral("Widget config: synced · %1").arg(shortRevision(state.revision)));
}

void KelpClient::downloadAsset(const QString &widgetId, const QString &slot, const QString &revision)
{
	const QUrl url = serviceUrl("/api/v27/plugin/widget-asset", {{QStringLiteral("device_id"), m_deviceId},
								     {QStringLiteral("widget_id"), widgetId},
								     {QStringLiteral("slot"), slot}});
	QNetworkReply *reply = m_network.get(buildRequest(url, true));
	m_assetDownloads.insert(slot, AssetDownload{reply, revision});
	// Bodies are held whole: one beyond the cap is cut off here and fails like a broken transfer.
	capReplyBody(reply, kMaxDownloadBytes);
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, slot, revision] { onAssetFinished(reply, slot, revision); });
}

// Whether the slot's download in flight fetches exactly this revision. One for any other revision
// is given up: the latest accepted state decides what the slot shows, so a slow download is neither
// started again on every sync nor allowed to land after a newer one.
bool KelpClient::keepAssetDownload(const QString &slot, const QString &revision)
{
	const AssetDownload current = m_assetDownloads.value(slot);
	if (current.reply && current.revision == revision)
		return true;
	dropAssetDownload(slot);
	return false;
}

// Silently: a download the service no longer asks for is no failure to report.
void KelpClient::dropAssetDownload(const QString &slot)
{
	const AssetDownload download = m_assetDownloads.take(slot);
	if (QNetworkReply *reply = download.reply) {
		reply->disconnect(this);
		reply->abort();
		reply->deleteLater();
	}
}

void KelpClient::onAssetFinished(QNetworkReply *reply, const QString &slot, const QString &revision)
{
	const int status = httpStatus(reply);
	const QByteArray body = readBody(reply);
	const QByteArray contentType = reply->rawHeader(QByteArrayLiteral("Content-Type"));
	// A transfer that broke off after a 200 head leaves part of the image: handing that on would
	// record its revision and keep the broken image until the service changes it.
	const bool cutShort = reply->error() != QNetworkReply::NoError;
	if (const auto it = m_assetDownloads.constFind(slot); it != m_assetDownloads.cend() && it->reply == reply)
		m_assetDownloads.erase(it);
	reply->deleteLater();

	if (status != 200 || body.isEmpty() || cutShort) {
		emit logLine(QStringLiteral("Event Goal %1 sync failed: HTTP %2.").arg(slot).arg(status));
		return;
	}
	m_assetRevisions.insert(slot, revision);
	emit widgetAssetReceived(slot, assetMimeType(contentType), body, revision);
	emit logLine(QStringLiteral("Event Goal %1 synced (%2 bytes).").arg(slot).arg(body.size()));
}
