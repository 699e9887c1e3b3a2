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
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
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
	void httpTwoFront();
};

namespace {
// Debian's HTTP/2 reverse proxy in front of the simulator, as a CDN stands in front of the real
// service: it ends TLS and HTTP/2 with the test certificate and passes each request on over
// HTTP/1.1. Its access log names the client port of each request, so one port means one
// connection.
class Front {
public:
	Front(quint16 backendPort, const QString &folder) : backendPort(backendPort), folder(folder)
	{
		QTcpServer probe;
		if (probe.listen(QHostAddress::LocalHost, 0))
			port = probe.serverPort();
	}
	~Front() { stop(); }

	void start()
	{
		process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		process.start(QStringLiteral(KELP_NGHTTPX),
			      {QStringLiteral("--conf=/dev/null"), QStringLiteral("--workers=1"),
			       QStringLiteral("--no-ocsp"), QStringLiteral("--frontend=127.0.0.1,%1").arg(port),
			       QStringLiteral("--backend=127.0.0.1,%1").arg(backendPort),
			       QStringLiteral("--accesslog-file=") + folder + QStringLiteral("/access.log"),
			       QStringLiteral("--accesslog-format=$remote_port $alpn $path $status"),
			       QStringLiteral("--errorlog-file=") + folder + QStringLiteral("/error.log"),
			       kPki + QStringLiteral("server.key"), kPki + QStringLiteral("server.pem")});
	}
	void stop()
	{
		if (process.state() == QProcess::NotRunning)
			return;
		process.terminate();
		// Bounded: the process ends on SIGTERM at once.
		process.waitForFinished(5000);
	}
	bool accepts() const
	{
		QTcpSocket socket;
		socket.connectToHost(QHostAddress::LocalHost, port);
		return socket.waitForConnected(200);
	}
	QStringList accessLog() const
	{
		QFile log(folder + QStringLiteral("/access.log"));
		return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts)
						     : QStringList();
	}
	QString origin() const { return QStringLiteral("https://127.0.0.1:%1").arg(port); }

	quint16 port = 0;
	quint16 backendPort;
	QString folder;
	QProcess process;
};
} // namespace

void TestTls::wholeRoad()
{
	SimEnvironment env;
	QVERIFY(env.isValid());
	standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
	QVERIFY(env.sim.useTestTls());
	setKelpServiceOrigin(env.sim.origin());
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

	// The server behaves again, the stalled connections still open on its side: each engine's next
	// attempt succeeds on a new connection, well within a heartbeat interval.
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

void TestTls::httpTwoFront()
{
	if (QStringLiteral(KELP_NGHTTPX).isEmpty())
		QFAIL("nghttpx not found: install nghttp2-proxy");
	SimEnvironment env;
	QVERIFY(env.isValid());
	env.sim.setWidgetState(QStringLiteral("w-2"), QStringLiteral("rev-front"), QJsonObject{{"title", "Goal"}});
	Front front(env.sim.port(), env.sourceDir.path());
	front.start();
	QTRY_VERIFY(front.accepts());
	setKelpServiceOrigin(front.origin());

	env.storePairedDevice();
	auto client = std::make_unique<KelpClient>();
	QList<bool> http2;
	QStringList statuses;
	const auto watch = [&](KelpClient *watched) {
		auto *network = watched->findChild<QNetworkAccessManager *>(QStringLiteral("network"));
		connect(network, &QNetworkAccessManager::finished, this, [&http2](QNetworkReply *reply) {
			if (reply->error() == QNetworkReply::NoError)
				http2.append(reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool());
		});
		connect(watched, &KelpClient::stateChanged, this,
			[&statuses, watched] { statuses.append(watched->statusText()); });
	};
	watch(client.get());
	QSignalSpy events(client.get(), &KelpClient::eventReceived);
	client->start();
	QTRY_COMPARE(client->statusText(), QStringLiteral("Connected"));
	QTRY_COMPARE(client->widgetStatusText(), QStringLiteral("Widget config: synced · rev-fron"));

	// The long poll is held for its whole wait_ms while heartbeats and widget syncs come and go
	// beside it; then the client polls again at once.
	QTRY_COMPARE(env.sim.heldPollCount(), 1);
	const qint64 heldFrom = env.sim.requestsTo(kEvents).constLast().receivedMs;
	const int waitMs = env.sim.requestsTo(kEvents).constLast().queryItem(QStringLiteral("wait_ms")).toInt();
	QVERIFY(waitMs >= 10000);
	for (int round = 0; round < 3; ++round) {
		const int heartbeats = env.sim.requestsTo(kHeartbeat).size();
		const int syncs = env.sim.requestsTo(kWidgetState).size();
		QVERIFY(QMetaObject::invokeMethod(client.get(), "heartbeat"));
		client->syncWidgetState();
		QTRY_COMPARE(env.sim.requestsTo(kHeartbeat).size(), heartbeats + 1);
		QTRY_COMPARE(env.sim.requestsTo(kWidgetState).size(), syncs + 1);
		QCOMPARE(env.sim.heldPollCount(), 1);
	}
	QTRY_COMPARE_WITH_TIMEOUT(env.sim.requestsTo(kEvents).size(), 2, waitMs + 5000);
	// The simulator's hold is a coarse timer, which may end up to 5 % early.
	QVERIFY(env.sim.requestsTo(kEvents).constLast().receivedMs - heldFrom >= waitMs * 95 / 100);
	QCOMPARE(client->statusText(), QStringLiteral("Connected"));
	QVERIFY(!http2.isEmpty());
	QVERIFY2(!http2.contains(false), "a reply came over HTTP/1.1");
	QSet<QString> ports;
	for (const QString &line : front.accessLog()) {
		QVERIFY2(line.contains(QStringLiteral(" h2 ")), qPrintable(line));
		ports.insert(line.section(' ', 0, 0));
	}
	QCOMPARE(ports.size(), 1);

	// Disconnect cancels the poll's stream, and the front drops the poll it had passed on.
	QTRY_COMPARE(env.sim.heldPollCount(), 1);
	client->disconnectDevice();
	QTRY_COMPARE(env.sim.heldPollCount(), 0);

	// The front goes away under a held poll: back-off, then recovery once it is back.
	env.storePairedDevice();
	client = std::make_unique<KelpClient>();
	statuses.clear();
	watch(client.get());
	QSignalSpy restoredEvents(client.get(), &KelpClient::eventReceived);
	client->start();
	QTRY_COMPARE(env.sim.heldPollCount(), 1);
	front.stop();
	QTRY_VERIFY(statuses.contains(QStringLiteral("Realtime reconnect in 900 ms")));
	front.start();
	QTRY_VERIFY(front.accepts());
	QTRY_COMPARE_WITH_TIMEOUT(env.sim.heldPollCount(), 1, 15000);
	env.sim.queueEvent(kDeviceId, QJsonObject{{"type", "donation"}});
	QTRY_COMPARE(restoredEvents.count(), 1);
	QTRY_COMPARE(client->statusText(), QStringLiteral("Connected"));
}

QTEST_MAIN(TestTls)
#include "test-tls.moc"
