// The dev host killed with SIGKILL right after events reached the bus while a runtime download
// hangs, then started again on the same home folder.

#include "support/sim-environment.h"
#include "support/raw-http.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <algorithm>

using kelpsim::Fault;
using namespace kelptest;

namespace {
// Every file below a folder with a digest of its bytes, but those whose path starts with a skip.
QMap<QString, QByteArray> snapshot(const QString &root, const QStringList &skip)
{
	QMap<QString, QByteArray> out;
	QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
	while (it.hasNext()) {
		const QString path = QDir(root).relativeFilePath(it.next());
		QFile file(it.filePath());
		if (std::none_of(skip.cbegin(), skip.cend(),
				 [&path](const QString &s) { return path.startsWith(s); }) &&
		    file.open(QIODevice::ReadOnly))
			out.insert(path, QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256));
	}
	return out;
}

bool busPortIsFree()
{
	QTcpServer probe;
	return probe.listen(QHostAddress::LocalHost, 4251);
}

QJsonObject health()
{
	return QJsonDocument::fromJson(rawGet("/health").body).object();
}
} // namespace

class TestCrashRestart : public QObject {
	Q_OBJECT

	void startHost(QProcess &host, const QString &home, const QString &service)
	{
		host.setProgram(QStringLiteral(KELP_DEVHOST_EXE));
		host.setArguments({QStringLiteral("--offscreen"), QStringLiteral("--home"), home,
				   QStringLiteral("--service"), service});
		host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		host.start();
		QTRY_VERIFY_WITH_TIMEOUT(!health().isEmpty() || host.state() == QProcess::NotRunning, 20000);
		QCOMPARE(host.state(), QProcess::Running);
	}

private slots:
	// The restart resumes after the stored seq, taking the events queued meanwhile once each and
	// none delivered before; the download starts over and activates; and nothing outside the
	// runtime cache changed but the settings store.
	void killedAndRestarted()
	{
		QVERIFY(busPortIsFree());
		SimEnvironment env;
		QVERIFY(env.isValid());
		QTemporaryDir home;
		const QString store = QStringLiteral("settings/KELP Ziziru/KELP OBS Plugin.conf");
		const QString cacheRoot = QStringLiteral("config/runtime/event-goal/");
		env.storePairedDevice(0, home.filePath(store));
		QVERIFY(env.publishRuntime(QStringLiteral("5.0.0")));
		Fault hang = fault(kRuntimeFiles, Fault::Hang);
		hang.skip = 1;
		env.sim.addFault(hang);

		QProcess first;
		startHost(first, home.path(), env.sim.origin());
		RawClient stream;
		stream.send("GET /events HTTP/1.1\r\n\r\n");
		QVERIFY(stream.waitForContains(": kelp-local-ready\n\n"));
		QTRY_VERIFY_WITH_TIMEOUT(env.sim.heldPollCount(kDeviceId) == 1, 15000);
		for (int i = 1; i <= 3; ++i)
			env.sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("n"), i}});
		QVERIFY(stream.waitForContains("\"n\":3", 15000));
		QTRY_VERIFY_WITH_TIMEOUT(env.sim.requestsTo("/runtime/files/5.0.0/js/app.js").size() == 1, 15000);
		const QMap<QString, QByteArray> before = snapshot(home.path(), {cacheRoot, store});
		QVERIFY(!QFileInfo::exists(home.filePath(cacheRoot + QStringLiteral("5.0.0"))));
		first.kill(); // no destructor, no flush, nothing
		QTRY_VERIFY_WITH_TIMEOUT(first.state() == QProcess::NotRunning, 10000);
		QCOMPARE(stream.received.count("event: kelp\n"), 3);
		QTRY_VERIFY(busPortIsFree());

		env.sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("n"), 4}});
		env.sim.queueEvent(kDeviceId, QJsonObject{{QStringLiteral("n"), 5}});
		env.sim.clearFaults();
		env.sim.clearRequests();
		QProcess second;
		startHost(second, home.path(), env.sim.origin());
		// Resumed after the stored 3: the first poll takes 4 and 5 together, the next asks after 5.
		QTRY_VERIFY_WITH_TIMEOUT(env.sim.requestsTo(kEvents).size() >= 2, 15000);
		QCOMPARE(env.sim.requestsTo(kEvents).at(0).queryItem(QStringLiteral("after_seq")), QStringLiteral("3"));
		QCOMPARE(env.sim.requestsTo(kEvents).at(1).queryItem(QStringLiteral("after_seq")), QStringLiteral("5"));

		QTRY_COMPARE_WITH_TIMEOUT(health().value(QStringLiteral("runtime_version")).toString(),
					  QStringLiteral("5.0.0"), 15000);
		QCOMPARE(rawGet("/widget/event-goal/").body, QByteArray("<!doctype html><p>runtime 5.0.0</p>"));
		second.terminate();
		QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);

		QCOMPARE(snapshot(home.path(), {cacheRoot, store}), before);
		QSettings settings(home.filePath(store), QSettings::IniFormat);
		QCOMPARE(settings.value(QStringLiteral("runtime/event_goal_version")).toString(),
			 QStringLiteral("5.0.0"));
		QCOMPARE(settings.value(QStringLiteral("events/last_seq")).toLongLong(), qint64(5));
	}
};

QTEST_GUILESS_MAIN(TestCrashRestart)
#include "test-crash-restart.moc"
