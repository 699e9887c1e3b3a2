#include "service-sim-p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace kelpsim {

namespace {

constexpr char kPairStart[] = "/api/v26/plugin/pair/start";
constexpr char kPairStatus[] = "/api/v26/plugin/pair/status";
constexpr char kHeartbeat[] = "/api/v26/plugin/heartbeat";
constexpr char kEvents[] = "/api/v28/plugin/events";
constexpr char kWidgetState[] = "/api/v27/plugin/widget-state";
constexpr char kWidgetAsset[] = "/api/v27/plugin/widget-asset";
constexpr char kManifest[] = "/api/v40/runtime/manifest";
constexpr char kRuntimeFiles[] = "/runtime/files/";

constexpr int kMaxPairings = 500;
constexpr int kMaxEventsPerDevice = 1000;
constexpr int kMaxEventsPerAnswer = 100;
constexpr int kMaxLoggedRequests = 5000;
// Qt's HTTP stack re-sends a request once, at once and on a new connection, when the connection
// closes before any byte of an answer. Well below the client's shortest retry interval (900 ms).
constexpr qint64 kResendWindowMs = 500;

// Codes are typed by hand, so letters and digits that read alike (0/O, 1/I) are left out.
constexpr char kCodeAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

QString randomHex(int bytes)
{
	QByteArray raw(bytes, Qt::Uninitialized);
	for (char &c : raw)
		c = char(QRandomGenerator::global()->bounded(256));
	return QString::fromLatin1(raw.toHex());
}

bool isLowerHex(const QString &text, int length)
{
	if (text.size() != length)
		return false;
	return std::all_of(text.begin(), text.end(), [](QChar c) {
		return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
		       (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
	});
}

qint64 nonNegative(const QString &text)
{
	bool ok = false;
	const qint64 value = text.toLongLong(&ok);
	return ok && value > 0 ? value : 0;
}

QByteArray mimeForPath(const QString &path)
{
	const QString suffix = QFileInfo(path).suffix().toLower();
	static const QHash<QString, QByteArray> types = {
		{"html", "text/html; charset=utf-8"},
		{"htm", "text/html; charset=utf-8"},
		{"js", "text/javascript; charset=utf-8"},
		{"mjs", "text/javascript; charset=utf-8"},
		{"css", "text/css; charset=utf-8"},
		{"json", "application/json; charset=utf-8"},
		{"txt", "text/plain; charset=utf-8"},
		{"svg", "image/svg+xml"},
		{"png", "image/png"},
		{"jpg", "image/jpeg"},
		{"jpeg", "image/jpeg"},
		{"gif", "image/gif"},
		{"webp", "image/webp"},
		{"woff2", "font/woff2"},
		{"wasm", "application/wasm"},
	};
	return types.value(suffix, "application/octet-stream");
}

QByteArray guessContentType(const QByteArray &body)
{
	const QByteArray trimmed = body.trimmed();
	if (trimmed.startsWith('{') || trimmed.startsWith('['))
		return "application/json; charset=utf-8";
	return "text/plain; charset=utf-8";
}

} // namespace

ServiceSim::Private::Private(ServiceSim *q) : q(q)
{
	widgetId = QStringLiteral("wgt_event_goal_demo");
	widgetRevision = QStringLiteral("r0001");
	widgetConfig = QJsonObject{
		{"title", "Event Goal"},
		{"goal", 10000},
		{"raised", 0},
		{"currency", "RUB"},
		{"text_layout", QJsonObject{{"offset_y", 0}, {"title_size", 22}, {"value_size", 30}}},
	};
	QObject::connect(&server, &QTcpServer::newConnection, q, [this] { onNewConnection(); });
}

// --- wire ------------------------------------------------------------------------------------

void ServiceSim::Private::onNewConnection()
{
	while (QTcpSocket *socket = server.nextPendingConnection()) {
		auto *connection = new HttpConnection(socket, q);
		connections.append(connection);
		QObject::connect(connection, &HttpConnection::requestReady, q,
				 [this](HttpConnection *c) { onRequest(c); });
		QObject::connect(connection, &HttpConnection::closed, q, [this](HttpConnection *c) {
			connections.removeAll(c);
			heldPolls.removeIf(
				[c](const HeldPoll &poll) { return !poll.connection || poll.connection == c; });
		});
	}
}

void ServiceSim::Private::onRequest(HttpConnection *connection)
{
	const RequestRecord &record = connection->record();
	if (record.path == "/_sim" || record.path.startsWith("/_sim/")) {
		control(connection);
		return;
	}
	// The page is the simulator's own front end, not part of the service API: it is neither logged
	// nor subject to faults.
	if (record.path == "/" || record.path == "/index.html") {
		page(connection);
		return;
	}
	logRequest(record);

	if (isResendOfDrop(record)) {
		connection->drop();
		return;
	}
	if (chaos.apply(connection))
		return;
	Fault fault;
	if (!takeFault(record.path, &fault)) {
		route(connection);
		return;
	}
	switch (fault.kind) {
	case Fault::Status: {
		HttpAnswer answer;
		answer.status = fault.status;
		answer.body = fault.body;
		answer.contentType = guessContentType(fault.body);
		connection->respond(answer);
		break;
	}
	case Fault::InvalidBody: {
		HttpAnswer answer;
		answer.body = fault.body.isEmpty() ? QByteArray("not json") : fault.body;
		answer.contentType = "application/json; charset=utf-8";
		connection->respond(answer);
		break;
	}
	case Fault::Delay: {
		QPointer<HttpConnection> guard(connection);
		QTimer::singleShot(std::max(0, fault.delayMs), connection, [this, guard] {
			if (guard && !guard->isAnswered())
				route(guard);
		});
		break;
	}
	case Fault::Drop:
		recentDrops.append(DroppedRequest{record.method, record.path, record.query, record.receivedMs});
		connection->drop();
		break;
	case Fault::DropMidBody:
		connection->setShape(HttpConnection::DropMidBody);
		route(connection);
		break;
	case Fault::ShortBody:
		connection->setShape(HttpConnection::ShortBody);
		route(connection);
		break;
	case Fault::WrongBytes:
		connection->setShape(HttpConnection::WrongBytes);
		route(connection);
		break;
	case Fault::Hang:
		connection->hang();
		break;
	case Fault::Trickle:
		connection->setTrickle(fault.delayMs);
		route(connection);
		break;
	case Fault::Redirect: {
		HttpAnswer answer;
		answer.status = fault.status >= 300 && fault.status < 400 ? fault.status : 302;
		answer.addHeader("Location",
				 fault.body + record.path + (record.query.isEmpty() ? "" : "?" + record.query));
		connection->respond(answer);
		break;
	}
	}
}

bool ServiceSim::Private::takeFault(const QByteArray &path, Fault *fault)
{
	for (qsizetype i = 0; i < faults.size(); ++i) {
		Fault &f = faults[i];
		const bool match = f.path.endsWith('/') ? path.startsWith(f.path) : path == f.path;
		if (!match)
			continue;
		if (f.skip > 0) {
			--f.skip;
			continue;
		}
		*fault = f;
		// A negative count never runs out.
		if (f.count > 0 && --f.count == 0)
			faults.removeAt(i);
		return true;
	}
	return false;
}

// A dropped request must fail for the client, not be silently repaired by its transport's re-send.
bool ServiceSim::Private::isResendOfDrop(const RequestRecord &record)
{
	recentDrops.removeIf(
		[&](const DroppedRequest &drop) { return record.receivedMs - drop.atMs > kResendWindowMs; });
	for (qsizetype i = 0; i < recentDrops.size(); ++i) {
		const DroppedRequest &drop = recentDrops.at(i);
		if (drop.method == record.method && drop.path == record.path && drop.query == record.query) {
			recentDrops.removeAt(i);
			return true;
		}
	}
	return false;
}

void ServiceSim::Private::logRequest(const RequestRecord &record)
{
	log.append(record);
	if (!record.header("Authorization").isEmpty() &&
	    record.header("Host") != "127.0.0.1:" + QByteArray::number(server.serverPort()))
		++tokensOffOrigin;
	if (log.size() > kMaxLoggedRequests)
		log.remove(0, log.size() - kMaxLoggedRequests);
	emit q->requestReceived(record);
}

void ServiceSim::Private::route(HttpConnection *connection)
{
	const RequestRecord &record = connection->record();
	const QByteArray &path = record.path;

	using Handler = void (Private::*)(HttpConnection *);
	static const QHash<QByteArray, Handler> routes = {
		{kPairStart, &Private::pairStart},     {kPairStatus, &Private::pairStatus},
		{kHeartbeat, &Private::heartbeat},     {kEvents, &Private::events},
		{kWidgetState, &Private::widgetState}, {kWidgetAsset, &Private::widgetAsset},
		{kManifest, &Private::manifest},
	};
	Handler handler = routes.value(path, nullptr);
	if (!handler && path.startsWith(kRuntimeFiles))
		handler = &Private::runtimeFile;
	if (!handler) {
		connection->respond(errorAnswer(404, "not found"));
		return;
	}
	if (record.method != "GET") {
		HttpAnswer answer = errorAnswer(405, "method not allowed");
		answer.addHeader("Allow", "GET");
		connection->respond(answer);
		return;
	}
	(this->*handler)(connection);
}

// --- pairing ---------------------------------------------------------------------------------

Pairing::State ServiceSim::Private::effectiveState(const Pairing &pairing) const
{
	if (pairing.state == Pairing::Pending && codeLifetimeMs > 0 &&
	    QDateTime::currentMSecsSinceEpoch() - pairing.createdMs >= codeLifetimeMs)
		return Pairing::Expired;
	return pairing.state;
}

Pairing *ServiceSim::Private::pendingByCode(const QString &code)
{
	const QString wanted = code.trimmed().toUpper();
	if (wanted.isEmpty())
		return nullptr;
	for (Pairing &pairing : pairings) {
		if (pairing.code == wanted && effectiveState(pairing) == Pairing::Pending)
			return &pairing;
	}
	return nullptr;
}

QString ServiceSim::Private::newCode() const
{
	const int alphabet = int(sizeof(kCodeAlphabet)) - 1;
	for (;;) {
		QString code;
		for (int i = 0; i < 6; ++i)
			code += QLatin1Char(kCodeAlphabet[QRandomGenerator::global()->bounded(alphabet)]);
		const bool taken = std::any_of(pairings.begin(), pairings.end(), [&](const Pairing &p) {
			return p.code == code && effectiveState(p) == Pairing::Pending;
		});
		if (!taken)
			return code;
	}
}

void ServiceSim::Private::pairStart(HttpConnection *connection)
{
	const RequestRecord &record = connection->record();
	const QString deviceId = record.queryItem("device_id");
	const QString challenge = record.queryItem("challenge");
	if (!isLowerHex(deviceId, 32)) {
		connection->respond(errorAnswer(400, "invalid device_id"));
		return;
	}
	if (!isLowerHex(challenge, 48)) {
		connection->respond(errorAnswer(400, "invalid challenge"));
		return;
	}

	// A new code for the same device replaces the one still waiting.
	for (Pairing &pairing : pairings) {
		if (pairing.deviceId == deviceId && effectiveState(pairing) == Pairing::Pending)
			pairing.state = Pairing::Expired;
	}

	Pairing pairing;
	pairing.pairId = QStringLiteral("pr_") + randomHex(12);
	pairing.code = newCode();
	pairing.challenge = challenge;
	pairing.deviceId = deviceId;
	pairing.deviceName = record.queryItem("device_name");
	pairing.obsVersion = record.queryItem("obs_version");
	pairing.pluginVersion = record.queryItem("plugin_version");
	pairing.createdMs = QDateTime::currentMSecsSinceEpoch();
	pairings.append(pairing);
	if (pairings.size() > kMaxPairings)
		pairings.remove(0, pairings.size() - kMaxPairings);

	QJsonObject answer{{"ok", true}, {"pair_id", pairing.pairId}, {"code", pairing.code}};
	if (codeLifetimeMs > 0)
		answer.insert("expires_in_ms", codeLifetimeMs);
	connection->respond(jsonAnswer(200, answer));
}

void ServiceSim::Private::pairStatus(HttpConnection *connection)
{
	const RequestRecord &record = connection->record();
	const QString pairId = record.queryItem("pair_id");
	auto it = std::find_if(pairings.begin(), pairings.end(),
			       [&](const Pairing &p) { return !pairId.isEmpty() && p.pairId == pairId; });
	if (it == pairings.end()) {
		connection->respond(errorAnswer(404, "unknown pair_id"));
		return;
	}
	if (record.queryItem("challenge") != it->challenge) {
		connection->respond(errorAnswer(403, "challenge mismatch"));
		return;
	}
	switch (effectiveState(*it)) {
	case Pairing::Pending:
		connection->respond(jsonAnswer(200, {{"ok", true}, {"status", "pending"}}));
		break;
	case Pairing::Approved:
		connection->respond(
			jsonAnswer(200, {{"ok", true}, {"status", "approved"}, {"device_token", it->token}}));
		break;
	case Pairing::Expired:
		connection->respond(jsonAnswer(200, {{"ok", true}, {"status", "expired"}}));
		break;
	}
}

// --- authorised endpoints --------------------------------------------------------------------

Device &ServiceSim::Private::device(const QString &deviceId)
{
	Device &d = devices[deviceId];
	d.deviceId = deviceId;
	return d;
}

Device *ServiceSim::Private::authorize(HttpConnection *connection)
{
	const RequestRecord &record = connection->record();
	const QByteArray authorization = record.header("Authorization");
	const qsizetype space = authorization.indexOf(' ');
	const QByteArray scheme = space < 0 ? authorization : authorization.left(space);
	const QString token = space < 0 ? QString() : QString::fromUtf8(authorization.mid(space + 1).trimmed());
	auto it = devices.find(record.queryItem("device_id"));
	if (scheme.compare("Bearer", Qt::CaseInsensitive) != 0 || token.isEmpty() || it == devices.end() ||
	    it->token.isEmpty() || it->token != token) {
		HttpAnswer answer = errorAnswer(401, "unauthorized");
		answer.addHeader("WWW-Authenticate", "Bearer");
		connection->respond(answer);
		return nullptr;
	}
	return &it.value();
}

void ServiceSim::Private::heartbeat(HttpConnection *connection)
{
	Device *d = authorize(connection);
	if (!d)
		return;
	const RequestRecord &record = connection->record();
	d->lastHeartbeatMs = QDateTime::currentMSecsSinceEpoch();
	d->obsVersion = record.queryItem("obs_version");
	d->pluginVersion = record.queryItem("plugin_version");
	bool ok = false;
	const qint64 reported = record.queryItem("last_seq").toLongLong(&ok);
	if (ok) {
		d->reportedLastSeq = reported;
		// The device may hold sequence numbers from before this process started; new events
		// must land above them or the device would drop them as duplicates.
		d->seq = std::max(d->seq, reported);
	}
	connection->respond(jsonAnswer(200, {{"ok", true}, {"server_time_ms", d->lastHeartbeatMs}, {"seq", d->seq}}));
}

qint64 ServiceSim::Private::appendEvent(Device &d, const QJsonObject &event)
{
	QJsonObject stored = event;
	stored.insert("seq", ++d.seq);
	d.events.append(stored);
	if (d.events.size() > kMaxEventsPerDevice)
		d.events.remove(0, d.events.size() - kMaxEventsPerDevice);
	markChanged();
	return d.seq;
}

void ServiceSim::Private::events(HttpConnection *connection)
{
	Device *d = authorize(connection);
	if (!d)
		return;
	const RequestRecord &record = connection->record();
	const qint64 afterSeq = nonNegative(record.queryItem("after_seq"));
	const int waitMs = int(std::min<qint64>(nonNegative(record.queryItem("wait_ms")), maxWaitMs));
	d->seq = std::max(d->seq, afterSeq);

	const bool available = std::any_of(d->events.begin(), d->events.end(),
					   [&](const QJsonObject &e) { return e.value("seq").toInteger() > afterSeq; });
	if (available || waitMs == 0) {
		answerPoll(connection, d->deviceId, afterSeq);
		return;
	}

	heldPolls.append(HeldPoll{connection, d->deviceId, afterSeq});
	QPointer<HttpConnection> guard(connection);
	const QString deviceId = d->deviceId;
	QTimer::singleShot(waitMs, connection, [this, guard, deviceId, afterSeq] {
		if (!guard || guard->isAnswered())
			return;
		heldPolls.removeIf([&](const HeldPoll &poll) { return poll.connection == guard; });
		answerPoll(guard, deviceId, afterSeq);
	});
}

void ServiceSim::Private::answerPoll(HttpConnection *connection, const QString &deviceId, qint64 afterSeq)
{
	QJsonArray batch;
	qint64 highest = afterSeq;
	const auto it = devices.constFind(deviceId);
	if (it != devices.constEnd()) {
		for (const QJsonObject &event : it->events) {
			const qint64 seq = event.value("seq").toInteger();
			if (seq <= afterSeq)
				continue;
			batch.append(event);
			highest = std::max(highest, seq);
			if (batch.size() >= kMaxEventsPerAnswer)
				break;
		}
	}
	connection->respond(jsonAnswer(200, {{"ok", true}, {"events", batch}, {"seq", highest}}));
}

void ServiceSim::Private::wakePolls(const QString &deviceId)
{
	const QList<HeldPoll> held = heldPolls;
	for (const HeldPoll &poll : held) {
		if (poll.deviceId != deviceId || !poll.connection || poll.connection->isAnswered())
			continue;
		heldPolls.removeIf([&](const HeldPoll &p) { return p.connection == poll.connection; });
		answerPoll(poll.connection, deviceId, poll.afterSeq);
	}
}

QJsonObject ServiceSim::Private::widgetStateObject() const
{
	QJsonObject assetObjects;
	for (auto it = assets.constBegin(); it != assets.constEnd(); ++it) {
		assetObjects.insert(it.key(), QJsonObject{{"updated_at", it->updatedAt},
							  {"content_type", QString::fromLatin1(it->mime)},
							  {"size", qint64(it->data.size())}});
	}
	return QJsonObject{{"widget_id", widgetId},
			   {"revision", widgetRevision},
			   {"config", widgetConfig},
			   {"assets", assetObjects}};
}

void ServiceSim::Private::widgetState(HttpConnection *connection)
{
	if (!authorize(connection))
		return;
	QJsonObject answer = widgetStateObject();
	answer.insert("ok", true);
	connection->respond(jsonAnswer(200, answer));
}

void ServiceSim::Private::widgetAsset(HttpConnection *connection)
{
	if (!authorize(connection))
		return;
	const RequestRecord &record = connection->record();
	if (record.queryItem("widget_id") != widgetId) {
		connection->respond(errorAnswer(404, "unknown widget_id"));
		return;
	}
	const auto it = assets.constFind(record.queryItem("slot"));
	if (it == assets.constEnd()) {
		connection->respond(errorAnswer(404, "no asset in that slot"));
		return;
	}
	HttpAnswer answer = it->answer();
	answer.addHeader("Cache-Control", "no-store");
	connection->respond(answer);
}

// --- runtime ---------------------------------------------------------------------------------

QString ServiceSim::Private::fileUrl(const QString &version, const QString &path) const
{
	QStringList segments;
	for (const QString &segment : path.split(QLatin1Char('/')))
		segments.append(QString::fromLatin1(QUrl::toPercentEncoding(segment)));
	return q->origin() + QLatin1String(kRuntimeFiles) + QString::fromLatin1(QUrl::toPercentEncoding(version)) +
	       QLatin1Char('/') + segments.join(QLatin1Char('/'));
}

QJsonObject ServiceSim::Private::manifestObject() const
{
	const Runtime &runtime = runtimes[currentRuntime];
	QJsonArray files;
	for (const RuntimeFile &file : runtime.files) {
		files.append(QJsonObject{{"path", file.path},
					 {"url", fileUrl(runtime.version, file.path)},
					 {"sha256", QString::fromLatin1(file.sha256)},
					 {"size", qint64(file.data.size())}});
	}
	QJsonObject object{{"ok", true},
			   {"widget", "event-goal"},
			   {"channel", "stable"},
			   {"runtime_version", runtime.version},
			   {"files", files}};
	if (!runtime.minPluginVersion.isEmpty())
		object.insert("min_plugin_version", runtime.minPluginVersion);
	return object;
}

void ServiceSim::Private::manifest(HttpConnection *connection)
{
	if (!manifestOverride.isEmpty()) {
		HttpAnswer answer;
		answer.contentType = "application/json; charset=utf-8";
		answer.body = manifestOverride;
		connection->respond(answer);
		return;
	}
	const RequestRecord &record = connection->record();
	if (record.queryItem("widget") != QLatin1String("event-goal")) {
		connection->respond(errorAnswer(404, "unknown widget"));
		return;
	}
	const QString channel = record.queryItem("channel");
	if (!channel.isEmpty() && channel != QLatin1String("stable")) {
		connection->respond(errorAnswer(404, "unknown channel"));
		return;
	}
	if (currentRuntime.isEmpty()) {
		connection->respond(errorAnswer(404, "no runtime published"));
		return;
	}
	connection->respond(jsonAnswer(200, manifestObject()));
}

void ServiceSim::Private::runtimeFile(HttpConnection *connection)
{
	const QByteArray rest = connection->record().path.mid(qsizetype(sizeof(kRuntimeFiles)) - 1);
	const qsizetype slash = rest.indexOf('/');
	if (slash <= 0) {
		connection->respond(errorAnswer(404, "no such file"));
		return;
	}
	const QString version = QUrl::fromPercentEncoding(rest.left(slash));
	const QString path = QUrl::fromPercentEncoding(rest.mid(slash + 1));
	const auto runtime = runtimes.constFind(version);
	if (runtime != runtimes.constEnd()) {
		for (const RuntimeFile &file : runtime->files) {
			if (file.path != path)
				continue;
			HttpAnswer answer;
			answer.contentType = mimeForPath(path);
			answer.body = file.data;
			connection->respond(answer);
			return;
		}
	}
	connection->respond(errorAnswer(404, "no such file"));
}

// --- faults as JSON (control API and state) ------------------------------------------------

static const QList<QPair<Fault::Kind, QString>> &faultKindNames()
{
	static const QList<QPair<Fault::Kind, QString>> names = {
		{Fault::Status, "status"},
		{Fault::InvalidBody, "invalid-body"},
		{Fault::Delay, "delay"},
		{Fault::Drop, "drop"},
		{Fault::DropMidBody, "drop-mid-body"},
		{Fault::ShortBody, "short-body"},
		{Fault::WrongBytes, "wrong-bytes"},
		{Fault::Hang, "hang"},
		{Fault::Trickle, "trickle"},
		{Fault::Redirect, "redirect"},
	};
	return names;
}

QJsonObject ServiceSim::Private::faultToJson(const Fault &fault)
{
	QString kind;
	for (const auto &pair : faultKindNames()) {
		if (pair.first == fault.kind)
			kind = pair.second;
	}
	return QJsonObject{{"path", QString::fromUtf8(fault.path)},
			   {"kind", kind},
			   {"status", fault.status},
			   {"body", QString::fromUtf8(fault.body)},
			   {"delay_ms", fault.delayMs},
			   {"count", fault.count},
			   {"skip", fault.skip}};
}

bool ServiceSim::Private::faultFromJson(const QJsonObject &object, Fault *fault, QString *error)
{
	const QString path = object.value("path").toString();
	if (!path.startsWith(QLatin1Char('/'))) {
		*error = QStringLiteral("\"path\" must start with /");
		return false;
	}
	const QString kind = object.value("kind").toString();
	bool known = false;
	for (const auto &pair : faultKindNames()) {
		if (pair.second == kind) {
			fault->kind = pair.first;
			known = true;
		}
	}
	if (!known) {
		*error = QStringLiteral("unknown \"kind\" (status, invalid-body, delay, drop, drop-mid-body, "
					"short-body, wrong-bytes, hang, trickle)");
		return false;
	}
	fault->path = path.toUtf8();
	fault->status = object.value("status").toInt(500);
	if (fault->status < 100 || fault->status > 999) {
		*error = QStringLiteral("\"status\" must be a three-digit HTTP status");
		return false;
	}
	fault->body = object.value("body").toString().toUtf8();
	fault->delayMs = std::max(0, object.value("delay_ms").toInt(0));
	fault->count = object.value("count").toInt(1);
	fault->skip = std::max(0, object.value("skip").toInt(0));
	if (fault->count == 0) {
		*error = QStringLiteral("\"count\" must not be 0 (negative: until cleared)");
		return false;
	}
	return true;
}

// --- public API ------------------------------------------------------------------------------

ServiceSim::ServiceSim(QObject *parent) : QObject(parent), d(new Private(this)) {}

ServiceSim::~ServiceSim()
{
	close();
	// The connections' handlers reach into d: they go first.
	qDeleteAll(findChildren<HttpConnection *>(QString(), Qt::FindDirectChildrenOnly));
	delete d;
}

bool ServiceSim::listen(quint16 port)
{
	if (d->server.isListening())
		return true;
	return d->server.listen(QHostAddress::LocalHost, port);
}

void ServiceSim::close()
{
	d->saveState();
	d->server.close();
	d->server.abortUnserved();
	d->heldPolls.clear();
	const QList<QPointer<HttpConnection>> open = d->connections;
	d->connections.clear();
	for (const QPointer<HttpConnection> &connection : open) {
		if (connection)
			connection->abort();
	}
}

quint16 ServiceSim::port() const
{
	return d->server.isListening() ? d->server.serverPort() : 0;
}

QString ServiceSim::origin() const
{
	return QStringLiteral("%1://127.0.0.1:%2").arg(d->server.isTls() ? "https" : "http").arg(port());
}

bool ServiceSim::setTlsCredentials(const QString &chainFile, const QString &keyFile)
{
	QFile keyPem(keyFile);
	if (!keyPem.open(QIODevice::ReadOnly))
		return false;
	const QList<QSslCertificate> chain = QSslCertificate::fromPath(chainFile);
	const QSslKey key(keyPem.readAll(), QSsl::Ec);
	if (chain.isEmpty() || key.isNull())
		return false;
	d->server.setCredentials(chain, key);
	return true;
}

bool ServiceSim::useTestTls()
{
	return setTlsCredentials(QStringLiteral(KELP_TEST_PKI_DIR "/server.pem"),
				 QStringLiteral(KELP_TEST_PKI_DIR "/server.key"));
}

QString ServiceSim::testAuthorityFile()
{
	return QStringLiteral(KELP_TEST_PKI_DIR "/ca.pem");
}

void ServiceSim::setTlsHandshake(TlsHandshake handshake)
{
	// What a stall left hanging stays open, as behind a silent middlebox: the client has to stop
	// waiting on it by itself.
	d->server.setHandshake(handshake);
}

QStringList ServiceSim::pendingCodes() const
{
	QStringList codes;
	for (const Pairing &pairing : d->pairings) {
		if (d->effectiveState(pairing) == Pairing::Pending)
			codes.append(pairing.code);
	}
	return codes;
}

bool ServiceSim::approveCode(const QString &code)
{
	Pairing *pairing = d->pendingByCode(code);
	if (!pairing)
		return false;
	pairing->state = Pairing::Approved;
	pairing->token = issueToken(pairing->deviceId);
	if (!pairing->deviceName.isEmpty())
		d->device(pairing->deviceId).name = pairing->deviceName;
	d->markChanged();
	return true;
}

bool ServiceSim::expireCode(const QString &code)
{
	Pairing *pairing = d->pendingByCode(code);
	if (!pairing)
		return false;
	pairing->state = Pairing::Expired;
	return true;
}

QString ServiceSim::issueToken(const QString &deviceId)
{
	if (deviceId.isEmpty())
		return QString();
	const QString token = QStringLiteral("kdt_") + randomHex(24);
	d->device(deviceId).token = token;
	d->markChanged();
	return token;
}

QString ServiceSim::tokenFor(const QString &deviceId) const
{
	return d->devices.value(deviceId).token;
}

void ServiceSim::revokeToken(const QString &deviceId)
{
	const auto it = d->devices.find(deviceId);
	if (it == d->devices.end() || it->token.isEmpty())
		return;
	it->token.clear();
	d->markChanged();
	// Polls held with the old token learn of it now rather than at their timeout.
	const QList<HeldPoll> held = d->heldPolls;
	d->heldPolls.removeIf([&](const HeldPoll &poll) { return poll.deviceId == deviceId; });
	for (const HeldPoll &poll : held) {
		if (poll.deviceId == deviceId && poll.connection && !poll.connection->isAnswered()) {
			HttpAnswer answer = errorAnswer(401, "unauthorized");
			answer.addHeader("WWW-Authenticate", "Bearer");
			poll.connection->respond(answer);
		}
	}
}

qint64 ServiceSim::queueEvent(const QString &deviceId, const QJsonObject &event)
{
	if (!deviceId.isEmpty()) {
		const qint64 seq = d->appendEvent(d->device(deviceId), event);
		d->wakePolls(deviceId);
		return seq;
	}
	qint64 highest = 0;
	for (auto it = d->devices.begin(); it != d->devices.end(); ++it) {
		if (it->token.isEmpty())
			continue;
		highest = std::max(highest, d->appendEvent(it.value(), event));
		d->wakePolls(it.key());
	}
	return highest;
}

qint64 ServiceSim::lastSeq(const QString &deviceId) const
{
	return d->devices.value(deviceId).seq;
}

void ServiceSim::setWidgetState(const QString &widgetId, const QString &revision, const QJsonObject &config)
{
	d->widgetId = widgetId;
	d->widgetRevision = revision;
	d->widgetConfig = config;
	d->markChanged();
}

void ServiceSim::setAsset(const QString &slot, const QByteArray &mime, const QByteArray &data, const QString &updatedAt)
{
	if (slot.isEmpty())
		return;
	Asset asset;
	asset.mime = mime;
	asset.data = data;
	asset.updatedAt = updatedAt.isEmpty() ? QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) : updatedAt;
	d->assets.insert(slot, asset);
	d->markChanged();
}

