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
// A code is typed by hand; one far longer is no code, and laying it out would hold OBS for seconds.
constexpr int kMaxPairCodeLength = 64;
// The longest one slice of a batch holds the UI thread before the event loop runs again: each event
// is stored and synced to disk, and an answer at the cap holds some 300,000 of them. The count
// bound keeps a slice short on a clock that reads coarsely, too.
constexpr int kBatchSliceMs = 50;
constexpr int kBatchSliceEvents = 500;
// The least time from the end of an answer that raised no seq to the next poll: a service that
// answers at once instead of holding the poll, empty or with events that carry no seq, must not make
// OBS poll and hand the same events on as fast as the network allows.
constexpr int kPollFloorMs = 250;
// Far beyond any token a service issues, and well inside the header sizes servers accept: a longer
// one would be stored, synced with every event and refused on every request.
constexpr int kMaxDeviceTokenBytes = 4096;

const QString kKeyDeviceId = QStringLiteral("device/id");
const QString kKeyDeviceName = QStringLiteral("device/name");
const QString kKeyDeviceToken = QStringLiteral("auth/device_token");
const QString kKeyLastSeq = QStringLiteral("events/last_seq");

const QString kAuthExpiredLine = QStringLiteral("KELP device authorization expired. Disconnect and pair again.");
const QString kUnstableLine =
	QStringLiteral("Realtime connection is temporarily unstable. KELP is retrying automatically.");

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
      m_pairPollTimer(this), m_heartbeatTimer(this), m_reconnectTimer(this), m_widgetSyncTimer(this),
      m_nextPollTimer(this), m_batchTimer(this)
{
	// Parented and named so that diagnostics (and tests) can find them from the outside.
	m_network.setObjectName(QStringLiteral("network"));
	dropStalledConnections(&m_network);
	m_pairPollTimer.setObjectName(QStringLiteral("pairPollTimer"));
	m_heartbeatTimer.setObjectName(QStringLiteral("heartbeatTimer"));
	m_reconnectTimer.setObjectName(QStringLiteral("reconnectTimer"));
	m_widgetSyncTimer.setObjectName(QStringLiteral("widgetSyncTimer"));
	m_nextPollTimer.setObjectName(QStringLiteral("nextPollTimer"));
	m_batchTimer.setObjectName(QStringLiteral("batchTimer"));

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
	m_nextPollTimer.setSingleShot(true);
	connect(&m_nextPollTimer, &QTimer::timeout, this, &KelpClient::reconnectEvents);
	m_batchTimer.setSingleShot(true);
	m_batchTimer.setInterval(0);
	connect(&m_batchTimer, &QTimer::timeout, this, &KelpClient::deliverBatch);
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
	m_pollUnauthorized = false;
	m_oversizeLogged = false;
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
	if (withAuth && !m_deviceToken.isEmpty()) {
		request.setRawHeader(QByteArrayLiteral("Authorization"),
				     QByteArrayLiteral("Bearer ") + m_deviceToken.toUtf8());
		// Qt would carry the token to wherever a redirect points, and take that host's answers
		// as the service's.
		request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
				     QNetworkRequest::SameOriginRedirectPolicy);
	}
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
	QNetworkReply *reply = sendGet(&m_network, buildRequest(url, false));
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
	const QString code = object.value(QStringLiteral("code")).toString();
	const bool accepted =
		error == QNetworkReply::NoError && document.isObject() && object.value(QStringLiteral("ok")).toBool();
	if (!accepted || code.size() > kMaxPairCodeLength) {
		setStatus(QStringLiteral("Pairing request failed"));
		emit logLine(
			QStringLiteral("Pair start failed: %1 · %2")
				.arg(accepted
					     ? QStringLiteral("pairing code over %1 characters").arg(kMaxPairCodeLength)
					     : errorText,
				     QString::fromUtf8(body.left(kPairStartPreviewBytes))));
		return;
	}
	m_pairId = object.value(QStringLiteral("pair_id")).toString();
	m_pairCode = code;
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
	QNetworkReply *reply = sendGet(&m_network, buildRequest(url, false));
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
	if (status == QLatin1String("approved") && isUsableToken(token) &&
	    token.toString().toUtf8().size() > kMaxDeviceTokenBytes) {
		m_pairPollTimer.stop();
		m_pairCode.clear();
		m_pairId.clear();
		setStatus(QStringLiteral("Pairing failed: device token too long"));
		emit logLine(QStringLiteral("Pairing failed: the KELP service sent a device token over %1 KiB. "
					    "Pair again.")
				     .arg(kMaxDeviceTokenBytes / 1024));
	} else if (status == QLatin1String("approved") && isUsableToken(token)) {
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
	m_nextPollTimer.stop();
	clearBatch();

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
	m_refusedAssets.clear();

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
	QNetworkReply *reply = sendGet(&m_network, buildRequest(url, true));
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
	const bool live = isChannelLive();
	setStatus(live ? QStringLiteral("Connected") : QStringLiteral("Connected · realtime reconnecting"));
	// A poll's 401 stops the channel; the service accepting this token again re-arms it, or one bad
	// answer would silence the channel for good while the dock says it is reconnecting.
	if (!live && !m_reconnectTimer.isActive())
		QTimer::singleShot(0, this, &KelpClient::reconnectEvents);
	emit stateChanged();
}

