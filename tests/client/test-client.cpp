#include "support/sim-environment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace kelptest;
using kelpsim::Fault;

namespace {
const QString kUnstable =
	QStringLiteral("Realtime connection is temporarily unstable. KELP is retrying automatically.");
const QString kInvalid = QStringLiteral("Realtime response was invalid. KELP is retrying automatically.");
const QString kRestored = QStringLiteral("Realtime connection restored.");
const QString kAuthExpired = QStringLiteral("KELP device authorization expired. Disconnect and pair again.");
const QString kTooLarge =
	QStringLiteral("The KELP service's realtime answer is too large to read (over 4 MiB). KELP keeps retrying.");
const QString kEnterCode = QStringLiteral("Enter code on Quayside");
const QJsonObject kDonation{{"type", "donation"}};

QStringList texts(const QSignalSpy &spy)
{
	QStringList out;
	for (const QList<QVariant> &args : spy)
		out.append(args.at(0).toString());
	return out;
}
} // namespace

class TestClient : public QObject {
	Q_OBJECT

private slots:
	void init();
	void cleanup();

	void pairingEndToEnd();
	void pairingAnswers_data();
	void pairingAnswers();
	void staleAnswersIgnored_data();
	void staleAnswersIgnored();
	void backoff_data();
	void backoff();
	void sequenceHandling_data();
	void sequenceHandling();
	void longBatch_data();
	void longBatch();
	void instantAnswersPaced_data();
	void instantAnswersPaced();
	void redirectOffOrigin();
	void unauthorizedStopsChannel();
	void acceptedHeartbeatRearmsChannel();
	void widgetSyncFailures_data();
	void widgetSyncFailures();
	void assetDownloadInFlight_data();
	void assetDownloadInFlight();
	void oversizedAssetNotFetchedAgain();

private:
	// The client under test; every status and log line it produces is kept for cleanup().
	KelpClient &newClient();

	std::unique_ptr<SimEnvironment> env;
	std::unique_ptr<KelpClient> current;
	QStringList shown;
	QSet<QString> tokens;
};

void TestClient::init()
{
	env = std::make_unique<SimEnvironment>();
	QVERIFY(env->isValid());
	shown.clear();
	tokens.clear();
	connect(&env->sim, &kelpsim::ServiceSim::requestReceived, this, [this](const kelpsim::RequestRecord &record) {
		if (record.header("Authorization").startsWith("Bearer "))
			tokens.insert(QString::fromUtf8(record.header("Authorization").mid(7)));
	});
}

void TestClient::cleanup()
{
	// Whatever a case walked through, no status or log line showed a token the service saw.
	current.reset();
	for (const QString &token : std::as_const(tokens))
		for (const QString &text : std::as_const(shown))
			QVERIFY2(!text.contains(token), qPrintable(text));
	env.reset();
}

KelpClient &TestClient::newClient()
{
	current = std::make_unique<KelpClient>();
	KelpClient *c = current.get();
	connect(c, &KelpClient::stateChanged, this,
		[this, c] { shown << c->statusText() << c->widgetStatusText() << c->pairCode(); });
	connect(c, &KelpClient::logLine, this, [this](const QString &line) { shown << line; });
	return *c;
}

void TestClient::pairingEndToEnd()
{
	KelpClient &client = newClient();
	client.start();
	// Unpaired, none of these may reach the service: the pairing request is the first it sees.
	client.syncWidgetState();
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	// The token is on disk by the time the first authorised request arrives.
	QByteArray storeAtHeartbeat;
	connect(&env->sim, &kelpsim::ServiceSim::requestReceived, this, [&](const kelpsim::RequestRecord &record) {
		if (record.path == kHeartbeat && storeAtHeartbeat.isEmpty())
			storeAtHeartbeat = env->storeBytes() + '\n';
	});

	client.startPairing();
	QTRY_COMPARE(client.statusText(), kEnterCode);
	QCOMPARE(env->sim.requests().size(), 1);
	const kelpsim::RequestRecord start = env->sim.requests().constFirst();
	QCOMPARE(start.queryItem("device_id"), client.deviceId());

	// Polls carry the attempt's challenge, at a pace the service can bear, until approval.
	QTRY_VERIFY_WITH_TIMEOUT(!env->sim.requestsTo(kPairStatus).isEmpty(), 5000);
	const kelpsim::RequestRecord poll = env->sim.requestsTo(kPairStatus).constFirst();
	QCOMPARE(poll.queryItem("challenge"), start.queryItem("challenge"));
	QVERIFY2(poll.receivedMs - start.receivedMs >= 1100, "first poll came early");
	QVERIFY(env->sim.approveCode(client.pairCode()));
	QTRY_VERIFY_WITH_TIMEOUT(client.isPaired(), 5000);
	QVERIFY(!clientTimer(client, "pairPollTimer")->isActive());

	// The paired start: heartbeat, realtime channel and widget state, all under the new token.
	const QByteArray token = env->sim.tokenFor(client.deviceId()).toUtf8();
	for (const QByteArray &path : {kHeartbeat, kEvents, kWidgetState})
		QTRY_COMPARE(env->sim.requestsTo(path).value(0).header("Authorization"), "Bearer " + token);
	QVERIFY2(storeAtHeartbeat.contains(token), storeAtHeartbeat.constData());
	KelpClient restarted;
	QCOMPARE(restarted.deviceId(), client.deviceId());
	QVERIFY(restarted.isPaired());
}

