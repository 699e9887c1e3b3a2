// The control API under "/_sim/": every operation of the C++ control surface, JSON in and out,
// so a browser page or curl can drive the simulator the way tests drive it in-process.

#include "service-sim-p.h"

#include <QFile>
#include <QJsonDocument>
#include <QUrl>

namespace kelpsim {

namespace {

struct ControlRequest {
	HttpConnection *connection;
	QByteArray method;
	QByteArray path; // after "/_sim"

	bool is(const char *m, const char *p) const { return method == m && path == p; }
};

HttpAnswer ok(QJsonObject object = QJsonObject())
{
	object.insert("ok", true);
	return jsonAnswer(200, object);
}

// Parses the body as a JSON object; answers 400 and returns false when it is not one.
bool bodyObject(HttpConnection *connection, QJsonObject *object)
{
	QJsonParseError error{};
	const QByteArray body = connection->body();
	const QJsonDocument document = QJsonDocument::fromJson(body.isEmpty() ? QByteArray("{}") : body, &error);
	if (error.error != QJsonParseError::NoError || !document.isObject()) {
		connection->respond(errorAnswer(400, "body must be a JSON object"));
		return false;
	}
	*object = document.object();
	return true;
}

QJsonObject recordToJson(const RequestRecord &record)
{
	QJsonArray headers;
	for (const auto &pair : record.headers)
		headers.append(QJsonArray{QString::fromLatin1(pair.first), QString::fromLatin1(pair.second)});
	return QJsonObject{{"method", QString::fromLatin1(record.method)},
			   {"path", QString::fromUtf8(record.path)},
			   {"query", QString::fromUtf8(record.query)},
			   {"headers", headers},
			   {"received_ms", record.receivedMs}};
}

bool isSlotName(const QString &slot)
{
	if (slot.isEmpty() || slot.size() > 64)
		return false;
	for (QChar c : slot) {
		if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_'))
			return false;
	}
	return true;
}

} // namespace

void ServiceSim::Private::page(HttpConnection *connection)
{
	if (connection->record().method != "GET") {
		HttpAnswer answer = errorAnswer(405, "method not allowed");
		answer.addHeader("Allow", "GET");
		connection->respond(answer);
		return;
	}
	QFile file(QStringLiteral(":/kelp-service-sim/sim-page.html"));
	if (!file.open(QIODevice::ReadOnly)) {
		connection->respond(errorAnswer(500, "the page is missing from the build"));
		return;
	}
	HttpAnswer answer;
	answer.contentType = "text/html; charset=utf-8";
	answer.addHeader("Cache-Control", "no-store");
	answer.body = file.readAll();
	connection->respond(answer);
}

void ServiceSim::Private::control(HttpConnection *connection)
{
	const RequestRecord &record = connection->record();
	const ControlRequest r{connection, record.method, record.path.mid(5)};
	QJsonObject in;

	if (r.is("GET", "/state")) {
		connection->respond(ok(q->state()));
		return;
	}

	if (r.is("POST", "/pair/approve") || r.is("POST", "/pair/expire")) {
		if (!bodyObject(connection, &in))
			return;
		const QString code = in.value("code").toString();
		Pairing *pairing = pendingByCode(code);
		if (!pairing) {
			connection->respond(errorAnswer(404, "no pending pairing with that code"));
			return;
		}
		const QString deviceId = pairing->deviceId;
		if (r.path == "/pair/expire") {
			q->expireCode(code);
			connection->respond(ok({{"device_id", deviceId}, {"status", "expired"}}));
			return;
		}
		q->approveCode(code);
		connection->respond(
			ok({{"device_id", deviceId}, {"status", "approved"}, {"device_token", q->tokenFor(deviceId)}}));
		return;
	}

	if (r.is("POST", "/tokens") || r.is("POST", "/tokens/revoke")) {
		if (!bodyObject(connection, &in))
			return;
		const QString deviceId = in.value("device_id").toString();
		if (deviceId.isEmpty()) {
			connection->respond(errorAnswer(400, "\"device_id\" is required"));
			return;
		}
		if (r.path == "/tokens") {
			const QString token = q->issueToken(deviceId);
			connection->respond(ok({{"device_id", deviceId}, {"device_token", token}}));
			return;
		}
		if (q->tokenFor(deviceId).isEmpty()) {
			connection->respond(errorAnswer(404, "device has no token"));
			return;
		}
		q->revokeToken(deviceId);
		connection->respond(ok({{"device_id", deviceId}}));
		return;
	}

	if (r.is("POST", "/events")) {
		if (!bodyObject(connection, &in))
			return;
		if (!in.value("event").isObject()) {
			connection->respond(errorAnswer(400, "\"event\" must be a JSON object"));
			return;
		}
		const QString deviceId = in.value("device_id").toString();
		QJsonArray targets;
		if (deviceId.isEmpty()) {
			for (const Device &device : devices) {
				if (!device.token.isEmpty())
					targets.append(device.deviceId);
			}
			if (targets.isEmpty()) {
				connection->respond(errorAnswer(409, "no paired device"));
				return;
			}
		} else {
			targets.append(deviceId);
		}
		const qint64 seq = q->queueEvent(deviceId, in.value("event").toObject());
		connection->respond(ok({{"seq", seq}, {"devices", targets}}));
		return;
	}

	if (r.is("POST", "/widget-state")) {
		if (!bodyObject(connection, &in))
			return;
		if (in.contains("config") && !in.value("config").isObject()) {
			connection->respond(errorAnswer(400, "\"config\" must be a JSON object"));
			return;
		}
		// Omitted members keep their values, except the revision: a change without one gets a new one.
		const QString id = in.contains("widget_id") ? in.value("widget_id").toString() : widgetId;
		const QString revision = in.contains("revision")
						 ? in.value("revision").toString()
						 : QStringLiteral("r%1").arg(QDateTime::currentMSecsSinceEpoch());
		const QJsonObject config = in.contains("config") ? in.value("config").toObject() : widgetConfig;
		q->setWidgetState(id, revision, config);
		connection->respond(ok(widgetStateObject()));
		return;
	}

	if (r.path.startsWith("/assets/")) {
		const QString slot = QUrl::fromPercentEncoding(r.path.mid(8));
		if (!isSlotName(slot)) {
			connection->respond(errorAnswer(400, "slot names use letters, digits, '-' and '_'"));
			return;
		}
		if (r.method == "GET") {
			const auto it = assets.constFind(slot);
			if (it == assets.constEnd()) {
				connection->respond(errorAnswer(404, "no asset in that slot"));
				return;
			}
			connection->respond(it->answer());
		} else if (r.method == "POST" || r.method == "PUT") {
			if (connection->body().isEmpty()) {
				connection->respond(errorAnswer(400, "the body must hold the asset's bytes"));
				return;
			}
			QByteArray mime = record.header("Content-Type");
			if (mime.isEmpty())
				mime = "application/octet-stream";
			q->setAsset(slot, mime, connection->body(), QString::fromUtf8(record.header("X-Updated-At")));
			const Asset &asset = assets[slot];
			connection->respond(ok({{"slot", slot},
						{"content_type", QString::fromLatin1(asset.mime)},
						{"size", qint64(asset.data.size())},
						{"updated_at", asset.updatedAt}}));
		} else if (r.method == "DELETE") {
			if (!assets.contains(slot)) {
				connection->respond(errorAnswer(404, "no asset in that slot"));
				return;
			}
			q->removeAsset(slot);
			connection->respond(ok({{"slot", slot}}));
		} else {
			connection->respond(errorAnswer(405, "method not allowed"));
		}
		return;
	}

	if (r.is("POST", "/runtime/publish")) {
		if (!bodyObject(connection, &in))
			return;
		const QString version = in.value("version").toString();
		QString folder = in.value("folder").toString();
		if (folder.isEmpty())
			folder = defaultRuntimeFolder;
		if (!q->publishRuntime(version, folder, in.value("min_plugin_version").toString())) {
			connection->respond(errorAnswer(400, "could not publish: the version must be one URL segment "
							     "and the folder must exist and hold files"));
			return;
		}
		connection->respond(ok(manifestObject()));
		return;
	}

	if (r.path == "/runtime/manifest-override") {
		if (r.method == "POST" || r.method == "PUT") {
			if (connection->body().isEmpty()) {
				connection->respond(errorAnswer(400, "empty override; DELETE clears it"));
				return;
			}
			q->setManifestOverride(connection->body());
			connection->respond(ok({{"manifest_override", QString::fromUtf8(connection->body())}}));
		} else if (r.method == "DELETE") {
			q->setManifestOverride(QByteArray());
			connection->respond(ok());
		} else {
			connection->respond(errorAnswer(405, "method not allowed"));
		}
		return;
	}

	if (r.path == "/faults") {
		if (r.method == "GET") {
			QJsonArray list;
			for (const Fault &fault : faults)
				list.append(faultToJson(fault));
			connection->respond(ok({{"faults", list}}));
		} else if (r.method == "POST") {
			if (!bodyObject(connection, &in))
				return;
			Fault fault;
			QString error;
			if (!faultFromJson(in, &fault, &error)) {
				connection->respond(errorAnswer(400, error.toUtf8()));
				return;
			}
			q->addFault(fault);
			connection->respond(ok({{"fault", faultToJson(fault)}}));
		} else if (r.method == "DELETE") {
			q->clearFaults();
			connection->respond(ok());
		} else {
			connection->respond(errorAnswer(405, "method not allowed"));
		}
		return;
	}

	if (r.path == "/requests") {
		if (r.method == "GET") {
			const QByteArray filter = record.queryItem("path").toUtf8();
			const int limit = record.queryItem("limit").toInt();
			QJsonArray list;
			for (const RequestRecord &entry : log) {
				if (!filter.isEmpty() &&
				    !(filter.endsWith('/') ? entry.path.startsWith(filter) : entry.path == filter))
					continue;
				list.append(recordToJson(entry));
			}
			// The newest ones when limited.
			while (limit > 0 && list.size() > limit)
				list.removeFirst();
			connection->respond(ok({{"requests", list}}));
		} else if (r.method == "DELETE") {
			q->clearRequests();
			connection->respond(ok());
		} else {
			connection->respond(errorAnswer(405, "method not allowed"));
		}
		return;
	}

	if (r.path == "/chaos") {
		if (r.method == "POST") {
			if (!bodyObject(connection, &in))
				return;
			// A number, or a decimal string for seeds beyond what a JSON number holds exactly.
			const QJsonValue seed = in.value("seed");
			bool ok =
				seed.isDouble() && seed.toDouble() >= 0 && seed.toDouble() == double(seed.toInteger());
			const quint64 value = ok ? quint64(seed.toInteger()) : seed.toString().toULongLong(&ok);
			const int seconds = in.value("seconds").toInt(60);
			if (!ok || seconds <= 0 || seconds > 86400) {
				connection->respond(errorAnswer(
					400,
					"\"seed\" (a non-negative integer) and \"seconds\" (1 to 86400) expected"));
				return;
			}
			q->startChaos(value, seconds * 1000);
		} else if (r.method == "DELETE") {
			q->stopChaos();
		} else if (r.method != "GET") {
			connection->respond(errorAnswer(405, "method not allowed"));
			return;
		}
		connection->respond(ok(chaos.state()));
		return;
	}

	if (r.is("POST", "/settings")) {
		if (!bodyObject(connection, &in))
			return;
		if (in.contains("code_lifetime_ms"))
			q->setPairCodeLifetime(in.value("code_lifetime_ms").toInt());
		if (in.contains("max_wait_ms"))
			q->setMaxWaitMs(in.value("max_wait_ms").toInt());
		connection->respond(ok(q->state().value("settings").toObject()));
		return;
	}

	static const QList<QByteArray> known = {"/state",        "/pair/approve",    "/pair/expire",
						"/tokens",       "/tokens/revoke",   "/events",
						"/widget-state", "/runtime/publish", "/settings"};
	connection->respond(known.contains(r.path) ? errorAnswer(405, "method not allowed")
						   : errorAnswer(404, "no such control operation"));
}

} // namespace kelpsim