// A poll in flight, a batch still being handed on, or the next poll armed.
bool KelpClient::isChannelLive() const
{
	return m_eventsReply || m_batchActive || m_nextPollTimer.isActive();
}

void KelpClient::reconnectEvents()
{
	if (m_deviceToken.isEmpty())
		return;
	// Polling before the batch is handed on would ask for events that are still being delivered.
	if (m_eventsReply || m_batchActive)
		return;
	m_nextPollTimer.stop();
	const QUrl url =
		serviceUrl("/api/v28/plugin/events", {{QStringLiteral("device_id"), m_deviceId},
						      {QStringLiteral("after_seq"), QString::number(m_lastSeq)},
						      {QStringLiteral("wait_ms"), QStringLiteral("15000")}});
	QNetworkRequest request = buildRequest(url, true);
	request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
	request.setTransferTimeout(kEventsTransferTimeoutMs);
	QNetworkReply *reply = sendGet(&m_network, request);
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
	const bool tooLarge = replyBodyCapped(reply);
	if (m_eventsReply == reply)
		m_eventsReply.clear();
	reply->deleteLater();

	if (m_deviceToken.isEmpty())
		return;
	if (status == 401) {
		setStatus(QStringLiteral("Authorization expired"));
		// An accepted heartbeat re-arms the channel, so a service that refuses every poll would
		// otherwise write this line every 15 s.
		if (!m_pollUnauthorized)
			emit logLine(kAuthExpiredLine);
		m_pollUnauthorized = true;
		return;
	}
	m_pollUnauthorized = false;
	if (tooLarge) {
		// after_seq stays where it is, so every retry meets the same answer: no passing fault, and
		// the streamer and the service's support must be able to tell.
		if (!m_oversizeLogged)
			emit logLine(QStringLiteral("The KELP service's realtime answer is too large to read "
						    "(over %1 MiB). KELP keeps retrying.")
					     .arg(kMaxAnswerBytes / (1024 * 1024)));
		m_oversizeLogged = true;
		scheduleReconnect();
		return;
	}
	if (error != QNetworkReply::NoError || status != 200) {
		if (m_reconnectAttempts == 1)
			emit logLine(kUnstableLine);
		scheduleReconnect();
		return;
	}
	QJsonArray batch;
	if (!parseEventsArray(body, &batch)) {
		if (m_reconnectAttempts == 1)
			emit logLine(QStringLiteral("Realtime response was invalid. KELP is retrying automatically."));
		scheduleReconnect();
		return;
	}

	m_batchPreviousAttempts = m_reconnectAttempts;
	m_reconnectAttempts = 0;
	m_oversizeLogged = false;
	setStatus(QStringLiteral("Connected"));
	m_batch = batch;
	m_batchIndex = 0;
	m_batchActive = true;
	m_batchDelivered = false;
	m_batchRaisedSeq = false;
	m_batchDroppedSeq = 0;
	deliverBatch();
}