void TestClient::pairingAnswers_data()
{
	QTest::addColumn<QByteArray>("path");
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<QString>("statusText");
	QTest::addColumn<QString>("logged"); // how the only log line starts; empty: none

	QTest::newRow("start HTTP 500") << kPairStart << 500 << QByteArray("{\"ok\":false}") << "Pairing request failed"
					<< "Pair start failed: HTTP 500 · ";
	QTest::newRow("approval without token")
		<< kPairStatus << 200 << QByteArray(R"({"status":"approved"})") << kEnterCode << QString();
	// A token that is no usable string would show "Connected" on a device that is not paired.
	for (const char *token : {"null", "42", R"("")", R"({"t":"x"})", R"("kdt_1\r\nX-Injected: 1")"})
		QTest::addRow("approval with token %s", token)
			<< kPairStatus << 200 << QByteArray(R"({"status":"approved","device_token":)") + token + "}"
			<< kEnterCode << QString();
	QTest::newRow("code too long to be one")
		<< kPairStart << 200 << R"({"ok":true,"pair_id":"p1","code":")" + QByteArray(1 << 20, 'K') + "\"}"
		<< "Pairing request failed"
		<< "Pair start failed: pairing code over 64 characters · {";
	QTest::newRow("approval with a token over 4 KiB")
		<< kPairStatus << 200 << R"({"status":"approved","device_token":")" + QByteArray(4097, 't') + "\"}"
		<< "Pairing failed: device token too long"
		<< "Pairing failed: the KELP service sent a device token over 4 KiB. Pair again.";
	QTest::newRow("code expired") << kPairStatus << 200 << QByteArray(R"({"ok":true,"status":"expired"})")
				      << "Pairing code expired"
				      << "Pairing code expired. Generate a new one.";
}

void TestClient::pairingAnswers()
{
	QFETCH(QByteArray, path);
	QFETCH(int, status);
	QFETCH(QByteArray, body);
	QFETCH(QString, statusText);
	QFETCH(QString, logged);

	env->sim.addFault(fault(path, Fault::Status, status, body));
	KelpClient &client = newClient();
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.startPairing();
	QTRY_COMPARE_WITH_TIMEOUT(finished.count(path), 1, 5000);
	QCOMPARE(client.statusText(), statusText);
	QVERIFY(!client.isPaired());
	QVERIFY(!env->storeBytes().contains("device_token"));
	if (logged.isEmpty()) {
		// Anything short of a clear answer leaves the code up and the polls going, and stores nothing,
		// until a proper approval pairs after all.
		QVERIFY(logs.isEmpty());
		QTRY_COMPARE_WITH_TIMEOUT(finished.count(path), 2, 5000);
		QVERIFY(env->sim.approveCode(client.pairCode()));
		QTRY_VERIFY_WITH_TIMEOUT(client.isPaired(), 5000);
		QCOMPARE(client.statusText(), QStringLiteral("Connected"));
		QCOMPARE(texts(logs), QStringList{"OBS successfully paired with KELP."});
		return;
	}
	QCOMPARE(logs.size(), 1);
	QVERIFY2(texts(logs).constFirst().startsWith(logged), qPrintable(texts(logs).constFirst().left(300)));
	QVERIFY(!clientTimer(client, "pairPollTimer")->isActive());
	QVERIFY(client.pairCode().size() <= 64);
}

