// The dev host killed with SIGKILL at awkward moments and started again on the same home folder:
// during a runtime download, and right after events reached the bus.

#include "fault-fixture.h"
#include "support/raw-http.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTest>

using kelpsim::Fault;
using namespace kelpfault;

namespace {
// Every file below a folder with a digest of its bytes, folders as themselves.
QMap<QString, QByteArray> snapshot(const QString &root)
{
	QMap<QString, QByteArray> out;
	QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
	while (it.hasNext()) {
		const QString path = it.next();
		QFile file(path);
		out.insert(QDir(root).relativeFilePath(path),
			   it.fileInfo().isDir() || !file.open(QIODevice::ReadOnly)
				   ? QByteArray("dir")
				   : QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
	}
	return out;
}

QMap<QString, QByteArray> outside(const QMap<QString, QByteArray> &tree, const QString &prefix)
{
	QMap<QString, QByteArray> out;
	for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
		if (!it.key().startsWith(prefix))
			out.insert(it.key(), it.value());
	}
	return out;
}

bool busPortIsFree()
{
	QTcpServer probe;
	return probe.listen(QHostAddress::LocalHost, 4251);
}
} // namespace

class TestCrashRestart : public QObject {
	Q_OBJECT

	std::unique_ptr<Environment> env;
	QTemporaryDir scratch;
	QString home;

	void startHost(QProcess &host)
	{
		host.setProgram(QStringLiteral(KELP_DEVHOST_EXE));
		host.setArguments({QStringLiteral("--offscreen"), QStringLiteral("--home"), home,
				   QStringLiteral("--service"), env->sim.origin()});
		host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		host.start();
		QVERIFY(host.waitForStarted(10000));
		QTRY_VERIFY_WITH_TIMEOUT(rawGet("/health").status == 200 || host.state() == QProcess::NotRunning,
					 20000);
		QCOMPARE(host.state(), QProcess::Running);
	}

	void killHost(QProcess &host)
	{
		host.kill(); // SIGKILL: no destructor, no flush, nothing
		QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 10000);
		QCOMPARE(host.exitStatus(), QProcess::CrashExit);
		QTRY_VERIFY(busPortIsFree());
	}

	void stopHost(QProcess &host)
	{
		host.terminate();
		QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 20000);
	}

	QJsonObject health() { return QJsonDocument::fromJson(rawGet("/health").body).object(); }

