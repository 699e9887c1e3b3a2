#include "service-sim.h"
#include "support/raw-http.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using kelpsim::Fault;
using kelpsim::ServiceSim;

namespace {

const QString kDevice = QStringLiteral("00112233445566778899aabbccddeeff");
const QString kOtherDevice = QStringLiteral("ffeeddccbbaa99887766554433221100");
const QString kChallenge = QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef");

const QByteArray kPairStart = "/api/v26/plugin/pair/start";
const QByteArray kPairStatus = "/api/v26/plugin/pair/status";
const QByteArray kHeartbeat = "/api/v26/plugin/heartbeat";
const QByteArray kEvents = "/api/v28/plugin/events";
const QByteArray kWidgetState = "/api/v27/plugin/widget-state";
const QByteArray kWidgetAsset = "/api/v27/plugin/widget-asset";
const QByteArray kManifest = "/api/v40/runtime/manifest";

struct Result {
	bool finished = false;
	QNetworkReply::NetworkError error = QNetworkReply::NoError;
	int status = 0;
	QByteArray body;
	QByteArray contentType;
	qint64 elapsedMs = 0;
	QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

QString query(const QList<QPair<QString, QString>> &items)
{
	QUrlQuery q;
	for (const auto &item : items)
		q.addQueryItem(item.first, item.second);
	return q.toString();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
	QDir().mkpath(QFileInfo(path).absolutePath());
	QFile file(path);
	QVERIFY(file.open(QIODevice::WriteOnly));
	QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray sha256Hex(const QByteArray &bytes)
{
	return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

class TestServiceSim : public QObject {
	Q_OBJECT

private:
	ServiceSim *sim = nullptr;
	QNetworkAccessManager *network = nullptr;

	QNetworkReply *send(const QByteArray &method, const QString &pathAndQuery,
			    const QByteArray &body = QByteArray(),
			    const QList<QPair<QByteArray, QByteArray>> &headers = {})
	{
		QNetworkRequest request(QUrl(sim->origin() + pathAndQuery));
		for (const auto &header : headers)
			request.setRawHeader(header.first, header.second);
		if (!body.isEmpty() && request.header(QNetworkRequest::ContentTypeHeader).isNull())
			request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
		QNetworkReply *reply = network->sendCustomRequest(request, method, body);
		reply->setProperty("startedMs", QDateTime::currentMSecsSinceEpoch());
		return reply;
	}

	static Result await(QNetworkReply *reply, int timeoutMs = 5000)
	{
		Result result;
		QSignalSpy finished(reply, &QNetworkReply::finished);
		result.finished = reply->isFinished() || finished.wait(timeoutMs);
		if (!result.finished)
			return result;
		result.error = reply->error();
		result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
		result.body = reply->readAll();
		result.contentType = reply->rawHeader("Content-Type");
		result.elapsedMs = QDateTime::currentMSecsSinceEpoch() - reply->property("startedMs").toLongLong();
		reply->deleteLater();
		return result;
	}

	Result get(const QString &pathAndQuery, const QList<QPair<QByteArray, QByteArray>> &headers = {})
	{
		return await(send("GET", pathAndQuery, QByteArray(), headers));
	}

	Result control(const QByteArray &method, const QString &path, const QJsonObject &body = QJsonObject())
	{
		return await(send(method, path, body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson()));
	}

	QList<QPair<QByteArray, QByteArray>> bearer(const QString &deviceId) const
	{
		return {{"Authorization", "Bearer " + sim->tokenFor(deviceId).toUtf8()}};
	}

	Result poll(const QString &deviceId, qint64 afterSeq, int waitMs)
	{
		return await(sendPoll(deviceId, afterSeq, waitMs), waitMs + 5000);
	}

	QNetworkReply *sendPoll(const QString &deviceId, qint64 afterSeq, int waitMs)
	{
		return send("GET",
			    QString::fromLatin1(kEvents) + '?' +
				    query({{"device_id", deviceId},
					   {"after_seq", QString::number(afterSeq)},
					   {"wait_ms", QString::number(waitMs)}}),
			    QByteArray(), bearer(deviceId));
	}

	QJsonObject startPairing(const QString &deviceId, const QString &challenge = kChallenge)
	{
		const Result result = get(QString::fromLatin1(kPairStart) + '?' +
					  query({{"device_id", deviceId},
						 {"challenge", challenge},
						 {"device_name", "Studio PC"},
						 {"obs_version", "31.1.0"},
						 {"plugin_version", "0.4.2"}}));
		return result.json();
	}

	Result pairStatus(const QString &pairId, const QString &challenge = kChallenge)
	{
		return get(QString::fromLatin1(kPairStatus) + '?' +
			   query({{"pair_id", pairId}, {"challenge", challenge}}));
	}

	QString manifestQuery() const
	{
		return QString::fromLatin1(kManifest) +
		       QStringLiteral("?widget=event-goal&channel=stable&plugin_version=0.4.2");
	}

	// A published runtime whose manifest body is the request target of the fault tests.
	QByteArray publishSample(QTemporaryDir &dir)
	{
		writeFile(dir.filePath("index.html"), "<!doctype html><title>goal</title>");
		writeFile(dir.filePath("js/app.js"), QByteArray(4000, 'j'));
		if (!sim->publishRuntime("1.0.0", dir.path()))
			return QByteArray();
		return get(manifestQuery()).body;
	}

private slots:
	void init()
	{
		sim = new ServiceSim(this);
		QVERIFY(sim->listen());
		QVERIFY(sim->port() != 0);
		network = new QNetworkAccessManager(this);
	}

	void cleanup()
	{
		delete network;
		delete sim;
		network = nullptr;
		sim = nullptr;
	}

	void pairStartValidation_data()
	{
		QTest::addColumn<QString>("deviceId");
		QTest::addColumn<QString>("challenge");
		QTest::addColumn<int>("status");
		QTest::addColumn<QString>("error");

		QTest::newRow("valid") << kDevice << kChallenge << 200 << QString();
		QTest::newRow("short device id") << kDevice.left(31) << kChallenge << 400 << "invalid device_id";
		QTest::newRow("uppercase device id") << kDevice.toUpper() << kChallenge << 400 << "invalid device_id";
		QTest::newRow("non-hex device id")
			<< kDevice.left(31) + 'g' << kChallenge << 400 << "invalid device_id";
		QTest::newRow("missing challenge") << kDevice << QString() << 400 << "invalid challenge";
		QTest::newRow("short challenge") << kDevice << kChallenge.left(47) << 400 << "invalid challenge";
		QTest::newRow("long challenge") << kDevice << kChallenge + 'a' << 400 << "invalid challenge";
	}

	void pairStartValidation()
	{
		QFETCH(QString, deviceId);
		QFETCH(QString, challenge);
		QFETCH(int, status);
		QFETCH(QString, error);

		const Result result = get(QString::fromLatin1(kPairStart) + '?' +
					  query({{"device_id", deviceId}, {"challenge", challenge}}));
		QCOMPARE(result.status, status);
		const QJsonObject json = result.json();
		QCOMPARE(json.value("ok").toBool(), status == 200);
		if (status != 200) {
			QCOMPARE(json.value("error").toString(), error);
			QVERIFY(sim->pendingCodes().isEmpty());
			return;
		}
		const QString code = json.value("code").toString();
		QVERIFY2(QRegularExpression("^[A-HJ-NP-Z2-9]{6}$").match(code).hasMatch(), qPrintable(code));
		QVERIFY(!json.value("pair_id").toString().isEmpty());
		QCOMPARE(sim->pendingCodes(), QStringList{code});
	}

	void pairingApproval()
	{
		const QJsonObject started = startPairing(kDevice);
		const QString pairId = started.value("pair_id").toString();
		const QString code = started.value("code").toString();

		Result status = pairStatus(pairId);
		QCOMPARE(status.status, 200);
		QCOMPARE(status.json().value("status").toString(), QStringLiteral("pending"));
		QVERIFY(!status.json().contains("device_token"));

		status = pairStatus(pairId, QString(kChallenge).replace(0, 1, QLatin1Char('f')));
		QCOMPARE(status.status, 403);
		QCOMPARE(status.json().value("ok").toBool(true), false);
		status = pairStatus("pr_unknown");
		QCOMPARE(status.status, 404);
		QCOMPARE(status.json().value("ok").toBool(true), false);

		// Codes are typed by people: case and surrounding blanks do not matter.
		QVERIFY(sim->approveCode(QLatin1Char(' ') + code.toLower() + QLatin1Char(' ')));
		QVERIFY(sim->pendingCodes().isEmpty());
		QVERIFY(!sim->approveCode(code));

		status = pairStatus(pairId);
		QCOMPARE(status.json().value("status").toString(), QStringLiteral("approved"));
		const QString token = status.json().value("device_token").toString();
		QVERIFY(!token.isEmpty());
		QCOMPARE(token, sim->tokenFor(kDevice));
		QCOMPARE(get(QString::fromLatin1(kHeartbeat) + "?device_id=" + kDevice + "&last_seq=0", bearer(kDevice))
				 .status,
			 200);
	}

	void pairingExpiry_data()
	{
		QTest::addColumn<QString>("how");
		QTest::newRow("by control") << "control";
		QTest::newRow("by lifetime") << "lifetime";
		QTest::newRow("by a newer code") << "superseded";
	}

	void pairingExpiry()
	{
		QFETCH(QString, how);
		if (how == "lifetime")
			sim->setPairCodeLifetime(50);
		const QJsonObject started = startPairing(kDevice);
		const QString code = started.value("code").toString();
		QVERIFY(!code.isEmpty());

		if (how == "control") {
			QVERIFY(sim->expireCode(code));
			QVERIFY(!sim->expireCode(code));
		} else if (how == "lifetime") {
			QTRY_VERIFY(sim->pendingCodes().isEmpty());
		} else {
			const QString newer = startPairing(kDevice).value("code").toString();
			QCOMPARE(sim->pendingCodes(), QStringList{newer});
		}

		const Result status = pairStatus(started.value("pair_id").toString());
		QCOMPARE(status.status, 200);
		QCOMPARE(status.json().value("status").toString(), QStringLiteral("expired"));
		QVERIFY(!sim->approveCode(code));
		QVERIFY(sim->tokenFor(kDevice).isEmpty());
	}

	void authorization_data()
	{
		QTest::addColumn<QByteArray>("path");
		QTest::addColumn<QString>("credential"); // "valid", "none", "wrong", "other device", "basic", "lower"
		QTest::addColumn<int>("status");

		for (const QByteArray &path : {kHeartbeat, kEvents, kWidgetState, kWidgetAsset}) {
			QTest::addRow("%s valid", path.constData()) << path << "valid" << 200;
			QTest::addRow("%s lowercase scheme", path.constData()) << path << "lower" << 200;
			QTest::addRow("%s none", path.constData()) << path << "none" << 401;
			QTest::addRow("%s wrong token", path.constData()) << path << "wrong" << 401;
			QTest::addRow("%s other device's token", path.constData()) << path << "other device" << 401;
			QTest::addRow("%s basic scheme", path.constData()) << path << "basic" << 401;
		}
	}

	void authorization()
	{
		QFETCH(QByteArray, path);
		QFETCH(QString, credential);
		QFETCH(int, status);

		sim->issueToken(kDevice);
		sim->issueToken(kOtherDevice);
		sim->setAsset("mask", "image/png", "png-bytes", "2024-05-01T10:00:00Z");
		const QString widgetId = sim->state().value("widget").toObject().value("widget_id").toString();

		const QByteArray token = sim->tokenFor(kDevice).toUtf8();
		QList<QPair<QByteArray, QByteArray>> headers;
		if (credential == "valid")
			headers = {{"Authorization", "Bearer " + token}};
		else if (credential == "lower")
			headers = {{"authorization", "bearer " + token}};
		else if (credential == "wrong")
			headers = {{"Authorization", "Bearer " + token.left(token.size() - 1) + 'x'}};
		else if (credential == "other device")
			headers = {{"Authorization", "Bearer " + sim->tokenFor(kOtherDevice).toUtf8()}};
		else if (credential == "basic")
			headers = {{"Authorization", "Basic " + token}};

		const Result result = get(QString::fromLatin1(path) + '?' +
						  query({{"device_id", kDevice},
							 {"widget_id", widgetId},
							 {"slot", "mask"},
							 {"after_seq", "0"},
							 {"wait_ms", "0"}}),
					  headers);
		QCOMPARE(result.status, status);
		if (status == 401)
			QCOMPARE(result.json(), (QJsonObject{{"ok", false}, {"error", "unauthorized"}}));
	}

	void revocation()
	{
		const QString oldToken = sim->issueToken(kDevice);
		const QString heartbeat = QString::fromLatin1(kHeartbeat) + "?device_id=" + kDevice + "&last_seq=0";
		const QList<QPair<QByteArray, QByteArray>> oldHeaders{{"Authorization", "Bearer " + oldToken.toUtf8()}};
		QCOMPARE(get(heartbeat, oldHeaders).status, 200);

		// A held poll learns of the revocation at once.
		QNetworkReply *held = sendPoll(kDevice, 0, 20000);
		QTRY_COMPARE(sim->heldPollCount(kDevice), 1);
		sim->revokeToken(kDevice);
		const Result heldResult = await(held);
		QCOMPARE(heldResult.status, 401);
		QVERIFY(heldResult.elapsedMs < 10000);
		QCOMPARE(sim->heldPollCount(), 0);

		QVERIFY(sim->tokenFor(kDevice).isEmpty());
		QCOMPARE(get(heartbeat, oldHeaders).status, 401);

		const QString newToken = sim->issueToken(kDevice);
		QVERIFY(newToken != oldToken);
		QCOMPARE(get(heartbeat, oldHeaders).status, 401);
		QCOMPARE(get(heartbeat, bearer(kDevice)).status, 200);
	}

	void eventQueue()
	{
		sim->issueToken(kDevice);
		QCOMPARE(sim->queueEvent(kDevice, {{"type", "donation"}, {"amount", 5}}), 1);
		// A "seq" supplied by the caller is the service's to assign, not the caller's.
		QCOMPARE(sim->queueEvent(kDevice, {{"type", "follow"}, {"seq", 99}}), 2);
		QCOMPARE(sim->queueEvent(kDevice, {{"type", "donation"}, {"amount", 7}}), 3);
		QCOMPARE(sim->lastSeq(kDevice), 3);

		Result result = poll(kDevice, 0, 0);
		QCOMPARE(result.status, 200);
		QJsonObject json = result.json();
		QCOMPARE(json.value("ok").toBool(), true);
		QCOMPARE(json.value("seq").toInteger(), 3);
		const QJsonArray all = json.value("events").toArray();
		QCOMPARE(all.size(), 3);
		QCOMPARE(all.at(0).toObject(), (QJsonObject{{"type", "donation"}, {"amount", 5}, {"seq", 1}}));
		QCOMPARE(all.at(1).toObject().value("seq").toInteger(), 2);
		QCOMPARE(all.at(2).toObject().value("amount").toInt(), 7);

		json = poll(kDevice, 2, 0).json();
		QCOMPARE(json.value("events").toArray().size(), 1);
		QCOMPARE(json.value("events").toArray().at(0).toObject().value("seq").toInteger(), 3);

		json = poll(kDevice, 3, 0).json();
		QCOMPARE(json.value("events").toArray().size(), 0);
		QCOMPARE(json.value("seq").toInteger(), 3);

		// A device that resumes beyond the counter (it outlived an earlier simulator) gets new
		// events above what it holds, not duplicates it would drop.
		json = poll(kDevice, 40, 0).json();
		QCOMPARE(json.value("seq").toInteger(), 40);
		QCOMPARE(sim->queueEvent(kDevice, {{"type", "raid"}}), 41);
	}

	void broadcastToPairedDevices()
	{
		sim->issueToken(kDevice);
		sim->issueToken(kOtherDevice);
		const QString revoked = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
		sim->issueToken(revoked);
		sim->revokeToken(revoked);
		sim->queueEvent(kDevice, {{"type", "only-first"}});

		QCOMPARE(sim->queueEvent(QString(), {{"type", "all"}}), 2);
		QCOMPARE(sim->lastSeq(kDevice), 2);
		QCOMPARE(sim->lastSeq(kOtherDevice), 1);
		QCOMPARE(sim->lastSeq(revoked), 0);
		QCOMPARE(poll(kOtherDevice, 0, 0).json().value("events").toArray().at(0).toObject().value("type"),
			 QJsonValue("all"));
	}

	void longPollWokenByEvent()
	{
		sim->issueToken(kDevice);
		sim->issueToken(kOtherDevice);
		QNetworkReply *reply = sendPoll(kDevice, 0, 20000);
		QTRY_COMPARE(sim->heldPollCount(kDevice), 1);

		sim->queueEvent(kOtherDevice, {{"type", "elsewhere"}});
		QCOMPARE(sim->heldPollCount(kDevice), 1);
		QVERIFY(!reply->isFinished());

		sim->queueEvent(kDevice, {{"type", "donation"}});
		const Result result = await(reply);
		QCOMPARE(result.status, 200);
		QVERIFY2(result.elapsedMs < 10000, QByteArray::number(result.elapsedMs));
		const QJsonArray events = result.json().value("events").toArray();
		QCOMPARE(events.size(), 1);
		QCOMPARE(events.at(0).toObject().value("type").toString(), QStringLiteral("donation"));
		QCOMPARE(result.json().value("seq").toInteger(), 1);
		QCOMPARE(sim->heldPollCount(), 0);
	}

	void longPollTimesOut_data()
	{
		QTest::addColumn<int>("waitMs");
		QTest::addColumn<int>("maxWaitMs");
		QTest::addColumn<int>("expectedMs");
		QTest::newRow("wait_ms honoured") << 300 << 30000 << 300;
		QTest::newRow("wait_ms capped") << 600000 << 200 << 200;
	}

	void longPollTimesOut()
	{
		QFETCH(int, waitMs);
		QFETCH(int, maxWaitMs);
		QFETCH(int, expectedMs);
		sim->setMaxWaitMs(maxWaitMs);
		sim->issueToken(kDevice);
		sim->queueEvent(kDevice, {{"type", "old"}});

		const Result result = await(sendPoll(kDevice, 1, waitMs), expectedMs + 5000);
		QVERIFY(result.finished);
		QCOMPARE(result.status, 200);
		QVERIFY2(result.elapsedMs >= expectedMs - 20 && result.elapsedMs < expectedMs + 4000,
			 QByteArray::number(result.elapsedMs));
		QCOMPARE(result.json(), (QJsonObject{{"ok", true}, {"events", QJsonArray()}, {"seq", 1}}));
	}

	void longPollClientGivesUp()
	{
		sim->issueToken(kDevice);
		QNetworkReply *reply = sendPoll(kDevice, 0, 20000);
		QTRY_COMPARE(sim->heldPollCount(kDevice), 1);
		reply->abort();
		reply->deleteLater();
		QTRY_COMPARE(sim->heldPollCount(kDevice), 0);
		// The event stays queued for the next poll.
		sim->queueEvent(kDevice, {{"type", "later"}});
		QCOMPARE(poll(kDevice, 0, 0).json().value("events").toArray().size(), 1);
	}

	void widgetStateAndAssets()
	{
		sim->issueToken(kDevice);
		const QJsonObject config{{"title", "Goal"}, {"text_layout", QJsonObject{{"title_size", 30}}}};
		sim->setWidgetState("wgt_1", "rev-42", config);
		const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a") + QByteArray(300, '\x01');
		sim->setAsset("mask", "image/png", png, "2024-05-01T10:00:00Z");
		sim->setAsset("frame", "image/svg+xml", "<svg/>", "2024-05-02T10:00:00Z");

		const QString state = QString::fromLatin1(kWidgetState) + "?device_id=" + kDevice;
		QJsonObject json = get(state, bearer(kDevice)).json();
		QCOMPARE(json.value("ok").toBool(), true);
		QCOMPARE(json.value("widget_id").toString(), QStringLiteral("wgt_1"));
		QCOMPARE(json.value("revision").toString(), QStringLiteral("rev-42"));
		QCOMPARE(json.value("config").toObject(), config);
		QJsonObject assets = json.value("assets").toObject();
		QCOMPARE(assets.keys(), (QStringList{"frame", "mask"}));
		QCOMPARE(assets.value("mask").toObject().value("updated_at").toString(),
			 QStringLiteral("2024-05-01T10:00:00Z"));

		auto asset = [&](const QString &widgetId, const QString &slot) {
			return get(QString::fromLatin1(kWidgetAsset) + '?' +
					   query({{"device_id", kDevice}, {"widget_id", widgetId}, {"slot", slot}}),
				   bearer(kDevice));
		};
		Result result = asset("wgt_1", "mask");
		QCOMPARE(result.status, 200);
		QCOMPARE(result.body, png);
		QCOMPARE(result.contentType, QByteArray("image/png"));
		result = asset("wgt_1", "frame");
		QCOMPARE(result.contentType, QByteArray("image/svg+xml"));
		QCOMPARE(result.body, QByteArray("<svg/>"));
		QCOMPARE(asset("wgt_1", "particle").status, 404);
		QCOMPARE(asset("wgt_other", "mask").status, 404);

		sim->removeAsset("mask");
		json = get(state, bearer(kDevice)).json();
		QCOMPARE(json.value("assets").toObject().keys(), QStringList{"frame"});
		QCOMPARE(asset("wgt_1", "mask").status, 404);
	}

	void manifestMatchesServedFiles()
	{
		QCOMPARE(get(manifestQuery()).status, 404);
		QCOMPARE(get(manifestQuery()).json().value("ok").toBool(true), false);

		QTemporaryDir dir;
		const QMap<QString, QByteArray> files{
			{"index.html", "<!doctype html><script src=js/app.js></script>"},
			{"js/app.js", "console.log('goal');\n"},
			{"img/mask one.png", QByteArray::fromHex("89504e470d0a1a0a00ff00ff")},
		};
		for (auto it = files.begin(); it != files.end(); ++it)
			writeFile(dir.filePath(it.key()), it.value());
		QVERIFY(sim->publishRuntime("1.2.0", dir.path(), "0.4.0"));

		const Result result = get(manifestQuery());
		QCOMPARE(result.status, 200);
		const QJsonObject manifest = result.json();
		QCOMPARE(manifest.value("ok").toBool(), true);
		QCOMPARE(manifest.value("widget").toString(), QStringLiteral("event-goal"));
		QCOMPARE(manifest.value("runtime_version").toString(), QStringLiteral("1.2.0"));
		QCOMPARE(manifest.value("min_plugin_version").toString(), QStringLiteral("0.4.0"));
		const QJsonArray entries = manifest.value("files").toArray();
		QCOMPARE(entries.size(), files.size());
		QStringList seen;
		for (const QJsonValue &value : entries) {
			const QJsonObject entry = value.toObject();
			const QString path = entry.value("path").toString();
			seen.append(path);
			QVERIFY2(files.contains(path), qPrintable(path));
			const QByteArray expected = files.value(path);
			QCOMPARE(entry.value("sha256").toString().toLatin1(), sha256Hex(expected));
			QCOMPARE(entry.value("size").toInteger(), expected.size());
			const QUrl url(entry.value("url").toString());
			QVERIFY(url.isValid());
			QVERIFY(url.toString().startsWith(sim->origin() + "/runtime/files/1.2.0/"));
			const Result file = await(network->get(QNetworkRequest(url)));
			QCOMPARE(file.status, 200);
			QCOMPARE(sha256Hex(file.body), sha256Hex(expected));
		}
		std::sort(seen.begin(), seen.end());
		QCOMPARE(seen, QStringList(files.keys()));

		// A later version takes over the manifest; the earlier one's files stay downloadable.
		QTemporaryDir next;
		writeFile(next.filePath("index.html"), "v2");
		QVERIFY(sim->publishRuntime("1.3.0", next.path()));
		const QJsonObject second = get(manifestQuery()).json();
		QCOMPARE(second.value("runtime_version").toString(), QStringLiteral("1.3.0"));
		QVERIFY(!second.contains("min_plugin_version"));
		QCOMPARE(get("/runtime/files/1.2.0/js/app.js").body, files.value("js/app.js"));
		QCOMPARE(get("/runtime/files/1.3.0/js/app.js").status, 404);

		QCOMPARE(get(QString::fromLatin1(kManifest) + "?widget=other&channel=stable").status, 404);

		sim->setManifestOverride("{\"ok\":true,\"widget\":\"Event-Goal\"}");
		const Result overridden = get(manifestQuery());
		QCOMPARE(overridden.status, 200);
		QCOMPARE(overridden.body, QByteArray("{\"ok\":true,\"widget\":\"Event-Goal\"}"));
		sim->setManifestOverride(QByteArray());
		QCOMPARE(get(manifestQuery()).json().value("runtime_version").toString(), QStringLiteral("1.3.0"));
	}

	void publishRefusals_data()
	{
		QTest::addColumn<QString>("version");
		QTest::addColumn<bool>("withFiles");
		QTest::newRow("empty version") << QString() << true;
		QTest::newRow("dot-dot version") << ".." << true;
		QTest::newRow("slash in version") << "1/2" << true;
		QTest::newRow("empty folder") << "1.0.0" << false;
	}

	void publishRefusals()
	{
		QFETCH(QString, version);
		QFETCH(bool, withFiles);
		QTemporaryDir dir;
		if (withFiles)
			writeFile(dir.filePath("index.html"), "x");
		QVERIFY(!sim->publishRuntime(version, dir.path()));
		QVERIFY(!sim->publishRuntime("1.0.0", dir.filePath("missing")));
		QCOMPARE(get(manifestQuery()).status, 404);
	}

	void faults_data()
	{
		QTest::addColumn<int>("kind");
		QTest::addColumn<bool>("networkError");
		QTest::addColumn<int>("status");
		QTest::addColumn<QByteArray>("body"); // "real", "half", "flipped", or the literal body

		QTest::newRow("status") << int(Fault::Status) << true << 503 << QByteArray("{\"ok\":false}");
		QTest::newRow("invalid body") << int(Fault::InvalidBody) << false << 200 << QByteArray("not json");
		QTest::newRow("delay") << int(Fault::Delay) << false << 200 << QByteArray("real");
		QTest::newRow("drop") << int(Fault::Drop) << true << 0 << QByteArray();
		QTest::newRow("drop mid body") << int(Fault::DropMidBody) << true << 200 << QByteArray("any");
		QTest::newRow("short body") << int(Fault::ShortBody) << false << 200 << QByteArray("half");
		QTest::newRow("wrong bytes") << int(Fault::WrongBytes) << false << 200 << QByteArray("flipped");
	}

	void faults()
	{
		QFETCH(int, kind);
		QFETCH(bool, networkError);
		QFETCH(int, status);
		QFETCH(QByteArray, body);

		QTemporaryDir dir;
		const QByteArray real = publishSample(dir);
		QVERIFY(real.size() > 100);

		Fault fault;
		fault.path = kManifest;
		fault.kind = Fault::Kind(kind);
		fault.status = 503;
		fault.body = kind == Fault::Status ? QByteArray("{\"ok\":false}") : QByteArray();
		fault.delayMs = 300;
		sim->addFault(fault);

		const Result result = get(manifestQuery());
		QVERIFY(result.finished);
		QCOMPARE(result.error != QNetworkReply::NoError, networkError);
		QCOMPARE(result.status, status);
		if (body == "real")
			QCOMPARE(result.body, real);
		else if (body == "half")
			QCOMPARE(result.body, real.left(real.size() / 2));
		else if (body == "flipped") {
			QCOMPARE(result.body.size(), real.size());
			for (qsizetype i = 0; i < real.size(); ++i)
				QCOMPARE(uchar(result.body.at(i)), uchar(~uchar(real.at(i))));
		} else if (body != "any")
			QCOMPARE(result.body, body);
		if (kind == Fault::Delay)
			QVERIFY2(result.elapsedMs >= 280, QByteArray::number(result.elapsedMs));

		// One request used the fault up; the next one is intact.
		QVERIFY(sim->faults().isEmpty());
		const Result after = get(manifestQuery());
		QCOMPARE(after.error, QNetworkReply::NoError);
		QCOMPARE(after.body, real);
	}

	void slowFaultsDoNotBlockOthers_data()
	{
		QTest::addColumn<int>("kind");
		QTest::newRow("delay") << int(Fault::Delay);
		QTest::newRow("hang") << int(Fault::Hang);
	}

	void slowFaultsDoNotBlockOthers()
	{
		QFETCH(int, kind);
		QTemporaryDir dir;
		QVERIFY(!publishSample(dir).isEmpty());
		Fault fault;
		fault.path = kManifest;
		fault.kind = Fault::Kind(kind);
		fault.delayMs = 1000;
		sim->addFault(fault);

		QNetworkReply *slow = send("GET", manifestQuery());
		QTRY_COMPARE(sim->requestsTo(kManifest).size(), 1);
		const Result other = get("/runtime/files/1.0.0/index.html");
		QCOMPARE(other.status, 200);
		QVERIFY(!slow->isFinished());

		if (kind == Fault::Delay) {
			const Result delayed = await(slow);
			QCOMPARE(delayed.status, 200);
			QVERIFY2(delayed.elapsedMs >= 980, QByteArray::number(delayed.elapsedMs));
		} else {
			// Nothing arrives for it while other requests come and go.
			QVERIFY(!QTest::qWaitFor([slow] { return slow->isFinished(); }, 300));
			slow->abort();
			QCOMPARE(slow->error(), QNetworkReply::OperationCanceledError);
			slow->deleteLater();
		}
	}

	void faultSkipCountAndPrefix()
	{
		QTemporaryDir dir;
		writeFile(dir.filePath("a.js"), "a");
		writeFile(dir.filePath("b.js"), "b");
		writeFile(dir.filePath("c.js"), "c");
		writeFile(dir.filePath("index.html"), "i");
		QVERIFY(sim->publishRuntime("2.0.0", dir.path()));

		Fault fault;
		fault.path = "/runtime/files/";
		fault.kind = Fault::Status;
		fault.status = 404;
		fault.skip = 1;
		fault.count = 2;
		sim->addFault(fault);

		QList<int> statuses;
		for (const char *name : {"a.js", "b.js", "c.js", "index.html"})
			statuses.append(get(QStringLiteral("/runtime/files/2.0.0/") + QLatin1String(name)).status);
		QCOMPARE(statuses, (QList<int>{200, 404, 404, 200}));
		QVERIFY(sim->faults().isEmpty());

		// An exact path does not act as a prefix, and a negative count lasts until cleared.
		fault.path = "/runtime/files/2.0.0/a.js";
		fault.skip = 0;
		fault.count = -1;
		sim->addFault(fault);
		QCOMPARE(get("/runtime/files/2.0.0/a.js").status, 404);
		QCOMPARE(get("/runtime/files/2.0.0/a.js").status, 404);
		QCOMPARE(get("/runtime/files/2.0.0/a.jsx").status, 404); // not published either
		QCOMPARE(get("/runtime/files/2.0.0/b.js").status, 200);
		sim->clearFaults();
		QCOMPARE(get("/runtime/files/2.0.0/a.js").status, 200);
	}

	void requestLog()
	{
		QSignalSpy received(sim, &ServiceSim::requestReceived);
		const Result result =
			get(QString::fromLatin1(kPairStatus) + "?pair_id=p%201&challenge=abc", {{"X-Trace", "t-1"}});
		QCOMPARE(result.status, 404);
		QCOMPARE(control("GET", "/_sim/state").status, 200);

		// Control traffic stays out of the log.
		QCOMPARE(received.count(), 1);
		const QList<kelpsim::RequestRecord> log = sim->requests();
		QCOMPARE(log.size(), 1);
		const kelpsim::RequestRecord &record = log.first();
		QCOMPARE(record.method, QByteArray("GET"));
		QCOMPARE(record.path, kPairStatus);
		QCOMPARE(record.query, QByteArray("pair_id=p%201&challenge=abc"));
		QCOMPARE(record.queryItem("pair_id"), QStringLiteral("p 1"));
		QCOMPARE(record.queryItem("absent"), QString());
		QCOMPARE(record.header("x-trace"), QByteArray("t-1"));
		QCOMPARE(record.header("X-Absent"), QByteArray());
		QVERIFY(qAbs(record.receivedMs - QDateTime::currentMSecsSinceEpoch()) < 10000);
		QCOMPARE(received.first().first().value<kelpsim::RequestRecord>().path, kPairStatus);

		QCOMPARE(sim->requestsTo(kPairStatus).size(), 1);
		QCOMPARE(sim->requestsTo(kPairStart).size(), 0);
		sim->clearRequests();
		QVERIFY(sim->requests().isEmpty());
	}

	void controlApiDrivesTheService()
	{
		// Pairing
		const QJsonObject started = startPairing(kDevice);
		QCOMPARE(control("GET", "/_sim/state").json().value("pending_codes").toArray(),
			 QJsonArray{started.value("code")});
		Result result = control("POST", "/_sim/pair/approve", {{"code", started.value("code")}});
		QCOMPARE(result.status, 200);
		QCOMPARE(result.json().value("device_id").toString(), kDevice);
		QCOMPARE(result.json().value("device_token").toString(), sim->tokenFor(kDevice));
		QCOMPARE(pairStatus(started.value("pair_id").toString()).json().value("status").toString(),
			 QStringLiteral("approved"));

		// Direct tokens and revocation
		result = control("POST", "/_sim/tokens", {{"device_id", kOtherDevice}});
		QCOMPARE(result.json().value("device_token").toString(), sim->tokenFor(kOtherDevice));
		QCOMPARE(control("POST", "/_sim/tokens/revoke", {{"device_id", kOtherDevice}}).status, 200);
		QVERIFY(sim->tokenFor(kOtherDevice).isEmpty());

		// Events
		QNetworkReply *held = sendPoll(kDevice, 0, 20000);
		QTRY_COMPARE(sim->heldPollCount(kDevice), 1);
		result = control("POST", "/_sim/events", {{"event", QJsonObject{{"type", "donation"}, {"amount", 3}}}});
		QCOMPARE(result.json().value("seq").toInteger(), 1);
		QCOMPARE(result.json().value("devices").toArray(), QJsonArray{kDevice});
		QCOMPARE(await(held).json().value("events").toArray().at(0).toObject().value("amount").toInt(), 3);

		// Widget state: omitted members keep their values, the revision moves on.
		result = control("POST", "/_sim/widget-state",
				 {{"widget_id", "wgt_9"}, {"revision", "r9"}, {"config", QJsonObject{{"title", "A"}}}});
		QCOMPARE(result.status, 200);
		result = control("POST", "/_sim/widget-state", {{"config", QJsonObject{{"title", "B"}}}});
		QCOMPARE(result.json().value("widget_id").toString(), QStringLiteral("wgt_9"));
		QVERIFY(result.json().value("revision").toString() != QStringLiteral("r9"));
		QCOMPARE(get(QString::fromLatin1(kWidgetState) + "?device_id=" + kDevice, bearer(kDevice))
				 .json()
				 .value("config")
				 .toObject(),
			 (QJsonObject{{"title", "B"}}));

		// Assets: raw bytes in, the plug-in endpoint serves them with their type.
		const QByteArray bytes = QByteArray(5000, '\xAB');
		result = await(send("POST", "/_sim/assets/particle", bytes,
				    {{"Content-Type", "image/webp"}, {"X-Updated-At", "2024-06-01T00:00:00Z"}}));
		QCOMPARE(result.status, 200);
		QCOMPARE(result.json().value("size").toInt(), 5000);
		result = get(QString::fromLatin1(kWidgetAsset) + '?' +
				     query({{"device_id", kDevice}, {"widget_id", "wgt_9"}, {"slot", "particle"}}),
			     bearer(kDevice));
		QCOMPARE(result.body, bytes);
		QCOMPARE(result.contentType, QByteArray("image/webp"));
		QCOMPARE(control("GET", "/_sim/state")
				 .json()
				 .value("widget")
				 .toObject()
				 .value("assets")
				 .toObject()
				 .value("particle")
				 .toObject()
				 .value("updated_at")
				 .toString(),
			 QStringLiteral("2024-06-01T00:00:00Z"));
		QCOMPARE(control("GET", "/_sim/assets/particle").body, bytes);
		QCOMPARE(control("DELETE", "/_sim/assets/particle").status, 200);
		QCOMPARE(control("DELETE", "/_sim/assets/particle").status, 404);

		// Runtime
		QTemporaryDir dir;
		writeFile(dir.filePath("index.html"), "hello");
		result = control("POST", "/_sim/runtime/publish",
				 {{"version", "3.1.4"}, {"folder", dir.path()}, {"min_plugin_version", "0.4"}});
		QCOMPARE(result.status, 200);
		QCOMPARE(result.json().value("files").toArray().at(0).toObject().value("sha256").toString().toLatin1(),
			 sha256Hex("hello"));
		QCOMPARE(get(manifestQuery()).json().value("min_plugin_version").toString(), QStringLiteral("0.4"));
		QCOMPARE(await(send("POST", "/_sim/runtime/manifest-override", "[1]")).status, 200);
		QCOMPARE(get(manifestQuery()).body, QByteArray("[1]"));
		QCOMPARE(control("DELETE", "/_sim/runtime/manifest-override").status, 200);
		QCOMPARE(get(manifestQuery()).json().value("runtime_version").toString(), QStringLiteral("3.1.4"));

		// Faults
		result = control(
			"POST", "/_sim/faults",
			{{"path", QString::fromLatin1(kManifest)}, {"kind", "status"}, {"status", 502}, {"count", 2}});
		QCOMPARE(result.status, 200);
		QCOMPARE(control("GET", "/_sim/faults").json().value("faults").toArray().size(), 1);
		QCOMPARE(get(manifestQuery()).status, 502);
		QCOMPARE(control("DELETE", "/_sim/faults").status, 200);
		QVERIFY(sim->faults().isEmpty());
		QCOMPARE(get(manifestQuery()).status, 200);

		// Request log
		const QJsonArray logged =
			control("GET", "/_sim/requests?path=" + QString::fromLatin1(kManifest) + "&limit=2")
				.json()
				.value("requests")
				.toArray();
		QCOMPARE(logged.size(), 2);
		QCOMPARE(logged.at(1).toObject().value("query").toString(),
			 QStringLiteral("widget=event-goal&channel=stable&plugin_version=0.4.2"));
		QCOMPARE(control("DELETE", "/_sim/requests").status, 200);
		QVERIFY(sim->requests().isEmpty());

		// Settings and the state document
		QCOMPARE(control("POST", "/_sim/settings", {{"max_wait_ms", 1234}}).json().value("max_wait_ms").toInt(),
			 1234);
		const QJsonObject state = control("GET", "/_sim/state").json();
		QCOMPARE(state.value("origin").toString(), sim->origin());
		QCOMPARE(state.value("runtime").toObject().value("version").toString(), QStringLiteral("3.1.4"));
		const QJsonArray devices = state.value("devices").toArray();
		QCOMPARE(devices.size(), 2);
		for (const QJsonValue &value : devices) {
			const QJsonObject device = value.toObject();
			QCOMPARE(device.value("paired").toBool(), device.value("device_id").toString() == kDevice);
			if (device.value("device_id").toString() == kDevice) {
				QCOMPARE(device.value("seq").toInteger(), 1);
				QCOMPARE(device.value("device_name").toString(), QStringLiteral("Studio PC"));
			}
		}
	}

	void controlApiRefusals_data()
	{
		QTest::addColumn<QByteArray>("method");
		QTest::addColumn<QString>("path");
		QTest::addColumn<QByteArray>("body");
		QTest::addColumn<int>("status");

		QTest::newRow("unknown operation") << QByteArray("GET") << "/_sim/nothing" << QByteArray() << 404;
		QTest::newRow("wrong method") << QByteArray("GET") << "/_sim/events" << QByteArray() << 405;
		QTest::newRow("body not json") << QByteArray("POST") << "/_sim/events" << QByteArray("{oops") << 400;
		QTest::newRow("event not an object")
			<< QByteArray("POST") << "/_sim/events" << QByteArray("{\"event\":3}") << 400;
		QTest::newRow("no paired device")
			<< QByteArray("POST") << "/_sim/events" << QByteArray("{\"event\":{}}") << 409;
		QTest::newRow("unknown code")
			<< QByteArray("POST") << "/_sim/pair/approve" << QByteArray("{\"code\":\"ZZZZZZ\"}") << 404;
		QTest::newRow("token without device")
			<< QByteArray("POST") << "/_sim/tokens" << QByteArray("{}") << 400;
		QTest::newRow("unknown fault kind") << QByteArray("POST") << "/_sim/faults"
						    << QByteArray("{\"path\":\"/x\",\"kind\":\"melt\"}") << 400;
		QTest::newRow("fault path not absolute") << QByteArray("POST") << "/_sim/faults"
							 << QByteArray("{\"path\":\"x\",\"kind\":\"drop\"}") << 400;
		QTest::newRow("publish missing folder")
			<< QByteArray("POST") << "/_sim/runtime/publish"
			<< QByteArray("{\"version\":\"1\",\"folder\":\"/nonexistent\"}") << 400;
		QTest::newRow("empty asset") << QByteArray("POST") << "/_sim/assets/mask" << QByteArray() << 400;
		QTest::newRow("bad slot name") << QByteArray("POST") << "/_sim/assets/a%2Fb" << QByteArray("x") << 400;
		QTest::newRow("plug-in endpoint by POST")
			<< QByteArray("POST") << QString::fromLatin1(kManifest) << QByteArray("{}") << 405;
	}

	void controlApiRefusals()
	{
		QFETCH(QByteArray, method);
		QFETCH(QString, path);
		QFETCH(QByteArray, body);
		QFETCH(int, status);

		const Result result = await(send(method, path, body));
		QCOMPARE(result.status, status);
		QCOMPARE(result.json().value("ok").toBool(true), false);
		QVERIFY(!result.json().value("error").toString().isEmpty());
	}

	void rawWire_data()
	{
		QTest::addColumn<QByteArray>("request");
		QTest::addColumn<int>("status");

		QTest::newRow("garbage") << QByteArray("HELLO\r\n\r\n") << 400;
		QTest::newRow("unknown version") << QByteArray("GET / HTTP/2.0\r\n\r\n") << 400;
		QTest::newRow("target not a path") << QByteArray("GET http://x/ HTTP/1.1\r\n\r\n") << 400;
		QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nBroken\r\n\r\n") << 400;
		QTest::newRow("bad content length")
			<< QByteArray("POST /_sim/events HTTP/1.1\r\nContent-Length: -4\r\n\r\n") << 400;
		QTest::newRow("chunked body")
			<< QByteArray("POST /_sim/events HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
			<< 501;
		QTest::newRow("head too large")
			<< QByteArray("GET / HTTP/1.1\r\nX-Big: " + QByteArray(40 * 1024, 'a') + "\r\n\r\n") << 431;
		QTest::newRow("bare LF lines, lowercase names")
			<< QByteArray("GET /api/v40/runtime/manifest?widget=event-goal HTTP/1.1\nhost: x\n\n") << 404;
		QTest::newRow("body split by Content-Length")
			<< QByteArray("POST /_sim/settings HTTP/1.1\r\ncontent-length: 18\r\n\r\n{\"max_wait_ms\":77}")
			<< 200;
	}

	void rawWire()
	{
		QFETCH(QByteArray, request);
		QFETCH(int, status);
		const HttpResponse response = rawRequest(request, sim->port());
		QCOMPARE(response.status, status);
		QCOMPARE(response.header("Connection"), QByteArray("close"));
		QCOMPARE(response.header("Content-Length").toInt(), response.body.size());
	}
};

QTEST_GUILESS_MAIN(TestServiceSim)
#include "test-service-sim.moc"
