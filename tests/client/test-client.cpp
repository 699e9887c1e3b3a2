#include "client-fixture.h"

#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "obs-standin.h"
#include "service-sim.h"

#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

using namespace kelptest;
using kelpsim::Fault;

namespace {
const QString kUnstable =
	QStringLiteral("Realtime connection is temporarily unstable. KELP is retrying automatically.");
const QString kInvalid = QStringLiteral("Realtime response was invalid. KELP is retrying automatically.");
const QString kRestored = QStringLiteral("Realtime connection restored.");
const QString kAuthExpired = QStringLiteral("KELP device authorization expired. Disconnect and pair again.");
const char kHostVersion[] = "31.1.0-test";

QStringList texts(const QSignalSpy &spy)
{
	QStringList out;
	for (const QList<QVariant> &args : spy)
		out.append(args.at(0).toString());
	return out;
}

bool isLowerHex(const QString &text, int length)
{
	return QRegularExpression(QStringLiteral("^[0-9a-f]{%1}$").arg(length)).match(text).hasMatch();
}
} // namespace

class TestClient : public QObject {
	Q_OBJECT

private slots:
	void init();
	void cleanup();

	void identityAndUnpairedStart();
	void pairStartFailures_data();
	void pairStartFailures();
	void pairingPollsUntilApproval();
	void pairStatusAnswers_data();
	void pairStatusAnswers();
	void supersededPairStartIsIgnored();
	void heartbeatLatencyAndFailure();
	void backoff_data();
	void backoff();
	void sequenceHandling_data();
	void sequenceHandling();
	void unauthorizedPollStopsChannel();
	void unauthorizedHeartbeatKeepsPolling();
	void widgetAssets();
	void widgetAssetFailuresAreRetried_data();
	void widgetAssetFailuresAreRetried();
	void widgetStateAnswers_data();
	void widgetStateAnswers();
	void disconnectSemantics();
	void lateRepliesAfterDisconnect_data();
	void lateRepliesAfterDisconnect();
	void tokenNeverShown();
	void restartResumesAfterStoredSeq();

private:
	std::unique_ptr<IsolatedStore> store;
	std::unique_ptr<kelpsim::ServiceSim> sim;
};

void TestClient::init()
{
	standin::reset();
	standin::setVersionString(kHostVersion);
	store = std::make_unique<IsolatedStore>();
	QVERIFY(store->isValid());
	sim = std::make_unique<kelpsim::ServiceSim>();
	QVERIFY(sim->listen());
	setKelpServiceOrigin(sim->origin());
}

void TestClient::cleanup()
{
	sim.reset();
	store.reset();
}

void TestClient::identityAndUnpairedStart()
{
	QString firstId;
	{
		KelpClient client;
		firstId = client.deviceId();
		QVERIFY(isLowerHex(firstId, 32));
		auto settings = openStore();
		QCOMPARE(settings->value(QStringLiteral("device/id")).toString(), firstId);
		QVERIFY(!settings->contains(QStringLiteral("device/name")));
		QCOMPARE(client.deviceName(), QHostInfo::localHostName());
		QCOMPARE(client.statusText(), QStringLiteral("Not connected"));
		QCOMPARE(client.widgetStatusText(), QStringLiteral("Widget config: waiting"));
		QCOMPARE(client.latencyMs(), qint64(-1));

		QSignalSpy changed(&client, &KelpClient::stateChanged);
		client.start();
		QCOMPARE(client.statusText(), QStringLiteral("Pair OBS with Quayside"));
		QCOMPARE(changed.size(), 1);
		QVERIFY(!client.isPaired());

		// Unpaired, none of these may reach the service; the pairing request that follows must be
		// the first thing it sees.
		client.syncWidgetState();
		QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
		QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
		client.startPairing();
		QTRY_COMPARE(sim->requests().size(), 1);
		const kelpsim::RequestRecord start = sim->requests().constFirst();
		QCOMPARE(start.path, kPairStart);
		QCOMPARE(start.method, QByteArray("GET"));
		QCOMPARE(start.query.left(start.query.indexOf('=')), QByteArray("device_id"));
		QCOMPARE(start.queryItem(QStringLiteral("device_id")), firstId);
		QVERIFY(isLowerHex(start.queryItem(QStringLiteral("challenge")), 48));
		QCOMPARE(start.queryItem(QStringLiteral("device_name")), QHostInfo::localHostName());
		QCOMPARE(start.queryItem(QStringLiteral("obs_version")), QString::fromLatin1(kHostVersion));
		QCOMPARE(start.queryItem(QStringLiteral("plugin_version")), QStringLiteral("0.4.2"));
		QCOMPARE(start.header("User-Agent"), QByteArray("KELP-OBS/0.4.2 OBS/31.1.0-test"));
		QCOMPARE(start.header("Accept"), QByteArray("application/json"));
		QVERIFY(start.header("Authorization").isEmpty());

		// A second press draws a new challenge.
		QTRY_COMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
		client.startPairing();
		QTRY_COMPARE(sim->requestsTo(kPairStart).size(), 2);
		QVERIFY(sim->requestsTo(kPairStart).at(1).queryItem(QStringLiteral("challenge")) !=
			start.queryItem(QStringLiteral("challenge")));
	}
	KelpClient again;
	QCOMPARE(again.deviceId(), firstId);
}

