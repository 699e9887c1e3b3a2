// Requests the service holds past the real transfer timeouts: 20 s for the heartbeat, the widget
// state and the manifest, 30 s for the long poll. Each fails at its bound and then recovers.
// (Labelled slow: it waits the 30 s out.)

#include "runtime/runtime-updater.h"
#include "support/sim-environment.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using kelpsim::Fault;
using namespace kelptest;

class TestTimeouts : public QObject {
	Q_OBJECT

private slots:
	void heldRequestsTimeOutAndRecover()
	{
		SimEnvironment env;
		QVERIFY(env.isValid());
		env.storePairedDevice();
		env.sim.setWidgetState(QStringLiteral("w-1"), QStringLiteral("rev-timeouts"),
				       QJsonObject{{QStringLiteral("title"), QStringLiteral("Goal")}});
		QVERIFY(env.publishRuntime(QStringLiteral("3.0.0")));
		for (const QByteArray &path : {kHeartbeat, kWidgetState, kEvents, kManifest})
			env.sim.addFault(fault(path, Fault::Hang));

		KelpClient client;
		RuntimeUpdater updater;
		// When each status first showed, on the clock the simulator stamps requests with.
		QHash<QString, qint64> shownAt;
		const auto show = [&shownAt](const QString &text) {
			if (!shownAt.contains(text))
				shownAt.insert(text, QDateTime::currentMSecsSinceEpoch());
		};
		connect(&client, &KelpClient::stateChanged, this, [&] {
			show(client.statusText());
			show(client.widgetStatusText());
		});
		connect(&updater, &RuntimeUpdater::stateChanged, this, [&] { show(updater.statusText()); });
		QSignalSpy events(&client, &KelpClient::eventReceived);
		const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
		client.start();
		updater.checkForUpdate();
		// Queued while the first poll hangs: the retry must bring it.
		env.sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")}});

		const QString backingOff = QStringLiteral("Realtime reconnect in 900 ms");
		const QList<QPair<QString, qint64>> failures = {
			{QStringLiteral("Widget config: sync failed (HTTP 0)"), 20000},
			{QStringLiteral("Runtime: update server unavailable"), 20000},
			{QStringLiteral("Network reconnecting…"), 20000}, // the heartbeat
			{backingOff, 30000}};
		for (const auto &[text, boundMs] : failures) {
			QTRY_VERIFY_WITH_TIMEOUT(shownAt.contains(text), 40000);
			// At the bound, and not long after it on a busy machine.
			const qint64 atMs = shownAt.value(text) - startMs;
			QVERIFY2(atMs >= boundMs - 500 && atMs <= boundMs + 8000,
				 qPrintable(QStringLiteral("%1 at %2 ms").arg(text).arg(atMs)));
		}

		QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, 10000);
		const QList<kelpsim::RequestRecord> polls = env.sim.requestsTo(kEvents);
		QVERIFY(polls.size() >= 2);
		QCOMPARE(polls.at(1).queryItem(QStringLiteral("after_seq")), QStringLiteral("0"));
		// From the client's own give-up: a loaded machine may deliver the first poll late.
		const qint64 backoffMs = polls.at(1).receivedMs - shownAt.value(backingOff);
		QVERIFY2(backoffMs >= 900 - 100, qPrintable(QString::number(backoffMs)));

		// The widget timer's next tick syncs; the next check (the 60 s timer's slot) activates.
		QTRY_COMPARE_WITH_TIMEOUT(client.widgetStatusText(), QStringLiteral("Widget config: synced · rev-time"),
					  10000);
		updater.checkForUpdate();
		QTRY_COMPARE_WITH_TIMEOUT(updater.statusText(), QStringLiteral("Runtime 3.0.0 · active"), 15000);
	}
};

QTEST_GUILESS_MAIN(TestTimeouts)
#include "test-timeouts.moc"
