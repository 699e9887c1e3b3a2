// The client against a service that cuts answers short: nothing that was cut is handed on, the
// failure shows, and the retry delivers everything once, intact.

#include "fault-fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using kelpsim::Fault;
using namespace kelpfault;

class TestFaults : public QObject {
	Q_OBJECT

	std::unique_ptr<Environment> env;

private slots:
	void init()
	{
		env = std::make_unique<Environment>();
		QVERIFY(env->isValid());
		env->storePairedDevice();
	}
	void cleanup() { env.reset(); }

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
		for (int i = 1; i <= 3; ++i)
			env->sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("amount"), i * 100}});
		env->sim.addFault(fault(kEvents, Fault::Kind(kind), 2));

		KelpClient client;
		QSignalSpy logs(&client, &KelpClient::logLine);
		QSignalSpy events(&client, &KelpClient::eventReceived);
		auto *reconnect = client.findChild<QTimer *>(QStringLiteral("reconnectTimer"));
		QVERIFY(reconnect);
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
		QCOMPARE(env->storedLastSeq(), qint64(3));
		QCOMPARE(client.statusText(), QStringLiteral("Connected"));
		QCOMPARE(logs.count(), 2);
		QCOMPARE(logs.at(0).at(0).toString(), warning);
		QCOMPARE(logs.at(1).at(0).toString(), QStringLiteral("Realtime connection restored."));
	}

	void widgetCutShort_data()
	{
		QTest::addColumn<QByteArray>("path");
		QTest::addColumn<int>("kind");
		QTest::addColumn<QString>("failure");
		const QString state = QStringLiteral("Widget config: sync failed (HTTP 200)");
		QTest::newRow("state dropped mid-body") << kWidgetState << int(Fault::DropMidBody) << state;
		QTest::newRow("state truncated JSON") << kWidgetState << int(Fault::ShortBody) << state;
		QTest::newRow("image dropped mid-body") << kWidgetAsset << int(Fault::DropMidBody)
							<< QStringLiteral("Event Goal mask sync failed: HTTP 200.");
	}

	// A widget state or an image cut short is a failed sync: none of it is handed on and the
	// image's revision is not recorded, so the 5 s timer's next tick brings both whole.
	void widgetCutShort()
	{
		QFETCH(QByteArray, path);
		QFETCH(int, kind);
		QFETCH(QString, failure);
		const QByteArray png = "\x89PNG\r\n\x1a\n" + QByteArray(48 * 1024, 'p');
		env->sim.setWidgetState(QStringLiteral("w-7"), QStringLiteral("rev-abcdef123"),
					QJsonObject{{QStringLiteral("title"), QStringLiteral("Goal")},
						    {QStringLiteral("target"), 5000}});
		env->sim.setAsset(QStringLiteral("mask"), "image/png", png, QStringLiteral("2024-05-01T10:00:00Z"));
		env->sim.addFault(fault(path, Fault::Kind(kind)));

		KelpClient client;
		QSignalSpy configs(&client, &KelpClient::widgetConfigReceived);
		QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
		QStringList shown;
		connect(&client, &KelpClient::logLine, this, [&shown](const QString &line) { shown.append(line); });
		connect(&client, &KelpClient::stateChanged, this, [&] { shown.append(client.widgetStatusText()); });
		client.start();
		QTRY_VERIFY2(shown.contains(failure), qPrintable(shown.join(QStringLiteral(" | "))));
		QCOMPARE(configs.count(), path == kWidgetState ? 0 : 1);
		QCOMPARE(assets.count(), 0);
		const auto *sync = client.findChild<QTimer *>(QStringLiteral("widgetSyncTimer"));
		QVERIFY(sync && sync->isActive());

		client.syncWidgetState(); // what the tick calls
		QTRY_COMPARE(assets.count(), 1);
		QCOMPARE(client.widgetStatusText(), QStringLiteral("Widget config: synced · rev-abcd"));
		QCOMPARE(configs.constLast().at(0).toByteArray(), QByteArray("{\"target\":5000,\"title\":\"Goal\"}"));
		QCOMPARE(assets.at(0), (QVariantList{QStringLiteral("mask"), QByteArray("image/png"), png,
						     QStringLiteral("2024-05-01T10:00:00Z")}));
	}
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test-faults.moc"
