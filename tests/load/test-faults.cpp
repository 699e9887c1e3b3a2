// The client and the updater against a service that cuts answers short: each ends in its failure
// state, retries as it should, and the retry delivers everything once, intact.

#include "fault-fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using kelpsim::Fault;
using namespace kelpfault;

namespace {
const QString kUnstable =
	QStringLiteral("Realtime connection is temporarily unstable. KELP is retrying automatically.");
const QString kInvalid = QStringLiteral("Realtime response was invalid. KELP is retrying automatically.");
const QString kRestored = QStringLiteral("Realtime connection restored.");

QStringList texts(const QSignalSpy &spy)
{
	QStringList out;
	for (const QList<QVariant> &arguments : spy)
		out.append(arguments.at(0).toString());
	return out;
}

QTimer *clientTimer(KelpClient &client, const char *name)
{
	return client.findChild<QTimer *>(QLatin1String(name));
}
} // namespace

class TestFaults : public QObject {
	Q_OBJECT

private:
	std::unique_ptr<Environment> env;

private slots:
	void init()
	{
		env = std::make_unique<Environment>();
		QVERIFY(env->isValid());
	}
	void cleanup() { env.reset(); }

	void eventsCutShort_data()
	{
		QTest::addColumn<int>("kind");
		QTest::addColumn<QString>("warning");
		QTest::newRow("dropped mid-body") << int(Fault::DropMidBody) << kUnstable;
		QTest::newRow("truncated JSON") << int(Fault::ShortBody) << kInvalid;
	}