void TestClient::pairStartFailures_data()
{
	QTest::addColumn<int>("kind");
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<QString>("errorPattern");

	const QByteArray longBody = "{\"ok\":false,\"error\":\"" + QByteArray(300, 'x') + "\"}";
	QTest::newRow("connection dropped") << int(Fault::Drop) << 0 << QByteArray() << QStringLiteral("^(?!HTTP).+$");
	QTest::newRow("HTTP 500 with a long JSON body")
		<< int(Fault::Status) << 500 << longBody << QStringLiteral("^HTTP 500 · .+$");
	QTest::newRow("ok false") << int(Fault::Status) << 200 << QByteArray("{\"ok\":false,\"error\":\"quota\"}")
				  << QStringLiteral("^HTTP 200 · .*$");
	QTest::newRow("ok missing") << int(Fault::Status) << 200
				    << QByteArray("{\"pair_id\":\"pr_1\",\"code\":\"ABC123\"}")
				    << QStringLiteral("^HTTP 200 · .*$");
	QTest::newRow("not JSON") << int(Fault::InvalidBody) << 200 << QByteArray("<html>busy</html>")
				  << QStringLiteral("^HTTP 200 · .*$");
}

void TestClient::pairStartFailures()
{
	QFETCH(int, kind);
	QFETCH(int, status);
	QFETCH(QByteArray, body);
	QFETCH(QString, errorPattern);

	// Unlimited: the access manager silently retries a GET whose connection closed unanswered.
	sim->addFault(fault(kPairStart, Fault::Kind(kind), status, body, -1));
	KelpClient client;
	client.start();
	QSignalSpy logs(&client, &KelpClient::logLine);
	client.startPairing();
	QCOMPARE(client.statusText(), QStringLiteral("Creating pairing code…"));
	QTRY_COMPARE(client.statusText(), QStringLiteral("Pairing request failed"));

	QCOMPARE(logs.size(), 1);
	const QString line = logs.at(0).at(0).toString();
	const QString prefix = QStringLiteral("Pair start failed: ");
	QVERIFY2(line.startsWith(prefix), qPrintable(line));
	const QString expectedTail = QStringLiteral(" · ") + QString::fromUtf8(body.left(220));
	QVERIFY2(line.endsWith(expectedTail), qPrintable(line));
	const QString errorText = line.mid(prefix.size(), line.size() - prefix.size() - expectedTail.size());
	QVERIFY2(QRegularExpression(errorPattern).match(errorText).hasMatch(), qPrintable(errorText));

	QVERIFY(client.pairCode().isEmpty());
	QVERIFY(!clientTimer(client, "pairPollTimer")->isActive());
	QVERIFY(!client.isPaired());
}

void TestClient::pairingPollsUntilApproval()
{
	KelpClient client;
	client.start();
	QSignalSpy logs(&client, &KelpClient::logLine);
	QSignalSpy changed(&client, &KelpClient::stateChanged);

	// What is on disk when the first heartbeat arrives shows the token was saved before it left.
	bool heartbeatSeen = false;
	QByteArray storeAtHeartbeat;
	connect(sim.get(), &kelpsim::ServiceSim::requestReceived, this, [&](const kelpsim::RequestRecord &record) {
		if (record.path == kHeartbeat && !heartbeatSeen) {
			heartbeatSeen = true;
			storeAtHeartbeat = store->fileBytes();
		}
	});

	client.startPairing();
	QTRY_COMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
	const QString code = client.pairCode();
	QVERIFY(!code.isEmpty());
	QCOMPARE(sim->pendingCodes(), QStringList{code});
	QVERIFY(changed.size() >= 2); // "Creating pairing code…", then the code with its status

	QTRY_VERIFY_WITH_TIMEOUT(sim->requestsTo(kPairStatus).size() >= 2, 6000);
	const QList<kelpsim::RequestRecord> polls = sim->requestsTo(kPairStatus);
	const kelpsim::RequestRecord start = sim->requestsTo(kPairStart).constFirst();
	QVERIFY2(polls.at(0).receivedMs - start.receivedMs >= 1100, "first poll came early");
	QVERIFY2(polls.at(1).receivedMs - polls.at(0).receivedMs >= 1100, "polls closer than 1200 ms");
	for (const kelpsim::RequestRecord &poll : polls) {
		QVERIFY(!poll.queryItem(QStringLiteral("pair_id")).isEmpty());
		QCOMPARE(poll.queryItem(QStringLiteral("challenge")), start.queryItem(QStringLiteral("challenge")));
		QVERIFY(poll.header("Authorization").isEmpty());
	}
	QVERIFY(!client.isPaired());
	QCOMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));

	QVERIFY(sim->approveCode(code));
	QTRY_VERIFY_WITH_TIMEOUT(client.isPaired(), 6000);
	const QString token = sim->tokenFor(client.deviceId());
	QVERIFY(!token.isEmpty());
	QCOMPARE(client.pairCode(), QString());
	QCOMPARE(logs.size(), 1);
	QCOMPARE(logs.at(0).at(0).toString(), QStringLiteral("OBS successfully paired with KELP."));
	QVERIFY(!clientTimer(client, "pairPollTimer")->isActive());
	QVERIFY(clientTimer(client, "heartbeatTimer")->isActive());
	QCOMPARE(clientTimer(client, "heartbeatTimer")->interval(), 15000);
	QVERIFY(clientTimer(client, "widgetSyncTimer")->isActive());
	QCOMPARE(clientTimer(client, "widgetSyncTimer")->interval(), 5000);

	QTRY_VERIFY(heartbeatSeen);
	QVERIFY2(storeAtHeartbeat.contains(token.toUtf8()), storeAtHeartbeat.constData());
	QTRY_COMPARE(sim->requestsTo(kEvents).size(), 1);
	QTRY_COMPARE(sim->requestsTo(kWidgetState).size(), 1);
	const kelpsim::RequestRecord heartbeat = sim->requestsTo(kHeartbeat).constFirst();
	QCOMPARE(heartbeat.header("Authorization"), "Bearer " + token.toUtf8());
	QCOMPARE(heartbeat.queryItem(QStringLiteral("last_seq")), QStringLiteral("0"));
	QCOMPARE(heartbeat.queryItem(QStringLiteral("obs_version")), QString::fromLatin1(kHostVersion));
	const kelpsim::RequestRecord poll = sim->requestsTo(kEvents).constFirst();
	QCOMPARE(poll.queryItem(QStringLiteral("wait_ms")), QStringLiteral("15000"));
	QCOMPARE(poll.header("Accept"), QByteArray("application/json"));
	QTRY_COMPARE(client.statusText(), QStringLiteral("Connected"));

	auto settings = openStore();
	QCOMPARE(settings->value(QStringLiteral("device/name")).toString(), client.deviceName());
	QCOMPARE(settings->value(QStringLiteral("auth/device_token")).toString(), token);
}

