#include "support/sim-environment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

// The client over HTTPS through Schannel, with the test authority in the system's trust store: a
// TLS front (started by scripts/test-windows) passes every request on to the simulator in this
// process, on the port the front was told.
class TestTlsClient : public QObject {
	Q_OBJECT

	const QString origin;
	const quint16 backendPort;

public:
	TestTlsClient(const QString &origin, quint16 backendPort) : origin(origin), backendPort(backendPort) {}

private slots:
	void pairsAndReceivesAnEvent()
	{
		QCOMPARE(QSslSocket::activeBackend(), QStringLiteral("schannel"));
		kelptest::SimEnvironment env(backendPort);
		QVERIFY(env.isValid());
		setKelpServiceOrigin(origin);

		KelpClient client;
		QSignalSpy events(&client, &KelpClient::eventReceived);
		client.start();
		client.startPairing();
		QTRY_VERIFY_WITH_TIMEOUT(!client.pairCode().isEmpty(), 15000);
		QVERIFY(env.sim.approveCode(client.pairCode()));
		QTRY_VERIFY_WITH_TIMEOUT(client.isPaired(), 15000);
		QTRY_COMPARE_WITH_TIMEOUT(client.statusText(), QStringLiteral("Connected"), 15000);
		QTRY_VERIFY_WITH_TIMEOUT(client.latencyMs() >= 0, 15000);

		QVERIFY(env.sim.queueEvent(client.deviceId(), QJsonObject{{"type", "donation"}, {"amount", 100}}) > 0);
		QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, 15000);
		const QJsonObject event = QJsonDocument::fromJson(events.at(0).at(0).toByteArray()).object();
		QCOMPARE(event.value("type").toString(), QStringLiteral("donation"));
		QCOMPARE(event.value("amount").toInt(), 100);

		// Every request came through the front, so over TLS.
		const QList<kelpsim::RequestRecord> requests = env.sim.requests();
		QVERIFY(!requests.isEmpty());
		for (const kelpsim::RequestRecord &record : requests)
			QCOMPARE(record.header("X-Forwarded-Proto"), QByteArray("https"));
	}
};

// Usage: test-tls-client ORIGIN BACKEND_PORT [QtTest options]
int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	QStringList args = app.arguments();
	const int at = args.indexOf(QRegularExpression("^https://.*"));
	const quint16 port = at > 0 && at + 1 < args.size() ? args.at(at + 1).toUShort() : 0;
	if (port == 0) {
		fprintf(stderr, "usage: %s ORIGIN BACKEND_PORT\n", argv[0]);
		return 2;
	}
	TestTlsClient test(args.at(at), port);
	args.remove(at, 2);
	return QTest::qExec(&test, args);
}

#include "test-tls-client.moc"