void ServiceSim::removeAsset(const QString &slot)
{
	if (d->assets.remove(slot))
		d->markChanged();
}

bool ServiceSim::publishRuntime(const QString &version, const QString &folder, const QString &minPluginVersion)
{
	// The version names a URL segment: it must stay one segment and must not be a dot segment.
	if (version.isEmpty() || version == QLatin1String(".") || version == QLatin1String("..") ||
	    version.contains(QLatin1Char('/')) || version.contains(QLatin1Char('\\')))
		return false;
	const QDir root(folder);
	if (folder.isEmpty() || !root.exists())
		return false;

	QStringList paths;
	QDirIterator it(root.absolutePath(), QDir::Files, QDirIterator::Subdirectories);
	while (it.hasNext())
		paths.append(root.relativeFilePath(it.next()));
	std::sort(paths.begin(), paths.end());
	if (paths.isEmpty())
		return false;

	Runtime runtime;
	runtime.version = version;
	runtime.minPluginVersion = minPluginVersion;
	for (const QString &path : paths) {
		QFile file(root.filePath(path));
		if (!file.open(QIODevice::ReadOnly))
			return false;
		RuntimeFile entry;
		entry.path = QDir::fromNativeSeparators(path);
		entry.data = file.readAll();
		entry.sha256 = QCryptographicHash::hash(entry.data, QCryptographicHash::Sha256).toHex();
		runtime.files.append(entry);
	}
	d->runtimes.insert(version, runtime);
	d->currentRuntime = version;
	d->markChanged();
	return true;
}