void TestClient::pairStatusAnswers_data()
{
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<QString>("outcome");

	QTest::newRow("pending") << 200 << QByteArray("{\"ok\":true,\"status\":\"pending\"}") << "waiting";
	QTest::newRow("empty status") << 200 << QByteArray("{\"status\":\"\"}") << "waiting";
	QTest::newRow("no status") << 200 << QByteArray("{\"ok\":true}") << "waiting";
	QTest::newRow("capitalised approval")
		<< 200 << QByteArray("{\"status\":\"Approved\",\"device_token\":\"t\"}") << "waiting";
	QTest::newRow("approval without token") << 200 << QByteArray("{\"status\":\"approved\"}") << "waiting";
	QTest::newRow("not JSON") << 502 << QByteArray("<html>bad gateway</html>") << "waiting";
	QTest::newRow("approved") << 200 << QByteArray("{\"status\":\"approved\",\"device_token\":\"@token@\"}")
				  << "paired";
	QTest::newRow("expired") << 200 << QByteArray("{\"ok\":true,\"status\":\"expired\"}") << "expired";
}

void TestClient::pairStatusAnswers()
{
	QFETCH(int, status);
	QFETCH(QByteArray, body);
	QFETCH(QString, outcome);

	KelpClient client;
	QSignalSpy logs(&client, &KelpClient::logLine);
	client.startPairing();
	QTRY_COMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
	const QString code = client.pairCode();
	// The service knows the token an approval hands out, so the paired client is authorised.
	const QString token = sim->issueToken(client.deviceId());
	body.replace("@token@", token.toUtf8());
	sim->addFault(fault(kPairStatus, Fault::Status, status, body));
	FinishedReplies finished(client);
	QTRY_COMPARE_WITH_TIMEOUT(finished.count(kPairStatus), 1, 5000);

	if (outcome == QLatin1String("waiting")) {
		QCOMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
		QVERIFY(!client.isPaired());
		QVERIFY(logs.isEmpty());
		// Polling goes on.
		QTRY_COMPARE_WITH_TIMEOUT(sim->requestsTo(kPairStatus).size(), 2, 5000);
	} else if (outcome == QLatin1String("paired")) {
		QVERIFY(client.isPaired());
		QCOMPARE(texts(logs), QStringList{QStringLiteral("OBS successfully paired with KELP.")});
		QCOMPARE(openStore()->value(QStringLiteral("auth/device_token")).toString(), token);
		QTRY_COMPARE(client.statusText(), QStringLiteral("Connected"));
	} else {
		QCOMPARE(client.statusText(), QStringLiteral("Pairing code expired"));
		QCOMPARE(texts(logs), QStringList{QStringLiteral("Pairing code expired. Generate a new one.")});
		QCOMPARE(client.pairCode(), code);
		QVERIFY(!clientTimer(client, "pairPollTimer")->isActive());
	}
}

void TestClient::supersededPairStartIsIgnored()
{
	KelpClient client;
	FinishedReplies finished(client);
	sim->addFault(fault(kPairStart, Fault::Delay, 0, QByteArray(), 1, 400));
	client.startPairing();
	QTRY_COMPARE(sim->requestsTo(kPairStart).size(), 1);
	client.startPairing();
	QTRY_COMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
	const QString code = client.pairCode();
	const QString challenge = sim->requestsTo(kPairStart).at(1).queryItem(QStringLiteral("challenge"));

	// The first attempt answers last; its code must not replace the current one.
	QTRY_COMPARE(finished.count(kPairStart), 2);
	QCOMPARE(client.pairCode(), code);
	QCOMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
	QTRY_VERIFY_WITH_TIMEOUT(!sim->requestsTo(kPairStatus).isEmpty(), 5000);
	QCOMPARE(sim->requestsTo(kPairStatus).constFirst().queryItem(QStringLiteral("challenge")), challenge);
}

void TestClient::heartbeatLatencyAndFailure()
{
	storePairedDevice(*sim);
	KelpClient client;
	client.start();
	QCOMPARE(client.statusText(), QStringLiteral("Connecting…"));
	QTRY_VERIFY(client.latencyMs() >= 0);
	QTRY_COMPARE(sim->heldPollCount(), 1);
	QTRY_COMPARE(client.statusText(), QStringLiteral("Connected"));

	// A good heartbeat re-renders even when the status text stays the same.
	FinishedReplies finished(client);
	QSignalSpy changed(&client, &KelpClient::stateChanged);
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QTRY_COMPARE(finished.count(kHeartbeat), 1);
	QCOMPARE(client.statusText(), QStringLiteral("Connected"));
	QCOMPARE(changed.size(), 1);
	const qint64 latency = client.latencyMs();
	QVERIFY(latency >= 0);

	sim->addFault(fault(kHeartbeat, Fault::Status, 500, "{\"ok\":false}"));
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QTRY_COMPARE(finished.count(kHeartbeat), 2);
	QCOMPARE(client.statusText(), QStringLiteral("Network reconnecting…"));
	QCOMPARE(client.latencyMs(), latency);
	QCOMPARE(sim->requestsTo(kHeartbeat).constLast().queryItem(QStringLiteral("plugin_version")),
		 QStringLiteral("0.4.2"));
}

