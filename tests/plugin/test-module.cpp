#include "plugin/qt-plugins-fit.h"
#include "support/raw-http.h"

#include <module-host.h>
#include <obs-standin.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <util/base.h>

// Drives the module built against the stand-in through its exported entry points, loaded the way
// the dev host loads it.
class TestModule : public QObject {
	Q_OBJECT

	QTemporaryDir home;
	ModuleHost host{QStringLiteral(KELP_STANDIN_MODULE)};
	const ModuleEntryPoints &entry = host.entryPoints();

	// The version the Windows version resource carries, read from the resource script the build
	// generates on every platform; the module's log lines must name the same one.
	static QString resourceVersion()
	{
		QFile rc(QStringLiteral(KELP_VERSION_RESOURCE));
		if (!rc.open(QIODevice::ReadOnly))
			return QString();
		const auto match = QRegularExpression(QStringLiteral("VALUE \"ProductVersion\", \"([^\"]+)\""))
					   .match(QString::fromUtf8(rc.readAll()));
		return match.captured(1);
	}

	static bool portIsFree()
	{
		QTcpServer probe;
		return probe.listen(QHostAddress::LocalHost, 4251);
	}

private slots:
	void initTestCase()
	{
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath("settings"));
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("settings"));
		QString error;
		QVERIFY2(host.open(&error), qPrintable(error));
	}

	void init()
	{
		standin::reset();
		standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
		standin::setModuleConfigPath(home.filePath("config"));
		entry.setPointer(standin::module());
	}

	void cleanup() { host.unload(); }

	void versionAndLocale()
	{
		// OBS refuses a module built for a newer API than its own.
		QCOMPARE(entry.ver(), uint32_t(0x1F010001));

		const int before = standin::liveLocaleLookups();
		entry.setLocale("en-US");
		entry.setLocale("de-DE"); // replaces the first lookup instead of leaking it
		QCOMPARE(standin::liveLocaleLookups(), before + 1);
		const char *text = nullptr;
		QVERIFY(entry.getString("KelpDockTitle", &text));
		QCOMPARE(QByteArray(text), QByteArray("KELP"));
		QVERIFY(!entry.getString("NoSuchKey", &text));
		entry.freeLocale();
		QCOMPARE(standin::liveLocaleLookups(), before);
		QVERIFY(!entry.getString("KelpDockTitle", &text));
	}

	// The module's TLS backend goes only into the Qt minor version it was built for.
	void qtPluginsFitRunningQt_data()
	{
		QTest::addColumn<QString>("running");
		QTest::addColumn<QString>("built");
		QTest::addColumn<bool>("fits");
		QTest::newRow("equal") << QString("6.8.3") << QString("6.8.3") << true;
		QTest::newRow("older patch") << QString("6.8.1") << QString("6.8.3") << true;
		QTest::newRow("newer patch") << QString("6.8.5") << QString("6.8.3") << true;
		QTest::newRow("another minor") << QString("6.10.1") << QString("6.8.3") << false;
		QTest::newRow("6.1 is not 6.10") << QString("6.1.0") << QString("6.10.1") << false;
		QTest::newRow("another major") << QString("7.8.3") << QString("6.8.3") << false;
	}

	void qtPluginsFitRunningQt()
	{
		QFETCH(QString, running);
		QFETCH(QString, built);
		QFETCH(bool, fits);
		const QString warning =
			QString("[KELP] private Qt plugin path not registered: its plug-ins were built for "
				"Qt %1 and OBS runs Qt %2; HTTPS now depends on OBS's own Qt")
				.arg(built, running);
		QCOMPARE(qtPluginsMismatch(running, built), fits ? QString() : warning);
	}

	void loadAndUnload_data()
	{
		QTest::addColumn<bool>("qtPlugins");
		QTest::addColumn<bool>("acceptDock");
		QTest::addColumn<QStringList>("log");
		const QString version = resourceVersion();
		QVERIFY(!version.isEmpty());
		const QString loading = QStringLiteral("[KELP] loading KELP OBS Plugin ") + version;
		const QString pluginPath = QStringLiteral("[KELP] private Qt plugin path registered");
		const QString registered = QStringLiteral("[KELP] dock registered; OBS layout left untouched");
		QTest::newRow("load") << true << true << QStringList{loading, pluginPath, registered};
		QTest::newRow("no qt-plugins folder, silently") << false << true << QStringList{loading, registered};
		QTest::newRow("dock refused")
			<< true << false << QStringList{loading, pluginPath, "[KELP] could not add KELP dock"};
	}

	void loadAndUnload()
	{
		QFETCH(bool, qtPlugins);
		QFETCH(bool, acceptDock);
		QFETCH(QStringList, log);
		QTemporaryDir bare;
		if (!qtPlugins)
			standin::setModuleDataPath(bare.path());
		standin::setAcceptDocks(acceptDock);
		const int locales = standin::liveLocaleLookups();
		QVERIFY(portIsFree());

		QString error;
		QCOMPARE(host.load(standin::module(), QStringLiteral("en-US"), &error), acceptDock);
		QCOMPARE(standin::logTexts(), log);
		if (qtPlugins)
			QVERIFY(QCoreApplication::libraryPaths().contains(
				QDir(KELP_TEST_DATA_DIR "/qt-plugins").canonicalPath()));
		if (!acceptDock) {
			QCOMPARE(standin::log().last().level, LOG_ERROR);
			QVERIFY(standin::dockIds().isEmpty());
			QVERIFY(portIsFree());
			QCOMPARE(standin::liveLocaleLookups(), locales);
			// Nothing of the failed load lingers: the next one works.
			standin::setAcceptDocks(true);
			QVERIFY2(host.load(standin::module(), QStringLiteral("en-US"), &error), qPrintable(error));
		}

		QCOMPARE(standin::dockIds(), QStringList{"kelp_obs_dock"});
		QWidget *dock = standin::dock("kelp_obs_dock");
		QVERIFY(dock && !dock->parent());
		QVERIFY(!dock->isVisible()); // its place is left to OBS
		QVERIFY(rawGet("/health").body.startsWith("{\"ok\":true,\"service\":\"kelp-obs-local-sse\""));

		host.unload();
		QCOMPARE(standin::removedDockIds(), QStringList{"kelp_obs_dock"});
		QVERIFY(standin::dockIds().isEmpty());
		QCOMPARE(standin::logTexts().last(), QString("[KELP] unloaded KELP OBS Plugin " + resourceVersion()));
		QCOMPARE(standin::liveLocaleLookups(), locales);
		QCOMPARE(standin::outstandingReferences(), QStringList());
		QVERIFY(portIsFree());
	}
};

QTEST_MAIN(TestModule)
#include "test-module.moc"