void ServiceSim::setManifestOverride(const QByteArray &body)
{
	d->manifestOverride = body;
}

void ServiceSim::setDefaultRuntimeFolder(const QString &folder)
{
	d->defaultRuntimeFolder = folder;
}

void ServiceSim::addFault(const Fault &fault)
{
	if (fault.count == 0 || fault.path.isEmpty())
		return;
	d->faults.append(fault);
}

void ServiceSim::clearFaults()
{
	d->faults.clear();
	// A drop whose re-send never came must not take the next real request with it.
	d->recentDrops.clear();
}

QList<Fault> ServiceSim::faults() const
{
	return d->faults;
}

void ServiceSim::startChaos(quint64 seed, int durationMs)
{
	d->chaos.start(seed, durationMs);
}

void ServiceSim::stopChaos()
{
	d->chaos.stop();
}

bool ServiceSim::isChaosActive() const
{
	return d->chaos.isActive();
}

void ServiceSim::setPairCodeLifetime(int ms)
{
	d->codeLifetimeMs = std::max(0, ms);
}

void ServiceSim::setMaxWaitMs(int ms)
{
	d->maxWaitMs = std::max(0, ms);
}

int ServiceSim::heldPollCount(const QString &deviceId) const
{
	return int(std::count_if(d->heldPolls.begin(), d->heldPolls.end(), [&](const HeldPoll &poll) {
		return poll.connection && !poll.connection->isAnswered() &&
		       (deviceId.isEmpty() || poll.deviceId == deviceId);
	}));
}