void TestClient::backoff_data()
{
	QTest::addColumn<int>("kind");
	QTest::addColumn<int>("failures");
	QTest::addColumn<QStringList>("expectedLogs");

	QTest::newRow("one failure is silent") << int(Fault::Status) << 1 << QStringList();
	QTest::newRow("three failures") << int(Fault::Status) << 3 << QStringList{kUnstable, kRestored};
	QTest::newRow("three invalid answers") << int(Fault::InvalidBody) << 3 << QStringList{kInvalid, kRestored};
	QTest::newRow("dropped connections") << int(Fault::Drop) << 2 << QStringList{kUnstable, kRestored};
	QTest::newRow("six failures reach the cap") << int(Fault::Status) << 6 << QStringList{kUnstable, kRestored};
}

void TestClient::backoff()
{
	QFETCH(int, kind);
	QFETCH(int, failures);
	QFETCH(QStringList, expectedLogs);
	const QList<int> delays{900, 1800, 3600, 7200, 12000, 12000};

	storePairedDevice(*sim);
	sim->addFault(fault(kEvents, Fault::Kind(kind), 503, "{\"ok\":false}", -1));
	KelpClient client;
	QSignalSpy logs(&client, &KelpClient::logLine);
	QTimer *reconnect = clientTimer(client, "reconnectTimer");
	client.start();
	QTRY_VERIFY(client.latencyMs() >= 0);

	for (int i = 0; i < failures; ++i) {
		QTRY_VERIFY(reconnect->isActive());
		QVERIFY(reconnect->isSingleShot());
		QCOMPARE(reconnect->interval(), delays.at(i));
		QCOMPARE(client.statusText(), QStringLiteral("Realtime reconnect in %1 ms").arg(delays.at(i)));
		// Fire the back-off now instead of waiting it out.
		reconnect->stop();
		if (i == failures - 1) {
			sim->clearFaults();
			sim->queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")}});
		}
		QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
		QCOMPARE(client.statusText(), QStringLiteral("Opening realtime channel…"));
	}
	QTRY_COMPARE(client.eventsReceived(), qint64(1));
	QCOMPARE(client.statusText(), QStringLiteral("Connected"));
	QCOMPARE(texts(logs), expectedLogs);
	QVERIFY(!reconnect->isActive());
	QCOMPARE(sim->requestsTo(kEvents).size() >= failures + 1, true);
}

void TestClient::sequenceHandling_data()
{
	QTest::addColumn<qint64>("storedSeq");
	QTest::addColumn<QByteArray>("events");
	QTest::addColumn<QStringList>("deliveredIds");
	QTest::addColumn<qint64>("expectedSeq");

	QTest::newRow("duplicates and old seq")
		<< qint64(10)
		<< QByteArray(R"([{"id":"a","seq":9},{"id":"b","seq":10},{"id":"c","seq":11},)"
			      R"({"id":"d","seq":11},{"id":"e","seq":12}])")
		<< QStringList{"c", "e"} << qint64(12);
	QTest::newRow("out of order") << qint64(0) << QByteArray(R"([{"id":"a","seq":5},{"id":"b","seq":3}])")
				      << QStringList{"a"} << qint64(5);
	QTest::newRow("no seq, zero and negative")
		<< qint64(4)
		<< QByteArray(R"([{"id":"a"},{"id":"b","seq":0},{"id":"c","seq":-3},{"id":"d","seq":"9"}])")
		<< QStringList{"a", "b", "c", "d"} << qint64(4);
	QTest::newRow("fractional seq is truncated")
		<< qint64(0) << QByteArray(R"([{"id":"a","seq":12.7},{"id":"b","seq":12.2}])") << QStringList{"a"}
		<< qint64(12);
	QTest::newRow("non-objects are skipped")
		<< qint64(0) << QByteArray(R"([1,"x",null,[{"seq":7}],{"id":"a","seq":1}])") << QStringList{"a"}
		<< qint64(1);
}

void TestClient::sequenceHandling()
{
	QFETCH(qint64, storedSeq);
	QFETCH(QByteArray, events);
	QFETCH(QStringList, deliveredIds);
	QFETCH(qint64, expectedSeq);

	storePairedDevice(*sim, storedSeq);
	// Spaces and a nested member show that events are passed on whole and re-serialised compactly.
	QByteArray body = "{ \"ok\" : true , \"events\" : " + events + " }";
	body.replace("\"id\":", "\"extra\" : { \"n\" : [1, 2.5] } , \"id\":");
	sim->addFault(fault(kEvents, Fault::Status, 200, body));
	KelpClient client;
	QCOMPARE(client.lastSeq(), storedSeq);
	QSignalSpy received(&client, &KelpClient::eventReceived);
	client.start();
	QTRY_COMPARE(sim->requestsTo(kEvents).size(), 2);

	QStringList ids;
	for (const QList<QVariant> &args : received) {
		const QByteArray json = args.at(0).toByteArray();
		QVERIFY2(!json.contains(' ') && !json.contains('\n'), json.constData());
		const QJsonObject event = QJsonDocument::fromJson(json).object();
		QCOMPARE(event.value(QStringLiteral("extra")).toObject().value(QStringLiteral("n")).toArray(),
			 (QJsonArray{1, 2.5}));
		ids.append(event.value(QStringLiteral("id")).toString());
	}
	QCOMPARE(ids, deliveredIds);
	QCOMPARE(client.eventsReceived(), qint64(deliveredIds.size()));
	QCOMPARE(client.lastSeq(), expectedSeq);
	QCOMPARE(openStore()->value(QStringLiteral("events/last_seq")).toLongLong(), expectedSeq);
	const QList<kelpsim::RequestRecord> polls = sim->requestsTo(kEvents);
	QCOMPARE(polls.at(0).queryItem(QStringLiteral("after_seq")), QString::number(storedSeq));
	QCOMPARE(polls.at(1).queryItem(QStringLiteral("after_seq")), QString::number(expectedSeq));
}