void TestClient::staleAnswersIgnored_data()
{
	// The answer to this path is held back until the attempt it belongs to is over.
	QTest::addColumn<QByteArray>("path");
	QTest::newRow("pair start of a superseded attempt") << kPairStart;
	QTest::newRow("approval after disconnect") << kPairStatus;
	QTest::newRow("heartbeat after disconnect") << kHeartbeat;
}

void TestClient::staleAnswersIgnored()
{
	QFETCH(QByteArray, path);

	if (path == kHeartbeat) {
		env->storePairedDevice();
		env->sim.addFault(fault(kWidgetState, Fault::Hang)); // in flight too when the user disconnects
	}
	env->sim.addFault(fault(path, Fault::Delay, 0, QByteArray(), 1, 500));
	KelpClient &client = newClient();
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	if (path == kHeartbeat) {
		client.start();
		QTRY_COMPARE(env->sim.heldPollCount(), 1);
	} else {
		client.startPairing();
	}
	if (path == kPairStatus) {
		QTRY_COMPARE(client.statusText(), kEnterCode);
		QVERIFY(env->sim.approveCode(client.pairCode()));
	}
	QTRY_COMPARE_WITH_TIMEOUT(env->sim.requestsTo(path).size(), 1, 5000);

	if (path == kPairStart) {
		// A second press answers first; the first attempt's code must not replace it.
		client.startPairing();
		QTRY_COMPARE(client.statusText(), kEnterCode);
		const QString code = client.pairCode();
		QTRY_COMPARE(finished.count(kPairStart), 2);
		QCOMPARE(client.pairCode(), code);
		return;
	}

	// Neither "Connected" nor a pairing behind the back of the user who just disconnected.
	client.disconnectDevice();
	QTRY_COMPARE(finished.count(path), 1);
	QVERIFY(!client.isPaired());
	QCOMPARE(client.statusText(), QStringLiteral("Not connected"));
	QCOMPARE(client.latencyMs(), qint64(-1));
	QVERIFY(logs.isEmpty());
	QVERIFY(!env->storeBytes().contains("device_token"));
	// Nothing armed before the disconnect reaches the service; a new pairing is all it hears.
	env->sim.clearRequests();
	QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	client.syncWidgetState();
	client.startPairing();
	QTRY_COMPARE(env->sim.requestsTo(kPairStart).size(), 1);
	QCOMPARE(env->sim.requests().size(), 1);
}

void TestClient::backoff_data()
{
	QTest::addColumn<int>("kind");
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<int>("failures");
	QTest::addColumn<QStringList>("expectedLogs");

	const QByteArray refused = "{\"ok\":false}";
	QTest::newRow("one failure is silent") << int(Fault::Status) << 503 << refused << 1 << QStringList();
	QTest::newRow("three invalid answers")
		<< int(Fault::InvalidBody) << 503 << refused << 3 << QStringList{kInvalid, kRestored};
	QTest::newRow("six failures reach the cap")
		<< int(Fault::Status) << 503 << refused << 6 << QStringList{kUnstable, kRestored};
	// A good answer past the cap, its event never taken: every retry meets it again, which is no
	// passing fault and is said once.
	const QByteArray pad = ",\"pad\":\"" + QByteArray(kMaxAnswerBytes, 'x') + "\"}";
	QTest::newRow("answers over the cap")
		<< int(Fault::Status) << 200 << "{\"ok\":true,\"events\":[{\"type\":\"donation\",\"seq\":1}]" + pad << 3
		<< QStringList{kTooLarge, kRestored};
}

void TestClient::backoff()
{
	QFETCH(int, kind);
	QFETCH(int, status);
	QFETCH(QByteArray, body);
	QFETCH(int, failures);
	QFETCH(QStringList, expectedLogs);
	const QList<int> delays{900, 1800, 3600, 7200, 12000, 12000};

	env->storePairedDevice();
	// The first poll ends empty after the heartbeat's answer, which would otherwise race the first
	// failure for the status line.
	env->sim.setMaxWaitMs(500);
	KelpClient &client = newClient();
	QSignalSpy logs(&client, &KelpClient::logLine);
	QTimer *reconnect = clientTimer(client, "reconnectTimer");
	client.start();
	QTRY_VERIFY(client.latencyMs() >= 0);
	QTRY_COMPARE(env->sim.heldPollCount(), 1);
	env->sim.addFault(fault(kEvents, Fault::Kind(kind), status, body, -1));

	for (int i = 0; i < failures; ++i) {
		QTRY_VERIFY(reconnect->isActive());
		QCOMPARE(reconnect->interval(), delays.at(i));
		QCOMPARE(client.statusText(), QStringLiteral("Realtime reconnect in %1 ms").arg(delays.at(i)));
		// Fire the back-off now instead of waiting it out.
		reconnect->stop();
		if (i == failures - 1) {
			env->sim.clearFaults();
			env->sim.queueEvent(kDeviceId, kDonation);
		}
		QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	}
	QTRY_COMPARE_WITH_TIMEOUT(client.eventsReceived(), qint64(1), 10000);
	QCOMPARE(client.statusText(), QStringLiteral("Connected"));
	QCOMPARE(texts(logs), expectedLogs);
	QVERIFY(!reconnect->isActive());
}

