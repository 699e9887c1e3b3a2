// The client and the updater over HTTPS, as the shipped module talks to the service: the whole
// road against the simulator serving the build's test certificate, then every way the TLS
// handshake can fail, each worded and retried as a network error, and the recovery once the
// server behaves.

#include "dock/kelp-dock.h"
#include "runtime/runtime-updater.h"
#include "support/raw-http.h"
#include "support/sim-environment.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>

using kelpsim::TlsHandshake;
using namespace kelptest;

Q_DECLARE_METATYPE(kelpsim::TlsHandshake)

namespace {
const QString kPki = QStringLiteral(KELP_TEST_PKI_DIR "/");

QString label(QWidget *dock, const char *name)
{
	return dock->findChild<QLabel *>(QLatin1String(name))->text();
}

// The transfer-timeout timers of the requests in flight below `root`: Qt's replies own them and
// arm them as a request starts, before its connection or handshake is done.
QList<QTimer *> transferTimers(QObject *root)
{
	QList<QTimer *> timers;
	for (QNetworkReply *reply : root->findChildren<QNetworkReply *>()) {
		for (QTimer *timer : reply->findChildren<QTimer *>()) {
			if (!reply->isFinished() && timer->isActive() && timer->interval() >= 20000)
				timers.append(timer);
		}
	}
	return timers;
}

// Runs the time-out path of every such request now instead of 20 or 30 s from now.
void expireTransferTimeouts(const QList<QTimer *> &timers)
{
	for (QTimer *timer : timers)
		timer->start(0);
}

} // namespace

class TestTls : public QObject {
	Q_OBJECT

private slots:
	void initTestCase()
	{
		// This process stands in for the stand-in host: it trusts the test authority. The
		// module's engines are linked in directly and start from Qt's default configuration.
		QSslConfiguration config = QSslConfiguration::defaultConfiguration();
		const QList<QSslCertificate> authority = QSslCertificate::fromPath(kPki + QStringLiteral("ca.pem"));
		QCOMPARE(authority.size(), 1);
		config.addCaCertificates(authority);
		QSslConfiguration::setDefaultConfiguration(config);
		standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
	}

	void wholeRoad();
	void handshakeFailures_data();
	void handshakeFailures();
};

void TestTls::wholeRoad()
{
	SimEnvironment env;
	QVERIFY(env.isValid());
	standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
	QVERIFY(env.sim.useTestTls());
	setKelpServiceOrigin(env.sim.origin());
	QVERIFY(env.sim.origin().startsWith(QStringLiteral("https://127.0.0.1:")));
	const QJsonObject config{{"title", "TLS goal"}, {"goal", 500}};
	env.sim.setWidgetState(QStringLiteral("w-tls"), QStringLiteral("tls00001"), config);
	const QByteArray frame = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(2000, 'f');
	env.sim.setAsset(QStringLiteral("frame"), "image/png", frame, QStringLiteral("f1"));
	QVERIFY(env.publishRuntime(QStringLiteral("2.0.0")));

	KelpDock dock;
	QWidget *d = &dock;
	QVERIFY2(label(d, "busLabel").startsWith(QStringLiteral("●")), "port 4251 is taken");
	RawClient stream;
	stream.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
	QVERIFY(stream.waitForContains(": kelp-local-ready"));

	d->findChild<QPushButton *>(QStringLiteral("pairButton"))->click();
	QTRY_COMPARE(env.sim.pendingCodes().size(), 1);
	QVERIFY(env.sim.approveCode(env.sim.pendingCodes().constFirst()));
	QTRY_COMPARE(label(d, "statusLabel"), QStringLiteral("KELP: Connected"));
	QTRY_VERIFY(QRegularExpression(QStringLiteral("^Gateway latency: \\d+ ms$"))
			    .match(label(d, "latencyLabel"))
			    .hasMatch());

	// The widget state and its image reach the bus.
	const QByteArray compact = QJsonDocument(config).toJson(QJsonDocument::Compact);
	QVERIFY2(stream.waitForContains("event: config\ndata: " + compact + "\n\n"), stream.received.constData());
	QTRY_VERIFY(stream.received.contains("\"slot\":\"frame\",\"revision\":\"f1\""));
	QCOMPARE(rawGet("/widget/asset/frame").body, frame);

	// A long poll held over TLS delivers the event to the stream.
	QTRY_COMPARE(env.sim.heldPollCount(), 1);
	env.sim.queueEvent(QString(), QJsonObject{{"type", "donation"}, {"amount", 70}});
	QVERIFY2(stream.waitForContains("event: kelp\ndata: {\"amount\":70,\"seq\":1,\"type\":\"donation\"}\n\n"),
		 stream.received.constData());

	// The first check (1200 ms after start) downloads, verifies and activates the runtime.
	QTRY_COMPARE_WITH_TIMEOUT(label(d, "runtimeLabel"), QStringLiteral("Runtime 2.0.0 · active"), 10000);
	QVERIFY(rawGet("/widget/event-goal/").body.contains("runtime 2.0.0"));
}

void TestTls::handshakeFailures_data()
{
	QTest::addColumn<QString>("chain");
	QTest::addColumn<TlsHandshake>("handshake");
	QTest::addColumn<QString>("errorText"); // Qt's wording, part of every failure line

	QTest::newRow("untrusted authority") << "rogue.pem" << TlsHandshake::Complete
					     << "SSL handshake failed: The issuer certificate of a locally looked up "
						"certificate could not be found";
	QTest::newRow("other host name") << "other-host.pem" << TlsHandshake::Complete
					 << "SSL handshake failed: The host name did not match any of the valid "
					    "hosts for this certificate";
	QTest::newRow("expired") << "expired.pem" << TlsHandshake::Complete
				 << "SSL handshake failed: The certificate has expired";
	QTest::newRow("stalled handshake") << "server.pem" << TlsHandshake::Stall << "Operation canceled";
	QTest::newRow("closed mid-handshake") << "server.pem" << TlsHandshake::CloseMidway << "Connection closed";
}