void TestClient::unauthorizedPollStopsChannel()
{
	storePairedDevice(*sim);
	KelpClient client;
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.start();
	QTRY_COMPARE(sim->heldPollCount(), 1);
	QTRY_VERIFY(client.latencyMs() >= 0);

	sim->revokeToken(kDeviceId); // answers the held poll with 401
	QTRY_COMPARE(finished.count(kEvents), 1);
	QCOMPARE(client.statusText(), QStringLiteral("Authorization expired"));
	QCOMPARE(texts(logs), QStringList{kAuthExpired});
	QVERIFY(!clientTimer(client, "reconnectTimer")->isActive());

	// The heartbeat goes on and says the same; no poll follows it.
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QTRY_COMPARE(finished.count(kHeartbeat), 2);
	QCOMPARE(texts(logs), (QStringList{kAuthExpired, kAuthExpired}));
	QCOMPARE(sim->requestsTo(kEvents).size(), 1);
	QVERIFY(client.isPaired());
}

void TestClient::unauthorizedHeartbeatKeepsPolling()
{
	storePairedDevice(*sim);
	sim->addFault(fault(kHeartbeat, Fault::Status, 401, "{\"ok\":false}", 2));
	KelpClient client;
	QSignalSpy logs(&client, &KelpClient::logLine);
	QSignalSpy received(&client, &KelpClient::eventReceived);
	FinishedReplies finished(client);
	client.start();
	QTRY_COMPARE(finished.count(kHeartbeat), 1);
	QCOMPARE(client.statusText(), QStringLiteral("Authorization expired"));
	QCOMPARE(client.latencyMs(), qint64(-1));
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QTRY_COMPARE(finished.count(kHeartbeat), 2);
	QCOMPARE(texts(logs), (QStringList{kAuthExpired, kAuthExpired}));

	QTRY_COMPARE(sim->heldPollCount(), 1);
	sim->queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("follow")}});
	QTRY_COMPARE(received.size(), 1);
	QCOMPARE(client.statusText(), QStringLiteral("Connected"));
}

void TestClient::widgetAssets()
{
	const QJsonObject config{{QStringLiteral("title"), QStringLiteral("Goal")},
				 {QStringLiteral("goal_amount"), 500}};
	sim->setWidgetState(QStringLiteral("w-1"), QStringLiteral("rev-abcdef123456"), config);
	sim->setAsset(QStringLiteral("mask"), "image/png; charset=binary", "PNGMASK", QStringLiteral("m1"));
	sim->setAsset(QStringLiteral("frame"), QByteArray(), "FRAMEBYTES", QStringLiteral("f1"));
	sim->setAsset(QStringLiteral("particle"), "image/svg+xml ;x=1", "<svg/>", QStringLiteral("p1"));
	sim->setAsset(QStringLiteral("banner"), "image/png", "IGNORED", QStringLiteral("b1"));
	storePairedDevice(*sim);

	KelpClient client;
	QSignalSpy configs(&client, &KelpClient::widgetConfigReceived);
	QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
	QSignalSpy cleared(&client, &KelpClient::widgetAssetCleared);
	QSignalSpy logs(&client, &KelpClient::logLine);
	// Replies are the access manager's children in creation order, so right after the first sync
	// they tell the order in which the downloads were started.
	QStringList startedSlots;
	auto *network = client.findChild<QNetworkAccessManager *>(QStringLiteral("network"));
	connect(&client, &KelpClient::stateChanged, this, [&] {
		if (!startedSlots.isEmpty() ||
		    !client.widgetStatusText().startsWith(QStringLiteral("Widget config: synced")))
			return;
		for (QNetworkReply *reply : network->findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly)) {
			if (reply->url().path().toUtf8() == kWidgetAsset)
				startedSlots.append(QUrlQuery(reply->url()).queryItemValue(QStringLiteral("slot")));
		}
	});
	client.start();
	clientTimer(client, "widgetSyncTimer")->stop(); // syncs below are driven by hand

	QTRY_COMPARE(assets.size(), 3);
	QCOMPARE(startedSlots, (QStringList{"mask", "frame", "particle"}));
	QCOMPARE(configs.size(), 1);
	QCOMPARE(configs.at(0).at(0).toByteArray(), QJsonDocument(config).toJson(QJsonDocument::Compact));
	QCOMPARE(configs.at(0).at(1).toString(), QStringLiteral("rev-abcdef123456"));
	QCOMPARE(client.widgetStatusText(), QStringLiteral("Widget config: synced · rev-abcd"));

	QHash<QString, QList<QVariant>> bySlot;
	for (const QList<QVariant> &args : assets)
		bySlot.insert(args.at(0).toString(), args);
	QCOMPARE(bySlot.value("mask").at(1).toByteArray(), QByteArray("image/png"));
	QCOMPARE(bySlot.value("mask").at(2).toByteArray(), QByteArray("PNGMASK"));
	QCOMPARE(bySlot.value("mask").at(3).toString(), QStringLiteral("m1"));
	QCOMPARE(bySlot.value("frame").at(1).toByteArray(), QByteArray("application/octet-stream"));
	QCOMPARE(bySlot.value("particle").at(1).toByteArray(), QByteArray("image/svg+xml"));
	QVERIFY(texts(logs).contains(QStringLiteral("Event Goal frame synced (10 bytes).")));

	QStringList requestedSlots;
	for (const kelpsim::RequestRecord &record : sim->requestsTo(kWidgetAsset)) {
		requestedSlots.append(record.queryItem(QStringLiteral("slot")));
		QCOMPARE(record.queryItem(QStringLiteral("widget_id")), QStringLiteral("w-1"));
		QCOMPARE(record.queryItem(QStringLiteral("device_id")), kDeviceId);
		QVERIFY(record.header("Authorization").startsWith("Bearer "));
	}
	requestedSlots.sort();
	QCOMPARE(requestedSlots, (QStringList{"frame", "mask", "particle"}));

	// Same revisions: the config is passed on again, nothing is downloaded.
	client.syncWidgetState();
	QTRY_COMPARE(configs.size(), 2);
	// A changed slot is fetched once more, under its new revision.
	sim->setAsset(QStringLiteral("particle"), "image/png", "NEWPARTICLE", QStringLiteral("p2"));
	client.syncWidgetState();
	QTRY_COMPARE(assets.size(), 4);
	QCOMPARE(assets.at(3).at(0).toString(), QStringLiteral("particle"));
	QCOMPARE(assets.at(3).at(3).toString(), QStringLiteral("p2"));
	QCOMPARE(sim->requestsTo(kWidgetAsset).size(), 4);

	// A delivered slot that vanishes is cleared once.
	sim->removeAsset(QStringLiteral("frame"));
	client.syncWidgetState();
	QTRY_COMPARE(configs.size(), 4);
	QCOMPARE(texts(cleared), QStringList{"frame"});
	client.syncWidgetState();
	QTRY_COMPARE(configs.size(), 5);
	QCOMPARE(cleared.size(), 1);
	QCOMPARE(sim->requestsTo(kWidgetAsset).size(), 4);
	QCOMPARE(assets.size(), 4);
}