void TestClient::sequenceHandling_data()
{
	QTest::addColumn<qint64>("storedSeq");
	QTest::addColumn<QByteArray>("events");
	QTest::addColumn<QStringList>("deliveredIds");
	QTest::addColumn<qint64>("expectedSeq");
	QTest::addColumn<qint64>("resumedSeq"); // the first poll's after_seq
	// The answer comes twice; the second one, when dropped whole, says the service is behind this seq.
	QTest::addColumn<qint64>("behindSeq");

	QTest::newRow("duplicates and old seq")
		<< qint64(10)
		<< QByteArray(R"([{"id":"a","seq":9},{"id":"b","seq":10},{"id":"c","seq":11},)"
			      R"({"id":"d","seq":11},{"id":"e","seq":12}])")
		<< QStringList{"c", "e"} << qint64(12) << qint64(10) << qint64(12);
	// A service whose counter was reset: its events are dropped, and that is said once per run.
	QTest::newRow("answers wholly at or below the stored seq")
		<< qint64(10) << QByteArray(R"([{"id":"a","seq":3},{"id":"b","seq":10}])") << QStringList()
		<< qint64(10) << qint64(10) << qint64(10);
	QTest::newRow("out of order") << qint64(0) << QByteArray(R"([{"id":"a","seq":5},{"id":"b","seq":3}])")
				      << QStringList{"a"} << qint64(5) << qint64(0) << qint64(5);
	QTest::newRow("no seq, zero, negative, string")
		<< qint64(4)
		<< QByteArray(R"([{"id":"a"},{"id":"b","seq":0},{"id":"c","seq":-3},{"id":"d","seq":"9"}])")
		<< QStringList{"a", "b", "c", "d"} << qint64(4) << qint64(4) << qint64(0);
	QTest::newRow("fractional seq is truncated")
		<< qint64(0) << QByteArray(R"([{"id":"a","seq":12.7},{"id":"b","seq":12.2}])") << QStringList{"a"}
		<< qint64(12) << qint64(0) << qint64(12);
	// A seq no JSON number holds exactly must not become a resume position that silences the channel.
	QTest::newRow("seq beyond 2^53 is not counted")
		<< qint64(0) << QByteArray(R"([{"id":"a","seq":1e30},{"id":"b","seq":-1e30},{"id":"c","seq":5}])")
		<< QStringList{"a", "b", "c"} << qint64(5) << qint64(0) << qint64(0);
	// Stored, 2^53 would be the last seq ever counted: its successor reads as 2^53 again.
	QTest::newRow("2^53 - 1 is the last ordinary seq")
		<< qint64(0)
		<< QByteArray(R"([{"id":"a","seq":9007199254740992},{"id":"b","seq":9007199254740991},)"
			      R"({"id":"c","seq":9007199254740991}])")
		<< QStringList{"a", "b"} << qint64(9007199254740991) << qint64(0) << qint64(0);
	QTest::newRow("stored seq beyond 2^53 is forgotten")
		<< std::numeric_limits<qint64>::max() << QByteArray(R"([{"id":"a","seq":3}])") << QStringList{"a"}
		<< qint64(3) << qint64(0) << qint64(3);
}

