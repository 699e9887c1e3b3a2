#include "common/kelp-common.h"
#include "dock/kelp-dock.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "runtime/runtime-updater.h"
#include "service-sim.h"
#include "support/raw-http.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using kelpsim::Fault;

namespace {
bool writeFile(const QString &path, const QByteArray &data)
{
	QFile file(path);
	return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
	       file.write(data) == data.size();
}

// The runtime version the bus reports and the page it serves, read over the wire.
QString served()
{
	const QJsonObject health = QJsonDocument::fromJson(rawGet("/health").body).object();
	return health.value(QStringLiteral("runtime_version")).toString() + QLatin1Char(' ') +
	       QString::fromUtf8(rawGet("/widget/event-goal/").body);
}
} // namespace

class TestRuntimeDock : public QObject {
	Q_OBJECT

private slots:
	void cachedThenDownloadedThenKeptOnFailure();
	void caseVariantKeepsTheActiveRuntimeServed();
};

void TestRuntimeDock::cachedThenDownloadedThenKeptOnFailure()
{
	setKelpModuleHandle(standin::module());
	QTemporaryDir home;
	QVERIFY(home.isValid());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath(QStringLiteral("settings")));
	standin::setModuleConfigPath(home.filePath(QStringLiteral("config")));
	QVERIFY(writeFile(home.filePath(QStringLiteral("config/runtime/event-goal/1.5.0/index.html")), "cached"));
	QSettings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication))
		.setValue(QStringLiteral("runtime/event_goal_version"), QStringLiteral("1.5.0"));
	kelpsim::ServiceSim sim;
	QVERIFY(sim.listen());
	setKelpServiceOrigin(sim.origin());
	QVERIFY(writeFile(home.filePath(QStringLiteral("v2/index.html")), "v2"));
	QVERIFY(sim.publishRuntime(QStringLiteral("2.0.0"), home.filePath(QStringLiteral("v2"))));

	KelpDock dock;
	const auto runtimeRow = [&] {
		return dock.findChild<QLabel *>(QStringLiteral("runtimeLabel"))->text();
	};
	// Everything is read from the bus over the wire, so it must be this dock's bus that answers.
	QVERIFY2(dock.findChild<QLabel *>(QStringLiteral("busLabel"))->text().startsWith(QStringLiteral("●")),
		 "port 4251 is held by another process");
	// The cached runtime is served as soon as the dock exists, before any check ran.
	QCOMPARE(runtimeRow(), QStringLiteral("Runtime: 1.5.0 · cached"));
	QCOMPARE(served(), QStringLiteral("1.5.0 cached"));

	// The first check runs on its own shortly after start.
	QTRY_COMPARE_WITH_TIMEOUT(runtimeRow(), QStringLiteral("Runtime 2.0.0 · active"), 10000);
	QCOMPARE(served(), QStringLiteral("2.0.0 v2"));

	// The button is disabled while its check runs; a failed update keeps what is served.
	QVERIFY(writeFile(home.filePath(QStringLiteral("v3/index.html")), "v3"));
	QVERIFY(sim.publishRuntime(QStringLiteral("3.0.0"), home.filePath(QStringLiteral("v3"))));
	Fault broken;
	broken.path = "/runtime/files/";
	sim.addFault(broken);
	auto *button = dock.findChild<QPushButton *>(QStringLiteral("checkRuntimeButton"));
	button->click();
	QVERIFY(!button->isEnabled());
	QTRY_VERIFY(button->isEnabled());
	QCOMPARE(runtimeRow(), QStringLiteral("Runtime 2.0.0 · update failed"));
	QCOMPARE(served(), QStringLiteral("2.0.0 v2"));
}