void TestTls::handshakeFailures()
{
	QFETCH(QString, chain);
	QFETCH(TlsHandshake, handshake);
	QFETCH(QString, errorText);

	SimEnvironment env;
	QVERIFY(env.isValid());
	QVERIFY(env.sim.setTlsCredentials(kPki + chain, kPki + QStringLiteral("server.key")));
	env.sim.setTlsHandshake(handshake);
	setKelpServiceOrigin(env.sim.origin());
	QVERIFY(env.publishRuntime(QStringLiteral("2.0.0")));
	env.sim.setWidgetState(QStringLiteral("w-1"), QStringLiteral("rev-good"), QJsonObject{{"title", "Goal"}});

	// One client starts paired, another pairs from scratch (its disconnect takes the token out of
	// the store, not out of the first client); both with the updater, all at once.
	env.storePairedDevice(2);
	for (int i = 0; i < 3; ++i)
		env.sim.queueEvent(kDeviceId, QJsonObject{{"type", "donation"}});
	KelpClient client;
	KelpClient pairing;
	pairing.disconnectDevice();
	QStringList pairingLog;
	connect(&pairing, &KelpClient::logLine, this, [&](const QString &line) { pairingLog.append(line); });
	RuntimeUpdater updater;
	const QByteArray storeBefore = env.storeBytes();
	QVERIFY(storeBefore.contains("last_seq=2"));
	QStringList statuses;
	QStringList log;
	connect(&client, &KelpClient::stateChanged, this, [&] {
		if (statuses.isEmpty() || statuses.constLast() != client.statusText())
			statuses.append(client.statusText());
	});
	connect(&client, &KelpClient::logLine, this, [&](const QString &line) { log.append(line); });
	connect(&updater, &RuntimeUpdater::logLine, this, [&](const QString &line) { log.append(line); });
	QSignalSpy events(&client, &KelpClient::eventReceived);

	pairing.startPairing();
	client.start();
	updater.checkForUpdate();
	if (handshake == TlsHandshake::Stall) {
		// Pair start, heartbeat, poll, widget state and manifest all wait on the handshake.
		const auto armed = [&] {
			return transferTimers(&pairing) + transferTimers(&client) + transferTimers(&updater);
		};
		QTRY_COMPARE(armed().size(), 5);
		expireTransferTimeouts(armed());
	}

	QTRY_COMPARE(pairing.statusText(), QStringLiteral("Pairing request failed"));
	QCOMPARE(pairingLog, QStringList{QStringLiteral("Pair start failed: %1 · ").arg(errorText)});
	QTRY_COMPARE(client.widgetStatusText(), QStringLiteral("Widget config: sync failed (HTTP 0)"));
	QTRY_COMPARE(updater.statusText(), QStringLiteral("Runtime: update server unavailable"));
	QVERIFY2(log.contains(QStringLiteral("Runtime update check failed: %1").arg(errorText)),
		 qPrintable(log.join('\n')));
	QTRY_VERIFY2(statuses.contains(QStringLiteral("Network reconnecting…")), qPrintable(statuses.join('|')));
	QTRY_VERIFY2(statuses.contains(QStringLiteral("Realtime reconnect in 900 ms")), qPrintable(statuses.join('|')));

	// The second failed poll in a row warns once and doubles the back-off.
	auto *reconnect = clientTimer(client, "reconnectTimer");
	QVERIFY(reconnect->isActive());
	QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
	if (handshake == TlsHandshake::Stall) {
		QTRY_COMPARE(transferTimers(&client).size(), 1);
		expireTransferTimeouts(transferTimers(&client));
	}
	QTRY_VERIFY2(statuses.contains(QStringLiteral("Realtime reconnect in 1800 ms")),
		     qPrintable(statuses.join('|')));
	QCOMPARE(log.count(QStringLiteral(
			 "Realtime connection is temporarily unstable. KELP is retrying automatically.")),
		 1);

	// Nothing got through: no status claims a connection, nothing is stored or activated.
	for (const QString &status : statuses)
		QVERIFY2(!status.startsWith(QStringLiteral("Connected")), qPrintable(status));
	QCOMPARE(events.count(), 0);
	QCOMPARE(client.latencyMs(), qint64(-1));
	QCOMPARE(env.storeBytes(), storeBefore);
	QVERIFY2(!QDirIterator(env.configDir.path(), QDir::Files, QDirIterator::Subdirectories).hasNext(),
		 "the runtime cache holds a file");
	QCOMPARE(env.sim.requests().size(), 0);

	// The server behaves again: each engine's next attempt succeeds.
	env.sim.setTlsHandshake(TlsHandshake::Complete);
	QVERIFY(env.sim.useTestTls());
	QTRY_VERIFY_WITH_TIMEOUT(events.count() == 1, 5000); // the 1800 ms back-off runs out
	QTRY_COMPARE(client.statusText(), QStringLiteral("Connected"));
	QVERIFY(log.contains(QStringLiteral("Realtime connection restored.")));
	QCOMPARE(client.lastSeq(), qint64(3));
	QVERIFY(env.storeBytes().contains("last_seq=3"));
	client.syncWidgetState();
	QTRY_COMPARE(client.widgetStatusText(), QStringLiteral("Widget config: synced · rev-good"));
	updater.checkForUpdate();
	QTRY_COMPARE(updater.statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	pairing.startPairing();
	QTRY_COMPARE(pairing.statusText(), QStringLiteral("Enter code on Quayside"));
}

QTEST_MAIN(TestTls)
#include "test-tls.moc"