void TestClient::widgetAssetFailuresAreRetried_data()
{
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");

	QTest::newRow("server error") << 500 << QByteArray("oops");
	QTest::newRow("empty body") << 200 << QByteArray();
}

void TestClient::widgetAssetFailuresAreRetried()
{
	QFETCH(int, status);
	QFETCH(QByteArray, body);

	sim->setWidgetState(QStringLiteral("w-1"), QStringLiteral("r1"), QJsonObject());
	sim->setAsset(QStringLiteral("mask"), "image/png", "MASK", QStringLiteral("m1"));
	sim->addFault(fault(kWidgetAsset, Fault::Status, status, body));
	storePairedDevice(*sim);
	KelpClient client;
	QSignalSpy configs(&client, &KelpClient::widgetConfigReceived);
	QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
	QSignalSpy cleared(&client, &KelpClient::widgetAssetCleared);
	QSignalSpy logs(&client, &KelpClient::logLine);
	client.start();
	clientTimer(client, "widgetSyncTimer")->stop();

	QTRY_COMPARE(logs.size(), 1);
	QCOMPARE(logs.at(0).at(0).toString(), QStringLiteral("Event Goal mask sync failed: HTTP %1.").arg(status));
	QVERIFY(assets.isEmpty());

	// The revision was not recorded, so the next state asks again.
	client.syncWidgetState();
	QTRY_COMPARE(assets.size(), 1);
	QCOMPARE(logs.at(1).at(0).toString(), QStringLiteral("Event Goal mask synced (4 bytes)."));

	// A slot that never arrived is not announced as cleared; one that did, is.
	sim->addFault(fault(kWidgetAsset, Fault::Status, status, body));
	sim->setAsset(QStringLiteral("frame"), "image/png", "FRAME", QStringLiteral("f1"));
	client.syncWidgetState();
	QTRY_COMPARE(logs.size(), 3);
	QCOMPARE(logs.at(2).at(0).toString(), QStringLiteral("Event Goal frame sync failed: HTTP %1.").arg(status));
	sim->removeAsset(QStringLiteral("frame"));
	sim->removeAsset(QStringLiteral("mask"));
	const qsizetype seen = configs.size();
	client.syncWidgetState();
	QTRY_COMPARE(configs.size(), seen + 1);
	QCOMPARE(texts(cleared), QStringList{"mask"});
}

void TestClient::widgetStateAnswers_data()
{
	QTest::addColumn<int>("kind");
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<QString>("widgetStatus");
	QTest::addColumn<QByteArray>("config"); // empty: no config is passed on
	QTest::addColumn<QString>("revision");

	QTest::newRow("unauthorized") << int(Fault::Status) << 401 << QByteArray("{\"ok\":false}")
				      << QStringLiteral("Widget config: authorization expired") << QByteArray()
				      << QString();
	QTest::newRow("server error") << int(Fault::Status) << 500 << QByteArray("{\"ok\":false,\"error\":\"boom\"}")
				      << QStringLiteral("Widget config: sync failed (HTTP 500)") << QByteArray()
				      << QString();
	QTest::newRow("not JSON") << int(Fault::InvalidBody) << 200 << QByteArray("nope")
				  << QStringLiteral("Widget config: sync failed (HTTP 200)") << QByteArray()
				  << QString();
	QTest::newRow("ok false") << int(Fault::Status) << 200 << QByteArray("{\"ok\":false,\"config\":{}}")
				  << QStringLiteral("Widget config: sync failed (HTTP 200)") << QByteArray()
				  << QString();
	QTest::newRow("no answer") << int(Fault::Drop) << 0 << QByteArray()
				   << QStringLiteral("Widget config: sync failed (HTTP 0)") << QByteArray()
				   << QString();
	QTest::newRow("no config, numeric revision")
		<< int(Fault::Status) << 200 << QByteArray("{\"ok\":true,\"widget_id\":\"w\",\"revision\":12}")
		<< QStringLiteral("Widget config: synced · ") << QByteArray("{}") << QString();
	QTest::newRow("config not an object, short revision")
		<< int(Fault::Status) << 200
		<< QByteArray("{\"ok\":true,\"revision\":\"r7\",\"config\":[1],\"assets\":3}")
		<< QStringLiteral("Widget config: synced · r7") << QByteArray("{}") << QStringLiteral("r7");
}