QList<RequestRecord> ServiceSim::requests() const
{
	return d->log;
}

QList<RequestRecord> ServiceSim::requestsTo(const QByteArray &path) const
{
	QList<RequestRecord> matching;
	for (const RequestRecord &record : d->log) {
		if (record.path == path)
			matching.append(record);
	}
	return matching;
}

void ServiceSim::clearRequests()
{
	d->log.clear();
}

QJsonObject ServiceSim::state() const
{
	static const char *const stateNames[] = {"pending", "approved", "expired"};
	QJsonArray pairings;
	for (const Pairing &pairing : d->pairings) {
		pairings.append(QJsonObject{{"pair_id", pairing.pairId},
					    {"code", pairing.code},
					    {"device_id", pairing.deviceId},
					    {"device_name", pairing.deviceName},
					    {"status", stateNames[d->effectiveState(pairing)]},
					    {"created_ms", pairing.createdMs}});
	}

	QJsonArray devices;
	for (const Device &device : d->devices) {
		devices.append(QJsonObject{{"device_id", device.deviceId},
					   {"device_name", device.name},
					   {"paired", !device.token.isEmpty()},
					   {"token", device.token},
					   {"seq", device.seq},
					   {"queued", qint64(device.events.size())},
					   {"held_polls", heldPollCount(device.deviceId)},
					   {"last_heartbeat_ms", device.lastHeartbeatMs},
					   {"reported_last_seq", device.reportedLastSeq},
					   {"obs_version", device.obsVersion},
					   {"plugin_version", device.pluginVersion}});
	}

	QJsonObject runtime{{"version", d->currentRuntime},
			    {"versions", QJsonArray::fromStringList(d->runtimes.keys())},
			    {"default_folder", d->defaultRuntimeFolder},
			    {"manifest_override", QString::fromUtf8(d->manifestOverride)}};
	if (!d->currentRuntime.isEmpty()) {
		const QJsonObject manifest = d->manifestObject();
		runtime.insert("min_plugin_version", d->runtimes[d->currentRuntime].minPluginVersion);
		runtime.insert("files", manifest.value("files"));
	}

	QJsonArray faults;
	for (const Fault &fault : d->faults)
		faults.append(Private::faultToJson(fault));

	return QJsonObject{
		{"origin", origin()},
		{"settings", QJsonObject{{"code_lifetime_ms", d->codeLifetimeMs}, {"max_wait_ms", d->maxWaitMs}}},
		{"pairings", pairings},
		{"pending_codes", QJsonArray::fromStringList(pendingCodes())},
		{"devices", devices},
		{"widget", d->widgetStateObject()},
		{"runtime", runtime},
		{"faults", faults},
		{"chaos", d->chaos.state()},
		{"requests", qint64(d->log.size())},
		{"tokens_off_origin", d->tokensOffOrigin},
	};
}

} // namespace kelpsim