// Hands the batch on in order, each event stored before it goes, in slices that let the event loop
// run between them: one answer may hold hundreds of thousands of events, each synced to disk. The
// next poll goes out once the whole batch is delivered.
void KelpClient::deliverBatch()
{
	if (!m_batchActive)
		return;
	QElapsedTimer slice;
	slice.start();
	for (int taken = 0; m_batchIndex < m_batch.size(); ++taken) {
		if (taken >= kBatchSliceEvents || slice.elapsed() >= kBatchSliceMs) {
			m_batchTimer.start();
			return;
		}
		RealtimeEvent event;
		if (!readRealtimeEvent(m_batch.at(m_batchIndex++), &event))
			continue;
		if (event.seq > 0 && event.seq <= m_lastSeq) {
			m_batchDroppedSeq = qMax(m_batchDroppedSeq, event.seq);
			continue;
		}
		if (event.seq > m_lastSeq) {
			m_lastSeq = event.seq;
			m_batchRaisedSeq = true;
			saveSettings();
		}
		++m_eventsReceived;
		m_batchDelivered = true;
		emit eventReceived(event.json);
		// A receiver may have disconnected the client.
		if (!m_batchActive)
			return;
	}
	const bool raised = m_batchRaisedSeq;
	clearBatch();
	if (m_batchPreviousAttempts >= 2)
		emit logLine(QStringLiteral("Realtime connection restored."));
	// A service whose counter was reset, or ran far ahead once, sends nothing above the stored seq
	// any more; kept as it must be, that seq drops all it sends. Said once per run of such answers.
	if (m_batchDelivered)
		m_seqBehindLogged = false;
	else if (m_batchDroppedSeq > 0 && !m_seqBehindLogged) {
		m_seqBehindLogged = true;
		emit logLine(
			QStringLiteral("The KELP service's event sequence (%1) is behind the one stored here (%2): "
				       "its events are dropped as already received.")
				.arg(m_batchDroppedSeq)
				.arg(m_lastSeq));
	}
	emit stateChanged();
	m_nextPollTimer.start(raised ? 0 : kPollFloorMs);
}

void KelpClient::clearBatch()
{
	m_batchTimer.stop();
	m_batch = QJsonArray();
	m_batchIndex = 0;
	m_batchActive = false;
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
	QNetworkReply *reply = sendGet(&m_network, buildRequest(url, true));
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
			    asset.updatedAt != m_assetRevisions.value(asset.slot) &&
			    asset.updatedAt != m_refusedAssets.value(asset.slot))
				downloadAsset(m_widgetId, asset.slot, asset.updatedAt);
		} else {
			dropAssetDownload(asset.slot);
			m_refusedAssets.remove(asset.slot);
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
	QNetworkReply *reply = sendGet(&m_network, buildRequest(url, true));
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
	const bool tooLarge = replyBodyCapped(reply);
	const QString errorText = reply->errorString();
	if (const auto it = m_assetDownloads.constFind(slot); it != m_assetDownloads.cend() && it->reply == reply)
		m_assetDownloads.erase(it);
	reply->deleteLater();

	if (tooLarge) {
		m_refusedAssets.insert(slot, revision);
		emit logLine(
			QStringLiteral("Event Goal %1 image is too large to use (over %2 MiB). It is not downloaded "
				       "again until it changes on Quayside.")
				.arg(slot)
				.arg(kMaxDownloadBytes / (1024 * 1024)));
		return;
	}
	if (status == 200 && cutShort) {
		emit logLine(
			QStringLiteral("Event Goal %1 sync failed: the download broke off (%2).").arg(slot, errorText));
		return;
	}
	if (status != 200 || body.isEmpty() || cutShort) {
		emit logLine(QStringLiteral("Event Goal %1 sync failed: HTTP %2.").arg(slot).arg(status));
		return;
	}
	m_assetRevisions.insert(slot, revision);
	emit widgetAssetReceived(slot, assetMimeType(contentType), body, revision);
	emit logLine(QStringLiteral("Event Goal %1 synced (%2 bytes).").arg(slot).arg(body.size()));
}