void TestClient::widgetStateAnswers()
{
	QFETCH(int, kind);
	QFETCH(int, status);
	QFETCH(QByteArray, body);
	QFETCH(QString, widgetStatus);
	QFETCH(QByteArray, config);
	QFETCH(QString, revision);

	storePairedDevice(*sim);
	sim->addFault(fault(kWidgetState, Fault::Kind(kind), status, body, -1));
	KelpClient client;
	QSignalSpy configs(&client, &KelpClient::widgetConfigReceived);
	FinishedReplies finished(client);
	client.start();
	QTRY_COMPARE(finished.count(kWidgetState), 1);
	QCOMPARE(client.widgetStatusText(), widgetStatus);
	if (config.isEmpty()) {
		QVERIFY(configs.isEmpty());
	} else {
		QCOMPARE(configs.size(), 1);
		QCOMPARE(configs.at(0).at(0).toByteArray(), config);
		QCOMPARE(configs.at(0).at(1).toString(), revision);
	}
}

void TestClient::disconnectSemantics()
{
	storePairedDevice(*sim, 3);
	sim->addFault(fault(kWidgetState, Fault::Hang));
	KelpClient client;
	QSignalSpy received(&client, &KelpClient::eventReceived);
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.start();
	QTRY_COMPARE(sim->heldPollCount(), 1);
	QTRY_COMPARE(sim->requestsTo(kWidgetState).size(), 1);
	QTRY_VERIFY(client.latencyMs() >= 0);
	sim->queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")}});
	QTRY_COMPARE(received.size(), 1);
	QCOMPARE(client.lastSeq(), qint64(4));
	QTRY_COMPARE(sim->requestsTo(kEvents).size(), 2); // the next poll is in flight again

	QStringList statuses;
	connect(&client, &KelpClient::stateChanged, this, [&] { statuses.append(client.statusText()); });
	client.disconnectDevice();

	// Both requests in flight were aborted and their handlers ran inside the abort.
	QCOMPARE(finished.count(kWidgetState), 1);
	QCOMPARE(finished.count(kEvents), 2);
	QCOMPARE(client.statusText(), QStringLiteral("Not connected"));
	QCOMPARE(statuses.constLast(), QStringLiteral("Not connected"));
	QCOMPARE(client.widgetStatusText(), QStringLiteral("Widget config: waiting"));
	QCOMPARE(client.latencyMs(), qint64(-1));
	QVERIFY(!client.isPaired());
	QCOMPARE(client.lastSeq(), qint64(4));
	QCOMPARE(client.eventsReceived(), qint64(1));
	QVERIFY(logs.isEmpty());
	for (const char *name : {"pairPollTimer", "heartbeatTimer", "widgetSyncTimer"})
		QVERIFY2(!clientTimer(client, name)->isActive(), name);

	auto settings = openStore();
	QVERIFY(!settings->contains(QStringLiteral("auth/device_token")));
	QCOMPARE(settings->value(QStringLiteral("device/id")).toString(), kDeviceId);
	QCOMPARE(settings->value(QStringLiteral("device/name")).toString(), client.deviceName());
	QCOMPARE(settings->value(QStringLiteral("events/last_seq")).toLongLong(), qint64(4));
	QVERIFY(!store->fileBytes().contains("device_token"));

	// Whatever the aborted poll armed finds no token; the pairing request that follows is the
	// only thing the service hears from now on.
	sim->clearRequests();
	QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	client.syncWidgetState();
	client.startPairing();
	QTRY_COMPARE(sim->requestsTo(kPairStart).size(), 1);
	QCOMPARE(sim->requests().size(), 1);
	QCOMPARE(client.lastSeq(), qint64(4));
}

void TestClient::lateRepliesAfterDisconnect_data()
{
	QTest::addColumn<QByteArray>("path");
	QTest::newRow("heartbeat") << kHeartbeat;
	QTest::newRow("pairing approval") << kPairStatus;
}

void TestClient::lateRepliesAfterDisconnect()
{
	QFETCH(QByteArray, path);
	const bool paired = path == kHeartbeat;

	if (paired)
		storePairedDevice(*sim);
	KelpClient client;
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	sim->addFault(fault(path, Fault::Delay, 0, QByteArray(), 1, 500));
	if (paired) {
		client.start();
	} else {
		client.startPairing();
		QTRY_COMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
		QVERIFY(sim->approveCode(client.pairCode()));
	}
	QTRY_COMPARE_WITH_TIMEOUT(sim->requestsTo(path).size(), 1, 5000);

	// The user disconnects while the answer is on its way: it must neither show "Connected"
	// nor pair the device again behind the user's back.
	client.disconnectDevice();
	QTRY_COMPARE(finished.count(path), 1);
	QVERIFY(!client.isPaired());
	QCOMPARE(client.statusText(), QStringLiteral("Not connected"));
	QCOMPARE(client.latencyMs(), qint64(-1));
	QVERIFY(logs.isEmpty());
	QVERIFY(!openStore()->contains(QStringLiteral("auth/device_token")));
	QVERIFY(!clientTimer(client, "heartbeatTimer")->isActive());
	QCOMPARE(sim->requestsTo(kHeartbeat).size(), paired ? 1 : 0);
}