void TestClient::sequenceHandling()
{
	QFETCH(qint64, storedSeq);
	QFETCH(QByteArray, events);
	QFETCH(QStringList, deliveredIds);
	QFETCH(qint64, expectedSeq);
	QFETCH(qint64, resumedSeq);
	QFETCH(qint64, behindSeq);

	env->storePairedDevice(storedSeq);
	// Blanks and a nested member: events go on whole and on one line, as the bus's stream needs.
	QByteArray body = "{ \"ok\" : true , \"events\" : " + events + " }";
	body.replace("\"id\":", "\"extra\" : { \"n\" : [1, 2.5] } , \"id\":");
	env->sim.addFault(fault(kEvents, Fault::Status, 200, body, 2));
	KelpClient &client = newClient();
	QSignalSpy logs(&client, &KelpClient::logLine);
	// Each event with the store as it was on disk when the event was handed on.
	QList<QPair<QByteArray, QByteArray>> received;
	QObject probe;
	connect(&client, &KelpClient::eventReceived, &probe, [&](const QByteArray &json) {
		received.append({json, env->storeBytes()});
	});
	client.start();
	QTRY_COMPARE(env->sim.requestsTo(kEvents).size(), 3);
	const QString behind = QStringLiteral("The KELP service's event sequence (%1) is behind the one stored here "
					      "(%1): its events are dropped as already received.")
				       .arg(behindSeq);
	QCOMPARE(texts(logs), behindSeq > 0 ? QStringList{behind} : QStringList());
	if (received.isEmpty())
		return;

	QStringList ids;
	for (const auto &[json, disk] : std::as_const(received)) {
		QVERIFY2(!json.contains(' ') && !json.contains('\n'), json.constData());
		const QJsonObject event = QJsonDocument::fromJson(json).object();
		QCOMPARE(event.value("extra").toObject().value("n").toArray(), (QJsonArray{1, 2.5}));
		ids.append(event.value("id").toString());
	}
	// The same answer twice: the second one's events are duplicates unless they carry no seq.
	QCOMPARE(ids.mid(0, deliveredIds.size()), deliveredIds);
	QCOMPARE(client.eventsReceived(), qint64(ids.size()));
	QCOMPARE(client.lastSeq(), expectedSeq);
	// Stored before it is handed on: a crash right after must not hand it on again.
	const QByteArray disk = received.constLast().second;
	QVERIFY2(disk.contains("last_seq=" + QByteArray::number(expectedSeq) + '\n'), disk.constData());
	const QList<kelpsim::RequestRecord> polls = env->sim.requestsTo(kEvents);
	QCOMPARE(polls.at(0).queryItem("after_seq"), QString::number(resumedSeq));
	QCOMPARE(polls.at(1).queryItem("after_seq"), QString::number(expectedSeq));
}

void TestClient::longBatch_data()
{
	QTest::addColumn<int>("disconnectAt"); // the event whose hand-over disconnects; 0: none
	QTest::newRow("4,000 events") << 0;
	QTest::newRow("disconnect midway") << 1500;
}

void TestClient::longBatch()
{
	QFETCH(int, disconnectAt);
	// Each event is synced to disk before it goes (about a millisecond each): enough of them for
	// several slices whatever the machine's speed, few enough for a quick suite.
	constexpr int kCount = 4000;

	QByteArray body = "{\"ok\":true,\"events\":[";
	for (int seq = 1; seq <= kCount; ++seq)
		body += (seq > 1 ? "," : "") + QByteArray(R"({"type":"follow","seq":)") + QByteArray::number(seq) + '}';
	body += "]}";
	env->storePairedDevice();
	env->sim.addFault(fault(kEvents, Fault::Status, 200, body));
	KelpClient &client = newClient();
	QList<qint64> seqs;
	int loopRanAt = -1; // events handed on when a zero-delay timer armed at the first one fired
	QObject probe;
	connect(&client, &KelpClient::eventReceived, &probe, [&](const QByteArray &json) {
		seqs.append(QJsonDocument::fromJson(json).object().value("seq").toInteger());
		if (seqs.size() == 1) {
			QTimer::singleShot(0, &probe, [&] {
				loopRanAt = int(seqs.size());
				// Whatever asks for a poll meanwhile waits for the batch.
				QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
			});
		}
		if (seqs.size() == disconnectAt)
			client.disconnectDevice();
	});
	client.start();

	if (disconnectAt > 0) {
		QTRY_COMPARE_WITH_TIMEOUT(client.statusText(), QStringLiteral("Not connected"), 30000);
		// A round trip to the service later, nothing more has been handed on.
		client.startPairing();
		QTRY_COMPARE(client.statusText(), kEnterCode);
		QCOMPARE(seqs.size(), disconnectAt);
		QCOMPARE(client.lastSeq(), qint64(disconnectAt));
		QCOMPARE(env->sim.requestsTo(kEvents).size(), 1);
		return;
	}
	QTRY_COMPARE_WITH_TIMEOUT(seqs.size(), kCount, 60000);
	QVERIFY2(loopRanAt > 0 && loopRanAt < kCount, qPrintable(QString::number(loopRanAt)));
	for (int i = 0; i < kCount; ++i)
		QCOMPARE(seqs.at(i), qint64(i + 1));
	QCOMPARE(client.lastSeq(), qint64(kCount));
	QVERIFY(env->storeBytes().contains("last_seq=" + QByteArray::number(kCount) + '\n'));
	// The next poll only once all are handed on, resuming after the last.
	QTRY_COMPARE(env->sim.heldPollCount(), 1);
	const QList<kelpsim::RequestRecord> polls = env->sim.requestsTo(kEvents);
	QCOMPARE(polls.size(), 2);
	QCOMPARE(polls.at(1).queryItem("after_seq"), QString::number(kCount));
	QCOMPARE(client.eventsReceived(), qint64(kCount));
}