private slots:
	void init()
	{
		QTRY_VERIFY_WITH_TIMEOUT(busPortIsFree(), 30000);
		env = std::make_unique<Environment>();
		QVERIFY(env->isValid());
		home = scratch.filePath(QStringLiteral("home-%1").arg(QTest::currentTestFunction()));
		QVERIFY(QDir().mkpath(home));
	}
	void cleanup() { env.reset(); }

	// Killed while the second file of a runtime hangs: the restart's first check downloads the
	// version again into a new staging folder and activates it, the bus serves it, and nothing
	// outside the cache root changed but the one settings key.
	void killedDuringDownload()
	{
		QVERIFY(env->publishRuntime(QStringLiteral("5.0.0")));
		Fault hang = fault(kRuntimeFiles, Fault::Hang);
		hang.skip = 1;
		env->sim.addFault(hang);
		const QString cacheRoot = QStringLiteral("config/runtime/event-goal");

		QProcess first;
		startHost(first);
		QTRY_VERIFY_WITH_TIMEOUT(env->sim.requestsTo("/runtime/files/5.0.0/js/app.js").size() == 1, 15000);
		const QMap<QString, QByteArray> beforeKill = snapshot(home);
		killHost(first);
		QCOMPARE(snapshot(home), beforeKill);
		QCOMPARE(health().isEmpty(), true);
		// The half-done download is a staging folder inside the cache root and nowhere else.
		QStringList staging;
		for (const QString &path : beforeKill.keys()) {
			if (path.startsWith(cacheRoot + QStringLiteral("/.5.0.0.staging-")) &&
			    path.indexOf(QLatin1Char('/'), cacheRoot.size() + 1) < 0)
				staging.append(path);
		}
		QCOMPARE(staging.size(), 1);
		QVERIFY(!beforeKill.contains(cacheRoot + QStringLiteral("/5.0.0")));

		env->sim.clearFaults();
		QProcess second;
		startHost(second);
		QTRY_COMPARE_WITH_TIMEOUT(health().value(QStringLiteral("runtime_version")).toString(),
					  QStringLiteral("5.0.0"), 15000);
		QCOMPARE(rawGet("/widget/event-goal/").body, QByteArray("<!doctype html><p>runtime 5.0.0</p>"));
		stopHost(second);

		const QMap<QString, QByteArray> after = snapshot(home);
		QCOMPARE(after.value(cacheRoot + QStringLiteral("/5.0.0/js/app.js")),
			 QCryptographicHash::hash(QByteArray(64 * 1024, 'j'), QCryptographicHash::Sha256).toHex());
		// The killed process's staging folder is left as it was (staging folders are not swept);
		// the restart used a new one and removed it on activation.
		int stagingAfter = 0;
		for (const QString &path : after.keys())
			stagingAfter += path.startsWith(cacheRoot + QStringLiteral("/.5.0.0.staging-")) &&
					path.indexOf(QLatin1Char('/'), cacheRoot.size() + 1) < 0;
		QCOMPARE(stagingAfter, 1);
		QMap<QString, QByteArray> outsideBefore = outside(beforeKill, cacheRoot + '/');
		QMap<QString, QByteArray> outsideAfter = outside(after, cacheRoot + '/');
		const QString store = QStringLiteral("settings/KELP Ziziru/KELP OBS Plugin.conf");
		outsideBefore.remove(store);
		outsideAfter.remove(store);
		QCOMPARE(outsideAfter, outsideBefore);
		QSettings settings(home + QLatin1Char('/') + store, QSettings::IniFormat);
		QCOMPARE(settings.value(QStringLiteral("runtime/event_goal_version")).toString(),
			 QStringLiteral("5.0.0"));
	}

	// Killed right after three events reached the bus: the restart resumes after the stored seq,
	// so the two events queued meanwhile arrive once each and none of the first three again.
	void killedAfterEventsDelivered()
	{
		const QString token = env->sim.issueToken(kDeviceId);
		{
			QSettings store(home + QStringLiteral("/settings/KELP Ziziru/KELP OBS Plugin.conf"),
					QSettings::IniFormat);
			store.setValue(QStringLiteral("device/id"), kDeviceId);
			store.setValue(QStringLiteral("auth/device_token"), token);
		}

		QProcess first;
		startHost(first);
		RawClient stream;
		stream.send("GET /events HTTP/1.1\r\n\r\n");
		QVERIFY(stream.waitForContains(": kelp-local-ready\n\n"));
		QTRY_VERIFY_WITH_TIMEOUT(env->sim.heldPollCount(kDeviceId) == 1, 15000);
		for (int i = 1; i <= 3; ++i)
			env->sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("type"), QStringLiteral("donation")},
								   {QStringLiteral("n"), i}});
		QVERIFY(stream.waitForContains("\"n\":3", 15000));
		killHost(first);
		QCOMPARE(stream.received.count("event: kelp\n"), 3);

		env->sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("n"), 4}});
		env->sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("n"), 5}});
		env->sim.clearRequests();
		QProcess second;
		startHost(second);
		// The restart fetches 4 and 5 at once, before any page could open a stream (the bus
		// replays nothing), so the service's log shows what it asked for: after 3, then after 5.
		QTRY_VERIFY_WITH_TIMEOUT(env->sim.requestsTo(kEvents).size() >= 2, 15000);
		QCOMPARE(env->sim.requestsTo(kEvents).at(0).queryItem(QStringLiteral("after_seq")),
			 QStringLiteral("3"));
		QCOMPARE(env->sim.requestsTo(kEvents).at(1).queryItem(QStringLiteral("after_seq")),
			 QStringLiteral("5"));
		RawClient resumed;
		resumed.send("GET /events HTTP/1.1\r\n\r\n");
		QVERIFY(resumed.waitForContains(": kelp-local-ready\n\n"));
		QTRY_VERIFY_WITH_TIMEOUT(env->sim.heldPollCount(kDeviceId) == 1, 15000);
		env->sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("n"), 6}});
		QVERIFY(resumed.waitForContains("\"n\":6", 15000));
		QCOMPARE(resumed.received.count("event: kelp\n"), 1);
		QVERIFY(resumed.received.contains("\"seq\":6"));
		stopHost(second);
	}
};

QTEST_GUILESS_MAIN(TestCrashRestart)
#include "test-crash-restart.moc"