void TestRuntimeDock::caseVariantKeepsTheActiveRuntimeServed()
{
#if defined(Q_OS_WIN)
	QSKIP("the case-insensitive file system is mounted with FUSE, which Windows lacks");
#elif !defined(KELP_CASEFOLD_FS)
	QFAIL("built without libfuse3-dev, which scripts/test installs");
#else
	if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
		QSKIP("no /dev/fuse on this machine: the case-insensitive file system cannot be mounted");
	setKelpModuleHandle(standin::module());
	QTemporaryDir home;
	QVERIFY(home.isValid());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath(QStringLiteral("settings")));
	standin::setModuleConfigPath(home.filePath(QStringLiteral("config")));
	QSettings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication))
		.setValue(QStringLiteral("runtime/event_goal_version"), QStringLiteral("V2"));
	// The cache on a file system whose names ignore case, where V2 is active and a move whose source
	// name starts with the control file's text fails, as on Windows while a scanner holds a file.
	const QString backing = home.filePath(QStringLiteral("backing"));
	const QString control = home.filePath(QStringLiteral("control"));
	const QString cache = home.filePath(QStringLiteral("config/runtime/event-goal"));
	QVERIFY(writeFile(backing + QStringLiteral("/V2/index.html"), "V2 page") && writeFile(control, ".v2.staging-"));
	QVERIFY(QDir().mkpath(cache));
	QProcess fs;
	QByteArray fsLog;
	connect(&fs, &QProcess::readyReadStandardError, &fs, [&] { fsLog += fs.readAllStandardError(); });
	fs.start(QStringLiteral(KELP_CASEFOLD_FS), {backing, control, cache, QStringLiteral("120")});
	const auto unmount = qScopeGuard([&] {
		QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), cache});
		if (!fs.waitForFinished(10000))
			fs.kill();
		fs.waitForFinished();
	});
	QTRY_VERIFY2(QFileInfo::exists(cache + QStringLiteral("/v2/index.html")), fsLog.constData());
	kelpsim::ServiceSim sim;
	QVERIFY(sim.listen());
	setKelpServiceOrigin(sim.origin());
	QVERIFY(writeFile(home.filePath(QStringLiteral("v2/index.html")), "v2 page"));
	QVERIFY(sim.publishRuntime(QStringLiteral("v2"), home.filePath(QStringLiteral("v2"))));

	KelpDock dock;
	QVERIFY2(dock.findChild<QLabel *>(QStringLiteral("busLabel"))->text().startsWith(QStringLiteral("●")),
		 "port 4251 is held by another process");
	// Read over the wire all along: the first answer that is none of the allowed ones.
	const auto servedUntil = [&](const QString &row, const QStringList &allowed) {
		const auto runtimeRow = [&] {
			return dock.findChild<QLabel *>(QStringLiteral("runtimeLabel"))->text();
		};
		QElapsedTimer clock;
		clock.start();
		while (runtimeRow() != row && clock.elapsed() < 30000) {
			if (const QString page = served(); !allowed.contains(page))
				return page;
		}
		return runtimeRow() == row ? QString() : runtimeRow();
	};
	const auto listed = [&] {
		return QDir(backing).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
	};

	// v2 names no folder exactly, so it is downloaded; its move into place fails every time.
	QCOMPARE(servedUntil(QStringLiteral("Runtime V2 · update failed"), {"V2 V2 page"}), QString());
	QTRY_COMPARE(fsLog.count("refused rename /.v2.staging-"), 1 + RuntimeUpdater::kActivateRetries);
	QCOMPARE(listed(), QStringList{"V2"});

	// Once the move succeeds, v2 takes the place of V2 (the version and the page are two requests, so
	// the switch may fall between them).
	QVERIFY(writeFile(control, ""));
	dock.findChild<QPushButton *>(QStringLiteral("checkRuntimeButton"))->click();
	QCOMPARE(servedUntil(QStringLiteral("Runtime v2 · active"), {"V2 V2 page", "V2 v2 page", "v2 v2 page"}),
		 QString());
	QCOMPARE(served(), QStringLiteral("v2 v2 page"));
	QCOMPARE(listed(), QStringList{"v2"});
#endif
}

QTEST_MAIN(TestRuntimeDock)
#include "test-runtime-dock.moc"