void TestClient::instantAnswersPaced_data()
{
	QTest::addColumn<QByteArray>("events");
	QTest::newRow("empty") << QByteArray("[]");
	// Delivered every time, as events without a seq are, but no faster than empty answers.
	QTest::newRow("an event without seq") << QByteArray(R"([{"type":"donation"}])");
}

void TestClient::instantAnswersPaced()
{
	// A service that ignores wait_ms and answers at once.
	QFETCH(QByteArray, events);
	env->storePairedDevice();
	env->sim.addFault(fault(kEvents, Fault::Status, 200, "{\"ok\":true,\"events\":" + events + "}", -1));
	KelpClient &client = newClient();
	client.start();
	QTest::qWait(5000);
	const qsizetype polls = env->sim.requestsTo(kEvents).size();
	QVERIFY2(polls >= 5 && polls <= 25, qPrintable(QString::number(polls)));
	QVERIFY(client.eventsReceived() >= (events.size() > 2 ? polls - 1 : 0));
	QCOMPARE(client.statusText(), QStringLiteral("Connected"));
}

void TestClient::redirectOffOrigin()
{
	// The service sends every authorised request to another host, which would answer them all.
	kelpsim::ServiceSim other;
	QVERIFY(other.listen());
	other.addFault(fault("/api/", Fault::Status, 200, R"({"ok":true,"events":[{"type":"donation"}]})", -1));
	env->storePairedDevice();
	env->sim.addFault(fault("/api/", Fault::Redirect, 302, other.origin().toUtf8(), -1));
	KelpClient &client = newClient();
	FinishedReplies finished(client);
	client.start();
	QTRY_VERIFY(finished.count(kHeartbeat) >= 1 && finished.count(kEvents) >= 1 &&
		    finished.count(kWidgetState) >= 1);
	QTest::qWait(0);
	QCOMPARE(other.requests().size(), 0);
	QVERIFY(!shown.contains(QStringLiteral("Connected")));
	QCOMPARE(client.eventsReceived(), qint64(0));
}

void TestClient::unauthorizedStopsChannel()
{
	env->storePairedDevice();
	KelpClient &client = newClient();
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.start();
	QTRY_COMPARE(env->sim.heldPollCount(), 1);
	QTRY_COMPARE(finished.count(kHeartbeat), 1);

	env->sim.revokeToken(kDeviceId); // answers the held poll with 401
	QTRY_COMPARE(finished.count(kEvents), 1);
	QCOMPARE(client.statusText(), QStringLiteral("Authorization expired"));
	QCOMPARE(texts(logs), QStringList{kAuthExpired});
	QVERIFY(!clientTimer(client, "reconnectTimer")->isActive());
	// The heartbeat says the same; a full round later, still no poll has followed.
	QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
	client.syncWidgetState();
	QTRY_COMPARE(client.widgetStatusText(), QStringLiteral("Widget config: authorization expired"));
	QTRY_COMPARE(finished.count(kHeartbeat), 2);
	QCOMPARE(texts(logs), (QStringList{kAuthExpired, kAuthExpired}));
	QCOMPARE(env->sim.requestsTo(kEvents).size(), 1);
}