	// Two polls cut short carry events that must not count: back-off 900 then 1800 ms, one
	// warning, then the events arrive exactly once, in order, and the position is stored.
	void eventsCutShort()
	{
		QFETCH(int, kind);
		QFETCH(QString, warning);
		env->storePairedDevice();
		for (int i = 1; i <= 3; ++i)
			env->sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")},
								   {QStringLiteral("amount"), i * 100}});
		env->sim.addFault(fault(kEvents, Fault::Kind(kind), 2));

		KelpClient client;
		QSignalSpy logs(&client, &KelpClient::logLine);
		QSignalSpy events(&client, &KelpClient::eventReceived);
		// The heartbeat writes the same line (the last writer wins), so keep every text it showed.
		QStringList statuses;
		connect(&client, &KelpClient::stateChanged, this, [&] {
			if (statuses.isEmpty() || statuses.constLast() != client.statusText())
				statuses.append(client.statusText());
		});
		QTimer *reconnect = clientTimer(client, "reconnectTimer");
		QVERIFY(reconnect);
		client.start();

		for (const int delay : {900, 1800}) {
			QTRY_VERIFY(reconnect->isActive());
			QCOMPARE(reconnect->interval(), delay);
			QVERIFY(statuses.contains(QStringLiteral("Realtime reconnect in %1 ms").arg(delay)));
			QCOMPARE(events.count(), 0);
			QCOMPARE(client.lastSeq(), qint64(0));
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
		QCOMPARE(client.lastSeq(), qint64(3));
		QCOMPARE(env->storedLastSeq(), qint64(3));
		QCOMPARE(client.statusText(), QStringLiteral("Connected"));
		QCOMPARE(texts(logs), (QStringList{warning, kRestored}));
		// Every retry asked from the same position: nothing was skipped.
		const QList<kelpsim::RequestRecord> polls = env->sim.requestsTo(kEvents);
		QVERIFY(polls.size() >= 3);
		for (int i = 0; i < 3; ++i)
			QCOMPARE(polls.at(i).queryItem(QStringLiteral("after_seq")), QStringLiteral("0"));
	}

	void widgetStateCutShort_data()
	{
		QTest::addColumn<int>("kind");
		QTest::newRow("dropped mid-body") << int(Fault::DropMidBody);
		QTest::newRow("truncated JSON") << int(Fault::ShortBody);
	}

	// A widget state cut short is a failed sync with the answer's status; the next tick of the
	// 5 s timer syncs the state whole.
	void widgetStateCutShort()
	{
		QFETCH(int, kind);
		env->storePairedDevice();
		env->sim.setWidgetState(QStringLiteral("w-7"), QStringLiteral("rev-abcdef123"),
					QJsonObject{{QStringLiteral("title"), QStringLiteral("Goal")},
						    {QStringLiteral("target"), 5000}});
		env->sim.addFault(fault(kWidgetState, Fault::Kind(kind)));

		KelpClient client;
		QSignalSpy configs(&client, &KelpClient::widgetConfigReceived);
		QTimer *sync = clientTimer(client, "widgetSyncTimer");
		QVERIFY(sync);
		client.start();
		QTRY_COMPARE(client.widgetStatusText(), QStringLiteral("Widget config: sync failed (HTTP 200)"));
		QCOMPARE(configs.count(), 0);
		QVERIFY(sync->isActive());
		QCOMPARE(sync->interval(), 5000);

		client.syncWidgetState(); // what the timer's tick calls
		QTRY_COMPARE(client.widgetStatusText(), QStringLiteral("Widget config: synced · rev-abcd"));
		QCOMPARE(configs.count(), 1);
		QCOMPARE(configs.at(0).at(0).toByteArray(), QByteArray("{\"target\":5000,\"title\":\"Goal\"}"));
	}

	// An image whose transfer breaks off is not an image: it is not handed on, its revision is
	// not recorded, and the next sync downloads it whole.
	void assetCutShort()
	{
		env->storePairedDevice();
		const QByteArray png = "\x89PNG\r\n\x1a\n" + QByteArray(48 * 1024, 'p');
		env->sim.setWidgetState(QStringLiteral("w-7"), QStringLiteral("r1"), QJsonObject());
		env->sim.setAsset(QStringLiteral("mask"), "image/png", png, QStringLiteral("2024-05-01T10:00:00Z"));
		env->sim.addFault(fault(kWidgetAsset, Fault::DropMidBody));

		KelpClient client;
		QSignalSpy assets(&client, &KelpClient::widgetAssetReceived);
		QSignalSpy logs(&client, &KelpClient::logLine);
		client.start();
		QTRY_VERIFY(!logs.isEmpty());
		QCOMPARE(texts(logs), QStringList{QStringLiteral("Event Goal mask sync failed: HTTP 200.")});
		QCOMPARE(assets.count(), 0);

		client.syncWidgetState();
		QTRY_COMPARE(assets.count(), 1);
		QCOMPARE(assets.at(0).at(0).toString(), QStringLiteral("mask"));
		QCOMPARE(assets.at(0).at(1).toByteArray(), QByteArray("image/png"));
		QCOMPARE(assets.at(0).at(2).toByteArray(), png);
		QCOMPARE(assets.at(0).at(3).toString(), QStringLiteral("2024-05-01T10:00:00Z"));
		QCOMPARE(texts(logs).constLast(), QStringLiteral("Event Goal mask synced (%1 bytes).").arg(png.size()));
	}

	void runtimeCutShort_data()
	{
		QTest::addColumn<QByteArray>("path");
		QTest::addColumn<int>("kind");
		QTest::addColumn<QString>("status");
		QTest::addColumn<QString>("log");
		QTest::newRow("manifest dropped mid-body")
			<< kManifest << int(Fault::DropMidBody) << QStringLiteral("Runtime: update server unavailable")
			<< QStringLiteral("^Runtime update check failed: .+$");
		QTest::newRow("manifest truncated JSON")
			<< kManifest << int(Fault::ShortBody) << QStringLiteral("Runtime: invalid manifest")
			<< QStringLiteral("^Runtime update manifest was invalid\\.$");
		QTest::newRow("file dropped mid-body")
			<< kRuntimeFiles << int(Fault::DropMidBody)
			<< QStringLiteral("Runtime: update failed · bundled fallback")
			<< QStringLiteral("^Runtime update failed safely: .+ failed: .+$");
		QTest::newRow("file truncated") << kRuntimeFiles << int(Fault::ShortBody)
						<< QStringLiteral("Runtime: update failed · bundled fallback")
						<< QStringLiteral("^Runtime update failed safely: .+ SHA256 mismatch$");
	}

	// A manifest or a runtime file cut short leaves the built-in runtime active and nothing in
	// the cache; the next check (the 60 s timer's slot) downloads and activates the version.
	void runtimeCutShort()
	{
		QFETCH(QByteArray, path);
		QFETCH(int, kind);
		QFETCH(QString, status);
		QFETCH(QString, log);
		QVERIFY(env->publishRuntime(QStringLiteral("2.1.0")));
		env->sim.addFault(fault(path, Fault::Kind(kind)));

		RuntimeUpdater updater;
		QSignalSpy logs(&updater, &RuntimeUpdater::logLine);
		QSignalSpy activated(&updater, &RuntimeUpdater::runtimeActivated);
		updater.checkForUpdate();
		QTRY_VERIFY(!updater.isBusy());
		QCOMPARE(updater.statusText(), status);
		QVERIFY2(QRegularExpression(log).match(texts(logs).constLast()).hasMatch(),
			 qPrintable(texts(logs).constLast()));
		QCOMPARE(activated.count(), 0);
		QCOMPARE(updater.activeVersion(), QString());
		QVERIFY(QDir(env->cacheRoot()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

		updater.checkForUpdate();
		QTRY_VERIFY(!updater.isBusy());
		QCOMPARE(updater.statusText(), QStringLiteral("Runtime 2.1.0 · active"));
		QCOMPARE(activated.count(), 1);
		QCOMPARE(activated.at(0).at(0).toString(), env->cacheRoot() + QStringLiteral("/2.1.0"));
		QFile app(env->cacheRoot() + QStringLiteral("/2.1.0/js/app.js"));
		QVERIFY(app.open(QIODevice::ReadOnly));
		QCOMPARE(app.readAll(), QByteArray(64 * 1024, 'j'));
		QCOMPARE(QDir(env->cacheRoot()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
			 QStringList{QStringLiteral("2.1.0")});
	}
};

QTEST_GUILESS_MAIN(TestFaults)
#include "test-faults.moc"
