#include "support/raw-http.h"

#include <obs-standin.h>

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <util/base.h>

// Drives the module built against the stand-in through its exported entry points, in the order
// OBS calls them.
class TestModule : public QObject {
	Q_OBJECT

	using SetPointer = void (*)(obs_module_t *);
	using Ver = uint32_t (*)();
	using SetLocale = void (*)(const char *);
	using FreeLocale = void (*)();
	using GetString = bool (*)(const char *, const char **);
	using Load = bool (*)();
	using Unload = void (*)();
	using Description = const char *(*)();

	QLibrary library{QStringLiteral(KELP_STANDIN_MODULE)};
	QTemporaryDir home;
	SetPointer setPointer = nullptr;
	Ver ver = nullptr;
	SetLocale setLocale = nullptr;
	FreeLocale freeLocale = nullptr;
	GetString getString = nullptr;
	Load load = nullptr;
	Unload unload = nullptr;
	Description description = nullptr;

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
		QVERIFY2(library.load(), qPrintable(library.errorString()));
		setPointer = reinterpret_cast<SetPointer>(library.resolve("obs_module_set_pointer"));
		ver = reinterpret_cast<Ver>(library.resolve("obs_module_ver"));
		setLocale = reinterpret_cast<SetLocale>(library.resolve("obs_module_set_locale"));
		freeLocale = reinterpret_cast<FreeLocale>(library.resolve("obs_module_free_locale"));
		getString = reinterpret_cast<GetString>(library.resolve("obs_module_get_string"));
		load = reinterpret_cast<Load>(library.resolve("obs_module_load"));
		unload = reinterpret_cast<Unload>(library.resolve("obs_module_unload"));
		description = reinterpret_cast<Description>(library.resolve("obs_module_description"));
		QVERIFY(setPointer && ver && setLocale && freeLocale && getString && load && unload && description);
		// Module internals stay hidden.
		QVERIFY(!library.resolve("_Z16kelpModuleHandlev"));
	}

	void init()
	{
		standin::reset();
		standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
		standin::setModuleConfigPath(home.filePath("config"));
		setPointer(standin::module());
	}

	void fixedAnswers()
	{
		QCOMPARE(ver(), uint32_t(0x1F010001));
		QCOMPARE(QByteArray(description()),
			 QByteArray("KELP realtime event runtime, dock and local widget event bus."));
	}

	void localeLookups()
	{
		const int before = standin::liveLocaleLookups();
		setLocale("en-US");
		setLocale("de-DE");
		QCOMPARE(standin::liveLocaleLookups(), before + 1);
		const char *text = nullptr;
		QVERIFY(getString("KelpDockTitle", &text));
		QCOMPARE(QByteArray(text), QByteArray("KELP"));
		QVERIFY(!getString("NoSuchKey", &text));
		freeLocale();
		QCOMPARE(standin::liveLocaleLookups(), before);
		QVERIFY(!getString("KelpDockTitle", &text));
	}

	void loadAndUnload()
	{
		QVERIFY(portIsFree());
		QVERIFY(load());
		const QList<standin::LogEntry> log = standin::log();
		QCOMPARE(log.size(), 3);
		QCOMPARE(log.at(0).level, LOG_INFO);
		QCOMPARE(log.at(0).text, QString("[KELP] loading KELP OBS Plugin 0.4.2"));
		QCOMPARE(log.at(1).text, QString("[KELP] private Qt plugin path registered"));
		QCOMPARE(log.at(2).level, LOG_INFO);
		QCOMPARE(log.at(2).text, QString("[KELP] dock registered; OBS layout left untouched"));
		QVERIFY(QCoreApplication::libraryPaths().contains(
			QDir(KELP_TEST_DATA_DIR "/qt-plugins").absolutePath()));

		QCOMPARE(standin::dockIds(), QStringList{"kelp_obs_dock"});
		QWidget *dock = standin::dock("kelp_obs_dock");
		QVERIFY(dock);
		QVERIFY(!dock->parent());
		QVERIFY(!dock->isVisible()); // its place is left to OBS
		QVERIFY(rawGet("/health").body.startsWith("{\"ok\":true,\"service\":\"kelp-obs-local-sse\""));

		unload();
		QCOMPARE(standin::removedDockIds(), QStringList{"kelp_obs_dock"});
		QVERIFY(standin::dockIds().isEmpty());
		QCOMPARE(standin::log().last().text, QString("[KELP] unloaded KELP OBS Plugin 0.4.2"));
		QVERIFY(portIsFree());
	}

	void missingQtPluginFolderIsSilent()
	{
		QTemporaryDir data;
		standin::setModuleDataPath(data.path());
		QVERIFY(load());
		QCOMPARE(standin::logTexts(), (QStringList{"[KELP] loading KELP OBS Plugin 0.4.2",
							   "[KELP] dock registered; OBS layout left untouched"}));
		unload();
	}

	void refusedRegistration()
	{
		standin::setAcceptDocks(false);
		QVERIFY(!load());
		const standin::LogEntry last = standin::log().last();
		QCOMPARE(last.level, LOG_ERROR);
		QCOMPARE(last.text, QString("[KELP] could not add KELP dock"));
		QVERIFY(standin::dockIds().isEmpty());
		QVERIFY(portIsFree());

		// A later successful load works: nothing of the failed one lingers.
		standin::setAcceptDocks(true);
		QVERIFY(load());
		QVERIFY(standin::dock("kelp_obs_dock"));
		unload();
		QVERIFY(portIsFree());
	}
};

QTEST_MAIN(TestModule)
#include "test-module.moc"