void TestClient::acceptedHeartbeatRearmsChannel()
{
	// Stray 401s on polls while the token is still good: the channel stops, as above, but once the
	// service accepts the token again it must not stay silent behind "realtime reconnecting", nor
	// repeat the line on every heartbeat while the polls keep being refused.
	env->storePairedDevice();
	env->sim.addFault(fault(kEvents, Fault::Status, 401, "{\"ok\":false}", 3));
	KelpClient &client = newClient();
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.start();
	// Heartbeats one after another, each answered before the next (so none rewrites the status after
	// the event below), until a poll is held.
	for (int beat = 1; beat <= 10 && env->sim.heldPollCount() == 0; ++beat) {
		QTRY_COMPARE(finished.count(kHeartbeat), beat);
		QVERIFY(QMetaObject::invokeMethod(&client, "heartbeat"));
		QTRY_COMPARE(finished.count(kHeartbeat), beat + 1);
	}
	QTRY_COMPARE(env->sim.heldPollCount(), 1);
	QCOMPARE(env->sim.requestsTo(kEvents).size(), 4);
	QCOMPARE(texts(logs), QStringList{kAuthExpired});
	env->sim.queueEvent(kDeviceId, kDonation);
	QTRY_COMPARE(client.eventsReceived(), qint64(1));
	QCOMPARE(client.statusText(), QStringLiteral("Connected"));
}

void TestClient::widgetSyncFailures_data()
{
	QTest::addColumn<QByteArray>("path");
	QTest::addColumn<int>("kind");
	QTest::addColumn<int>("status");
	QTest::addColumn<QString>("widgetStatus");
	QTest::addColumn<QStringList>("logged");

	const QString synced = QStringLiteral("Widget config: synced · r1");
	const QString cut = QStringLiteral("Widget config: sync failed (HTTP 200)");
	QTest::newRow("state HTTP 500") << kWidgetState << int(Fault::Status) << 500
					<< "Widget config: sync failed (HTTP 500)" << QStringList();
	QTest::newRow("state unanswered")
		<< kWidgetState << int(Fault::Drop) << 0 << "Widget config: sync failed (HTTP 0)" << QStringList();
	QTest::newRow("state cut off mid-body")
		<< kWidgetState << int(Fault::DropMidBody) << 200 << cut << QStringList();
	QTest::newRow("state truncated JSON") << kWidgetState << int(Fault::ShortBody) << 200 << cut << QStringList();
	QTest::newRow("asset HTTP 500") << kWidgetAsset << int(Fault::Status) << 500 << synced
					<< QStringList{"Event Goal mask sync failed: HTTP 500."};
	QTest::newRow("asset empty") << kWidgetAsset << int(Fault::Status) << 200 << synced
				     << QStringList{"Event Goal mask sync failed: HTTP 200."};
	// The head said 200: the failure is the transfer's, and the line says so.
	QTest::newRow("asset cut off mid-body") << kWidgetAsset << int(Fault::DropMidBody) << 200 << synced
						<< QStringList{"Event Goal mask sync failed: the download broke off ("};
}

void TestClient::widgetSyncFailures()
{
	QFETCH(QByteArray, path);
	QFETCH(int, kind);
	QFETCH(int, status);
	QFETCH(QString, widgetStatus);
	QFETCH(QStringList, logged);

	const QByteArray png = "\x89PNG\r\n\x1a\n" + QByteArray(48 * 1024, 'p');
	env->sim.setWidgetState("w-1", "r1", QJsonObject());
	env->sim.setAsset("mask", "image/png", png, "m1");
	env->sim.addFault(fault(path, Fault::Kind(kind), status));
	env->storePairedDevice();
	KelpClient &client = newClient();
	QSignalSpy configs(&client, &KelpClient::widgetConfigReceived);
	QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.start();
	clientTimer(client, "widgetSyncTimer")->stop();
	QTRY_COMPARE(finished.count(path), 1);
	QCOMPARE(client.widgetStatusText(), widgetStatus);
	// Qt's words for a broken transfer vary: only what precedes them is compared.
	QCOMPARE(logs.size(), logged.size());
	for (int i = 0; i < logged.size(); ++i)
		QVERIFY2(texts(logs).at(i).startsWith(logged.at(i)), qPrintable(texts(logs).at(i)));
	QCOMPARE(configs.size(), path == kWidgetState ? 0 : 1);
	QVERIFY(assets.isEmpty());

	// Nothing was recorded, so the next sync fetches it all, whole, under the same revision.
	client.syncWidgetState();
	QTRY_COMPARE(assets.size(), 1);
	QCOMPARE(assets.at(0).at(1).toByteArray(), QByteArray("image/png"));
	QCOMPARE(assets.at(0).at(2).toByteArray(), png);
	QCOMPARE(client.widgetStatusText(), QStringLiteral("Widget config: synced · r1"));
	// Once it arrived, an unchanged revision is not fetched again.
	const int fetched = finished.count(kWidgetAsset);
	client.syncWidgetState();
	QTRY_COMPARE(finished.count(kWidgetState), 3);
	QCOMPARE(env->sim.requestsTo(kWidgetAsset).size(), fetched);
}

