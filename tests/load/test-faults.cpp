// The client against a long poll cut short: nothing that was cut is handed on, the failure shows
// once, and the retry delivers everything once, intact. (Widget answers cut short are rows of the
// client suite's sync failures.)

#include "support/sim-environment.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using kelpsim::Fault;
using namespace kelptest;

class TestFaults : public QObject {
	Q_OBJECT

private slots:
	void eventsCutShort_data()
	{
		QTest::addColumn<int>("kind");
		QTest::addColumn<QString>("warning");
		QTest::newRow("dropped mid-body") << int(Fault::DropMidBody)
						  << QStringLiteral("Realtime connection is temporarily unstable. "
								    "KELP is retrying automatically.");
		QTest::newRow("truncated JSON")
			<< int(Fault::ShortBody)
			<< QStringLiteral("Realtime response was invalid. KELP is retrying automatically.");
	}

	// Two polls cut short carry events that must not count: the client backs off and warns once,
	// then takes the events exactly once, in order, and stores the position.
	void eventsCutShort()
	{
		QFETCH(int, kind);
		QFETCH(QString, warning);
		SimEnvironment env;
		QVERIFY(env.isValid());
		env.storePairedDevice();
		for (int i = 1; i <= 3; ++i)
			env.sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("amount"), i * 100}});
		env.sim.addFault(fault(kEvents, Fault::Kind(kind), 200, QByteArray(), 2));

		KelpClient client;
		QSignalSpy logs(&client, &KelpClient::logLine);
		QSignalSpy events(&client, &KelpClient::eventReceived);
		QTimer *reconnect = clientTimer(client, "reconnectTimer");
		client.start();
		for (const int delay : {900, 1800}) {
			QTRY_VERIFY(reconnect->isActive());
			QCOMPARE(reconnect->interval(), delay);
			QCOMPARE(events.count(), 0);
			// The back-off's own slot, instead of waiting it out.
			reconnect->stop();
			QVERIFY(QMetaObject::invokeMethod(&client, "reconnectEvents"));
		}
		QTRY_COMPARE(events.count(), 3);
		for (int i = 0; i < 3; ++i) {
			const QJsonObject event = QJsonDocument::fromJson(events.at(i).at(0).toByteArray()).object();
			QCOMPARE(event.value(QStringLiteral("seq")).toInt(), i + 1);
			QCOMPARE(event.value(QStringLiteral("amount")).toInt(), (i + 1) * 100);
		}
		QTRY_VERIFY2(env.storeBytes().contains("last_seq=3\n"), env.storeBytes().constData());
		QCOMPARE(client.statusText(), QStringLiteral("Connected"));
		QCOMPARE(logs.count(), 2);
		QCOMPARE(logs.at(0).at(0).toString(), warning);
		QCOMPARE(logs.at(1).at(0).toString(), QStringLiteral("Realtime connection restored."));
	}
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test-faults.moc"