void TestClient::tokenNeverShown()
{
	KelpClient client;
	QStringList shown;
	auto record = [&] {
		shown << client.statusText() << client.widgetStatusText() << client.pairCode() << client.deviceName();
	};
	connect(&client, &KelpClient::stateChanged, this, record);
	connect(&client, &KelpClient::logLine, this, [&](const QString &line) { shown << line; });
	connect(&client, &KelpClient::widgetConfigReceived, this,
		[&](const QByteArray &json, const QString &revision) { shown << QString::fromUtf8(json) << revision; });
	FinishedReplies finished(client);
	client.start();

	// Pair, then walk every failure path that produces a text.
	client.startPairing();
	QTRY_COMPARE(client.statusText(), QStringLiteral("Enter code on Quayside"));
	QVERIFY(sim->approveCode(client.pairCode()));
	QTRY_VERIFY_WITH_TIMEOUT(client.isPaired(), 5000);
	const QString token = sim->tokenFor(client.deviceId());
	QVERIFY(token.size() > 8);
	QTRY_COMPARE(sim->heldPollCount(), 1);
	QCOMPARE(sim->requestsTo(kEvents).constFirst().header("Authorization"), "Bearer " + token.toUtf8());

	sim->setAsset(QStringLiteral("mask"), "image/png", "M", QStringLiteral("m1"));
	sim->addFault(fault(kWidgetAsset, Fault::Status, 403, "{\"ok\":false}"));
	sim->addFault(fault(kHeartbeat, Fault::Status, 500, "{\"ok\":false}"));
	sim->addFault(fault(kEvents, Fault::Status, 502, "{\"ok\":false}", 2));
	sim->queueEvent(client.deviceId(), QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")}});
	QTRY_COMPARE(client.eventsReceived(), qint64(1));
	client.syncWidgetState();
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QTRY_VERIFY(clientTimer(client, "reconnectTimer")->isActive());
	clientTimer(client, "reconnectTimer")->stop();
	QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	QTRY_COMPARE(finished.count(kWidgetAsset), 1);
	QTRY_COMPARE(finished.count(kHeartbeat), 2);
	QTRY_VERIFY(clientTimer(client, "reconnectTimer")->isActive());
	clientTimer(client, "reconnectTimer")->stop();
	sim->revokeToken(client.deviceId());
	QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QTRY_COMPARE(finished.count(kHeartbeat), 3);
	client.syncWidgetState();
	QTRY_COMPARE(client.widgetStatusText(), QStringLiteral("Widget config: authorization expired"));
	client.disconnectDevice();
	record();

	shown << standin::logTexts();
	QVERIFY(shown.contains(QStringLiteral("Event Goal mask sync failed: HTTP 403.")));
	QVERIFY(shown.contains(kUnstable));
	QVERIFY(shown.contains(kAuthExpired));
	QVERIFY(shown.contains(QStringLiteral("Network reconnecting…")));
	for (const QString &text : std::as_const(shown))
		QVERIFY2(!text.contains(token), qPrintable(text));
}

void TestClient::restartResumesAfterStoredSeq()
{
	QStringList delivered;
	auto collect = [&](KelpClient &client) {
		connect(&client, &KelpClient::eventReceived, this, [&](const QByteArray &json) {
			delivered.append(QJsonDocument::fromJson(json).object().value(QStringLiteral("id")).toString());
		});
	};
	auto event = [](const char *id) {
		return QJsonObject{{QStringLiteral("id"), QLatin1String(id)},
				   {QStringLiteral("type"), QStringLiteral("donation")}};
	};

	QString deviceId;
	{
		KelpClient first;
		collect(first);
		first.start();
		first.startPairing();
		QTRY_COMPARE(first.statusText(), QStringLiteral("Enter code on Quayside"));
		QVERIFY(sim->approveCode(first.pairCode()));
		QTRY_VERIFY_WITH_TIMEOUT(first.isPaired(), 5000);
		deviceId = first.deviceId();
		QTRY_COMPARE(sim->heldPollCount(deviceId), 1);
		sim->queueEvent(deviceId, event("e1"));
		sim->queueEvent(deviceId, event("e2"));
		sim->queueEvent(deviceId, event("e3"));
		QTRY_COMPARE(delivered.size(), 3);
		QCOMPARE(first.lastSeq(), qint64(3));
	}
	// Events that arrive while OBS is closed wait at the service.
	sim->queueEvent(deviceId, event("e4"));
	sim->queueEvent(deviceId, event("e5"));
	sim->clearRequests();

	KelpClient second;
	collect(second);
	QVERIFY(second.isPaired());
	QCOMPARE(second.deviceId(), deviceId);
	QCOMPARE(second.lastSeq(), qint64(3));
	second.start();
	QTRY_COMPARE(delivered.size(), 5);
	QCOMPARE(delivered, (QStringList{"e1", "e2", "e3", "e4", "e5"}));
	QCOMPARE(sim->requestsTo(kEvents).constFirst().queryItem(QStringLiteral("after_seq")), QStringLiteral("3"));
	QTRY_COMPARE(sim->heldPollCount(deviceId), 1);
	QCOMPARE(second.lastSeq(), qint64(5));
	QCOMPARE(second.eventsReceived(), qint64(2));
	QCOMPARE(delivered.size(), 5);
}

QTEST_GUILESS_MAIN(TestClient)
#include "test-client.moc"