void TestClient::assetDownloadInFlight_data()
{
	// What the service says about the mask while its first download still trickles in.
	QTest::addColumn<QString>("change");
	QTest::addColumn<int>("requests");
	QTest::addColumn<QStringList>("delivered"); // revisions, in order

	QTest::newRow("same revision across three syncs") << "none" << 1 << QStringList{"m1"};
	QTest::newRow("newer revision wins") << "newer" << 2 << QStringList{"m2"};
	QTest::newRow("slot removed") << "removed" << 1 << QStringList();
}

void TestClient::assetDownloadInFlight()
{
	QFETCH(QString, change);
	QFETCH(int, requests);
	QFETCH(QStringList, delivered);

	const QByteArray first = "\x89PNG\r\n\x1a\n" + QByteArray(64 * 1024, '1');
	const QByteArray second = "\x89PNG\r\n\x1a\n" + QByteArray(32 * 1024, '2');
	env->sim.setWidgetState("w-1", "r1", QJsonObject());
	env->sim.setAsset("mask", "image/png", first, "m1");
	env->sim.addFault(fault(kWidgetAsset, Fault::Trickle, 200, QByteArray(), 1, 3000));
	env->storePairedDevice();
	KelpClient &client = newClient();
	QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	client.start();
	clientTimer(client, "widgetSyncTimer")->stop();
	QTRY_COMPARE(env->sim.requestsTo(kWidgetAsset).size(), 1);
	if (change == QLatin1String("newer"))
		env->sim.setAsset("mask", "image/png", second, "m2");
	else if (change == QLatin1String("removed"))
		env->sim.removeAsset("mask");
	for (int sync = 2; sync <= 3; ++sync) {
		client.syncWidgetState();
		QTRY_COMPARE(finished.count(kWidgetState), sync);
	}

	QTRY_COMPARE_WITH_TIMEOUT(finished.count(kWidgetAsset), requests, 10000);
	QCOMPARE(env->sim.requestsTo(kWidgetAsset).size(), requests);
	QStringList revisions;
	for (const QList<QVariant> &args : std::as_const(assets)) {
		revisions.append(args.at(3).toString());
		QCOMPARE(args.at(2).toByteArray(), args.at(3).toString() == QLatin1String("m1") ? first : second);
	}
	QCOMPARE(revisions, delivered);
	// A download given up for a newer state is no failure to report.
	QCOMPARE(logs.size(), delivered.size());
}

void TestClient::oversizedAssetNotFetchedAgain()
{
	// The sync timer at 100 ms instead of 5000: fifteen syncs stand for over a minute of them.
	env->sim.setWidgetState("w-1", "r1", QJsonObject());
	env->sim.setAsset("mask", "image/png", QByteArray(kMaxDownloadBytes + 1, 'p'), "m1");
	env->storePairedDevice();
	KelpClient &client = newClient();
	QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
	QSignalSpy logs(&client, &KelpClient::logLine);
	FinishedReplies finished(client);
	clientTimer(client, "widgetSyncTimer")->setInterval(100);
	client.start();
	QTRY_COMPARE_WITH_TIMEOUT(finished.count(kWidgetState), 15, 15000);
	QCOMPARE(env->sim.requestsTo(kWidgetAsset).size(), 1);
	QCOMPARE(texts(logs), QStringList{"Event Goal mask image is too large to use (over 64 MiB). It is not "
					  "downloaded again until it changes on Quayside."});
	QVERIFY(assets.isEmpty());

	// A new revision is tried at once.
	const QByteArray png = "\x89PNG\r\n\x1a\n" + QByteArray(1024, 'p');
	env->sim.setAsset("mask", "image/png", png, "m2");
	QTRY_COMPARE(assets.size(), 1);
	QCOMPARE(assets.at(0).at(2).toByteArray(), png);
	QCOMPARE(assets.at(0).at(3).toString(), QStringLiteral("m2"));
	QCOMPARE(env->sim.requestsTo(kWidgetAsset).size(), 2);
}

QTEST_GUILESS_MAIN(TestClient)
#include "test-client.moc"
