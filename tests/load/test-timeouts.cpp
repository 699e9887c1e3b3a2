// Requests the service holds past the transfer timeouts, for real: 20 s for the heartbeat, the
// widget state and the manifest, 30 s for the long poll. Each ends in its failure state at its
// bound and recovers as specified. (Labelled slow: it waits the 30 s out.)

#include "fault-fixture.h"

#include <QDateTime>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using kelpsim::Fault;
using namespace kelpfault;

namespace {
// A bound is met when the failure shows at or after it, and not long after it on a busy machine.
bool atBound(qint64 elapsedMs, qint64 boundMs)
{
	return elapsedMs >= boundMs - 500 && elapsedMs <= boundMs + 8000;
}

QString figures(const Timeline &timeline)
{
	QStringList out;
	for (const auto &entry : timeline.entries)
		out.append(QStringLiteral("%1 ms %2").arg(entry.first).arg(entry.second));
	return out.join(QStringLiteral("; "));
}
} // namespace

class TestTimeouts : public QObject {
	Q_OBJECT

private slots:
	void heldRequestsTimeOutAndRecover()
	{
		Environment env;
		QVERIFY(env.isValid());
		env.storePairedDevice();
		env.sim.setWidgetState(QStringLiteral("w-1"), QStringLiteral("rev-timeouts"),
				       QJsonObject{{QStringLiteral("title"), QStringLiteral("Goal")}});
		QVERIFY(env.publishRuntime(QStringLiteral("3.0.0")));
		for (const QByteArray &path : {kHeartbeat, kWidgetState, kEvents, kManifest})
			env.sim.addFault(fault(path, Fault::Hang));

		KelpClient client;
		RuntimeUpdater updater;
		Timeline status;
		Timeline widget;
		Timeline runtime;
		for (Timeline *timeline : {&status, &widget, &runtime})
			timeline->clock.start();
		const qint64 startEpochMs = QDateTime::currentMSecsSinceEpoch();
		connect(&client, &KelpClient::stateChanged, this, [&] {
			status.add(client.statusText());
			widget.add(client.widgetStatusText());
		});
		connect(&updater, &RuntimeUpdater::stateChanged, this, [&] { runtime.add(updater.statusText()); });
		QSignalSpy events(&client, &KelpClient::eventReceived);
		QSignalSpy updaterLogs(&updater, &RuntimeUpdater::logLine);

		client.start();
		updater.checkForUpdate();
		// Queued while the first poll hangs: the retry must bring it.
		env.sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")}});

		// 20 s: the widget state, the first heartbeat and the manifest give up.
		QTRY_VERIFY_WITH_TIMEOUT(widget.firstAt(QStringLiteral("Widget config: sync failed (HTTP 0)")) >= 0,
					 30000);
		QVERIFY2(atBound(widget.firstAt(QStringLiteral("Widget config: sync failed (HTTP 0)")), 20000),
			 qPrintable(figures(widget)));
		QTRY_VERIFY_WITH_TIMEOUT(runtime.firstAt(QStringLiteral("Runtime: update server unavailable")) >= 0,
					 10000);
		QVERIFY2(atBound(runtime.firstAt(QStringLiteral("Runtime: update server unavailable")), 20000),
			 qPrintable(figures(runtime)));
		QVERIFY(updaterLogs.constLast().at(0).toString().startsWith(
			QStringLiteral("Runtime update check failed: ")));
		QTRY_VERIFY_WITH_TIMEOUT(status.firstAt(QStringLiteral("Network reconnecting…")) >= 0, 10000);
		QVERIFY2(atBound(status.firstAt(QStringLiteral("Network reconnecting…")), 20000),
			 qPrintable(figures(status)));

		// 30 s: the long poll gives up and backs off 900 ms; the retry brings the queued event.
		QTRY_VERIFY_WITH_TIMEOUT(status.firstAt(QStringLiteral("Realtime reconnect in 900 ms")) >= 0, 20000);
		QVERIFY2(atBound(status.firstAt(QStringLiteral("Realtime reconnect in 900 ms")), 30000),
			 qPrintable(figures(status)));
		QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, 10000);
		QCOMPARE(client.lastSeq(), qint64(1));
		const QList<kelpsim::RequestRecord> polls = env.sim.requestsTo(kEvents);
		QVERIFY(polls.size() >= 2);
		// Measured from the client's own give-up, since a loaded machine may deliver the first poll late.
		const qint64 backoffMs =
			polls.at(1).receivedMs -
			(startEpochMs + status.firstAt(QStringLiteral("Realtime reconnect in 900 ms")));
		QVERIFY2(backoffMs >= 900 - 100, qPrintable(QString::number(backoffMs)));
		QCOMPARE(polls.at(1).queryItem(QStringLiteral("after_seq")), QStringLiteral("0"));

		// The widget timer's next tick syncs; the next check (the 60 s timer's slot) activates.
		QTRY_COMPARE_WITH_TIMEOUT(client.widgetStatusText(), QStringLiteral("Widget config: synced · rev-time"),
					  10000);
		updater.checkForUpdate();
		QTRY_COMPARE_WITH_TIMEOUT(updater.statusText(), QStringLiteral("Runtime 3.0.0 · active"), 15000);
		qInfo("client: %s", qPrintable(figures(status)));
		qInfo("widget: %s", qPrintable(figures(widget)));
		qInfo("runtime: %s", qPrintable(figures(runtime)));
	}
};

QTEST_GUILESS_MAIN(TestTimeouts)
#include "test-timeouts.moc"
