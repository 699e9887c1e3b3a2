#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "dock/event-goal-source.h"
#include "dock/kelp-dock.h"
#include "plugin/module-handle.h"
#include "runtime/runtime-updater.h"

#include <obs-standin.h>

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString kScene = QStringLiteral("Scene");
const QString kLocal = QStringLiteral("KELP Event Goal (Local)");
const QString kPlain = QStringLiteral("KELP Event Goal");
const QString kBundledUrl = QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=bundled");

QVariantMap createdSettings(const QString &url)
{
	return {{"is_local_file", false}, {"url", url},        {"width", 1000LL},
		{"height", 1600LL},       {"shutdown", false}, {"restart_when_active", false},
		{"reroute_audio", false}};
}

// A local widget source as a user may have left it: another size and a member of its own.
QVariantMap userLocalSettings(const QString &url)
{
	return {{"url", url}, {"width", 640}, {"height", 480}, {"css", QStringLiteral("body{}")}};
}
} // namespace

class TestDockGoal : public QObject {
	Q_OBJECT

private:
	QTemporaryDir home;
	std::unique_ptr<KelpDock> dock;

	void makeDock() { dock = std::make_unique<KelpDock>(); }

	void install() { QVERIFY(QMetaObject::invokeMethod(dock.get(), "installEventGoal")); }

	// Log messages without their "HH:mm:ss  " prefix, newest first.
	QStringList messages() const
	{
		auto *list = dock->findChild<QListWidget *>("logList");
		QStringList lines;
		for (int i = 0; i < list->count(); ++i)
			lines.append(list->item(i)->text().mid(10));
		return lines;
	}

	void sendConfig(const QByteArray &json)
	{
		auto *client = dock->findChild<KelpClient *>();
		QVERIFY(client);
		emit client->widgetConfigReceived(json, QStringLiteral("rev-0001-abcdef"));
	}

	void activateRuntime(const QString &version, bool changed)
	{
		auto *updater = dock->findChild<RuntimeUpdater *>();
		QVERIFY(updater);
		emit updater->runtimeActivated(QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal"), version,
					       changed);
	}

	static QStringList sceneItemNames(const QString &scene)
	{
		QStringList names;
		for (const standin::SceneItem &item : standin::sceneItems(scene))
			names.append(item.source);
		return names;
	}

private slots:
	void initTestCase()
	{
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath("settings"));
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("settings"));
		// Nothing listens there: the updater's first manifest check fails at once, off the network.
		setKelpServiceOrigin(QStringLiteral("https://127.0.0.1:1"));
		setKelpModuleHandle(standin::module());
		standin::setModuleConfigPath(home.filePath("config"));
	}

	void init()
	{
		standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
		standin::addScene(kScene);
		standin::setCurrentScene(kScene);
	}

	void cleanup()
	{
		dock.reset();
		QSettings(kKelpSettingsOrganization, kKelpSettingsApplication).clear();
		// Everything the module obtained from the host was released, and nothing twice.
		QCOMPARE(standin::outstandingReferences(), QStringList());
		standin::reset();
	}

	// The leak check in cleanup() is only worth something if the stand-in really notices.
	void standinReportsLeaksAndDoubleReleases()
	{
		standin::addSource(kLocal, QStringLiteral("browser_source"));
		obs_source_t *source = obs_get_source_by_name(kLocal.toUtf8().constData());
		obs_data_t *settings = obs_source_get_settings(source);
		QCOMPARE(standin::outstandingReferences().size(), 2);
		obs_data_release(settings);
		obs_source_release(source);
		QCOMPARE(standin::outstandingReferences(), QStringList());
		obs_source_release(source);
		obs_data_release(settings);
		QCOMPARE(standin::outstandingReferences().size(), 2);
		// The host's own references survive the extra releases.
		QVERIFY(standin::sourceNames().contains(kLocal));
		standin::reset();
		QVERIFY(standin::outstandingReferences().isEmpty());
	}

	void recognisesLocalSources_data()
	{
		QTest::addColumn<QString>("type");
		QTest::addColumn<QVariantMap>("settings");
		QTest::addColumn<bool>("accepted");

		const QString browser = QStringLiteral("browser_source");
		QTest::newRow("loopback") << browser << QVariantMap{{"url", kBundledUrl}} << true;
		QTest::newRow("localhost in capitals")
			<< browser << QVariantMap{{"url", "HTTP://LOCALHOST:4251/WIDGET/EVENT-GOAL/?x"}} << true;
		QTest::newRow("loopback in capitals")
			<< browser << QVariantMap{{"url", "HTTP://127.0.0.1:4251/Widget/Event-Goal/"}} << true;
		QTest::newRow("prefix only")
			<< browser << QVariantMap{{"url", "http://127.0.0.1:4251/widget/event-goal/"}} << true;
		QTest::newRow("no trailing slash")
			<< browser << QVariantMap{{"url", "http://127.0.0.1:4251/widget/event-goal"}} << false;
		QTest::newRow("other port")
			<< browser << QVariantMap{{"url", "http://127.0.0.1:4252/widget/event-goal/"}} << false;
		QTest::newRow("https") << browser << QVariantMap{{"url", "https://127.0.0.1:4251/widget/event-goal/"}}
				       << false;
		QTest::newRow("other service")
			<< browser << QVariantMap{{"url", "https://overlay.example/widget/event-goal/"}} << false;
		QTest::newRow("no url") << browser << QVariantMap{} << false;
		QTest::newRow("url not a string") << browser << QVariantMap{{"url", 4251}} << false;
		QTest::newRow("type in other case")
			<< QStringLiteral("Browser_Source") << QVariantMap{{"url", kBundledUrl}} << false;
		QTest::newRow("other type")
			<< QStringLiteral("image_source") << QVariantMap{{"url", kBundledUrl}} << false;
	}

	void recognisesLocalSources()
	{
		QFETCH(QString, type);
		QFETCH(QVariantMap, settings);
		QFETCH(bool, accepted);

		QVERIFY(!isKelpEventGoalSource(nullptr));
		standin::addSource(QStringLiteral("candidate"), type, settings);
		OBSSourceAutoRelease source = obs_get_source_by_name("candidate");
		QCOMPARE(isKelpEventGoalSource(source), accepted);
	}

	void installCreatesSourceAtOrigin()
	{
		makeDock();
		install();
		QCOMPARE(standin::sourceTypeId(kLocal), QStringLiteral("browser_source"));
		QCOMPARE(standin::sourceSettings(kLocal), createdSettings(kBundledUrl));
		const QList<standin::SceneItem> items = standin::sceneItems(kScene);
		QCOMPARE(items.size(), 1);
		QCOMPARE(items[0].source, kLocal);
		QCOMPARE(items[0].x, 0.0f);
		QCOMPARE(items[0].y, 0.0f);
		QCOMPARE(messages().first(),
			 QStringLiteral("Added KELP Event Goal (Local) with runtime bundled. Existing "
					"StreamElements widgets remain untouched."));
	}

	void installUsesActiveRuntime()
	{
		// A cached runtime that the updater activates at start.
		QVERIFY(QDir().mkpath(home.filePath("config/runtime/event-goal/7.1.0")));
		QFile index(home.filePath("config/runtime/event-goal/7.1.0/index.html"));
		QVERIFY(index.open(QIODevice::WriteOnly));
		index.close();
		QSettings(kKelpSettingsOrganization, kKelpSettingsApplication)
			.setValue(QStringLiteral("runtime/event_goal_version"), QStringLiteral("7.1.0"));

		makeDock();
		QVERIFY(messages().contains(QStringLiteral("Using cached widget runtime 7.1.0.")));
		install();
		QCOMPARE(standin::sourceSettings(kLocal).value("url").toString(),
			 QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=7.1.0"));
		QCOMPARE(messages().first(),
			 QStringLiteral("Added KELP Event Goal (Local) with runtime 7.1.0. Existing "
					"StreamElements widgets remain untouched."));
		QDir(home.filePath("config")).removeRecursively();
	}

	void installRefusals_data()
	{
		QTest::addColumn<QString>("setup");
		QTest::addColumn<QString>("message");

		QTest::newRow("no current scene") << "no scene"
						  << "No active OBS scene is available.";
		QTest::newRow("current source not a scene") << "camera"
							    << "Current OBS source is not a scene.";
		QTest::newRow("browser missing")
			<< "no browser"
			<< "Could not create KELP-local Browser Source. Make sure OBS Browser is installed.";
		QTest::newRow("scene refuses") << "refuse"
					       << "Could not add KELP-local Event Goal to the current scene.";
	}

	void installRefusals()
	{
		QFETCH(QString, setup);
		QFETCH(QString, message);

		if (setup == "no scene") {
			standin::setCurrentScene(QString());
		} else if (setup == "camera") {
			standin::addSource(QStringLiteral("Camera"), QStringLiteral("v4l2_input"));
			standin::setCurrentScene(QStringLiteral("Camera"));
		} else if (setup == "no browser") {
			standin::setFailSourceCreation(true);
		} else {
			standin::setSceneRefusesAdd(kScene, true);
		}
		const QStringList before = standin::sourceNames();

		makeDock();
		install();
		QCOMPARE(messages().first(), message);
		// The refused source was released and is gone again.
		QCOMPARE(standin::sourceNames(), before);
		QVERIFY(standin::sceneItems(kScene).isEmpty());
	}

	void localSourceRefreshedInPlace_data()
	{
		QTest::addColumn<QString>("name");
		QTest::addColumn<QString>("url");

		QTest::newRow("localhost in capitals")
			<< kLocal << QStringLiteral("HTTP://LOCALHOST:4251/WIDGET/EVENT-GOAL/?runtime=0.9.0");
		QTest::newRow("under the plain name")
			<< kPlain << QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=0.9.0");
	}

	void localSourceRefreshedInPlace()
	{
		QFETCH(QString, name);
		QFETCH(QString, url);

		standin::addScene(QStringLiteral("Other"));
		standin::addSource(name, QStringLiteral("browser_source"), userLocalSettings(url));
		makeDock();
		install();

		QVariantMap expected = createdSettings(kBundledUrl);
		expected.insert("css", QStringLiteral("body{}"));
		QCOMPARE(standin::sourceSettings(name), expected);
		QCOMPARE(standin::sourceUpdateCount(name), 1);
		QVERIFY(standin::sceneItems(kScene).isEmpty());
		QCOMPARE(standin::sourceNames().count(name), 1);
		QCOMPARE(messages().first(),
			 QStringLiteral(
				 "Existing KELP-local Event Goal refreshed. StreamElements source was not changed."));
		QVERIFY(messages().filter("external").isEmpty());
	}

	void foreignSourceReportedAndLeftAlone_data()
	{
		QTest::addColumn<QString>("type");
		QTest::addColumn<QString>("url");

		QTest::newRow("other service, long url")
			<< QStringLiteral("browser_source")
			<< QStringLiteral("https://overlay.example/goal/") + QString(150, QLatin1Char('x'));
		QTest::newRow("local url, other type") << QStringLiteral("Browser_Source") << kBundledUrl;
		QTest::newRow("no url") << QStringLiteral("browser_source") << QString();
	}

	void foreignSourceReportedAndLeftAlone()
	{
		QFETCH(QString, type);
		QFETCH(QString, url);

		const QVariantMap foreign = url.isEmpty() ? QVariantMap{} : QVariantMap{{"url", url}};
		standin::addSource(kPlain, type, foreign);
		makeDock();
		install();

		QVERIFY(messages().contains(QStringLiteral("Existing external Event Goal left untouched: ") +
					    url.left(120)));
		QCOMPARE(standin::sourceSettings(kPlain), foreign);
		QCOMPARE(standin::sourceUpdateCount(kPlain), 0);
		QCOMPARE(sceneItemNames(kScene), QStringList{kLocal});
		QCOMPARE(standin::sourceSettings(kLocal), createdSettings(kBundledUrl));
	}

	void takenNamesAreNumbered()
	{
		standin::addSource(kLocal, QStringLiteral("image_source"));
		makeDock();
		install();
		install();
		QCOMPARE(sceneItemNames(kScene),
			 (QStringList{"KELP Event Goal (Local 2)", "KELP Event Goal (Local 3)"}));
		QCOMPARE(messages().first(), QStringLiteral("Added KELP Event Goal (Local 3) with runtime bundled. "
							    "Existing StreamElements widgets remain untouched."));
		QCOMPARE(standin::sourceSettings(kLocal), QVariantMap());
	}

	void nameAfterEveryNumberTaken()
	{
		standin::addSource(kLocal, QStringLiteral("image_source"));
		for (int n = 2; n <= 98; ++n)
			standin::addSource(QStringLiteral("KELP Event Goal (Local %1)").arg(n),
					   QStringLiteral("color"));
		const qint64 before = QDateTime::currentMSecsSinceEpoch();
		const QString name = uniqueEventGoalName();
		const qint64 after = QDateTime::currentMSecsSinceEpoch();

		QVERIFY2(name.startsWith("KELP Event Goal (Local ") && name.endsWith(')'), qPrintable(name));
		const qint64 stamp = name.mid(23, name.size() - 24).toLongLong();
		QVERIFY2(stamp >= before && stamp <= after, qPrintable(name));
	}

	void heightFollowsConfig_data()
	{
		QTest::addColumn<QByteArray>("config");
		QTest::addColumn<int>("height");

		QTest::newRow("no text_layout") << QByteArray("{}") << 1600;
		QTest::newRow("text_layout not an object") << QByteArray(R"({"text_layout":[40]})") << 1600;
		QTest::newRow("non-number members use defaults")
			<< QByteArray(R"({"text_layout":{"offset_y":"900","title_size":null}})") << 1600;
		QTest::newRow("offset -40, title 40, value 120")
			<< QByteArray(R"({"text_layout":{"offset_y":-40,"title_size":40,"value_size":120}})") << 2040;
		QTest::newRow("fraction rounds up") << QByteArray(R"({"text_layout":{"offset_y":100.2}})") << 1694;
		QTest::newRow("content 5499") << QByteArray(R"({"text_layout":{"offset_y":5253}})") << 11998;
		QTest::newRow("content 5500") << QByteArray(R"({"text_layout":{"offset_y":5254}})") << 12000;
		QTest::newRow("1e12") << QByteArray(R"({"text_layout":{"value_size":1e12}})") << 12000;
		QTest::newRow("hugely negative") << QByteArray(R"({"text_layout":{"title_size":-1e12}})") << 1600;
		QTest::newRow("sum overflows to infinity")
			<< QByteArray(R"({"text_layout":{"offset_y":1e308,"value_size":1e308}})") << 12000;
		// Infinities of both signs leave no meaningful content: the size stays.
		QTest::newRow("sum has no value")
			<< QByteArray(R"({"text_layout":{"value_size":1e308,"title_size":-1e308}})") << -1;
		QTest::newRow("broken JSON") << QByteArray(R"({"text_layout":)") << -1;
		QTest::newRow("array") << QByteArray("[1,2]") << -1;
		QTest::newRow("empty") << QByteArray() << -1;
	}

	void heightFollowsConfig()
	{
		QFETCH(QByteArray, config);
		QFETCH(int, height);

		standin::addSource(kLocal, QStringLiteral("browser_source"), userLocalSettings(kBundledUrl));
		makeDock();
		sendConfig(config);

		QVariantMap expected = userLocalSettings(kBundledUrl);
		if (height > 0) {
			expected.insert("width", 1000LL);
			expected.insert("height", qlonglong(height));
		}
		QCOMPARE(standin::sourceSettings(kLocal), expected);
		QCOMPARE(standin::sourceUpdateCount(kLocal), height > 0 ? 1 : 0);
		// The resize is silent; the config line is still written.
		QCOMPARE(messages().first(), QStringLiteral("Event Goal config synced · rev-0001"));
	}

	void runtimeActivation_data()
	{
		QTest::addColumn<bool>("changed");
		QTest::addColumn<QString>("message");

		QTest::newRow("cached") << false << "Using cached widget runtime 2.0.1.";
		QTest::newRow("new") << true << "Widget runtime 2.0.1 applied; existing Event Goal refreshed.";
	}

	void runtimeActivation()
	{
		QFETCH(bool, changed);
		QFETCH(QString, message);

		const QString oldUrl = QStringLiteral("http://localhost:4251/widget/event-goal/?runtime=2.0.0");
		standin::addSource(kLocal, QStringLiteral("browser_source"), userLocalSettings(oldUrl));
		makeDock();
		activateRuntime(QStringLiteral("2.0.1"), changed);

		QVariantMap expected = userLocalSettings(oldUrl);
		if (changed) {
			// Size stays; only the page and its lifetime flags change.
			expected.insert("url",
					QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=2.0.1"));
			expected.insert("is_local_file", false);
			expected.insert("shutdown", false);
			expected.insert("restart_when_active", false);
		}
		QCOMPARE(standin::sourceSettings(kLocal), expected);
		QCOMPARE(standin::sourceUpdateCount(kLocal), changed ? 1 : 0);
		QCOMPARE(messages().first(), message);
	}

	void refreshWithEmptyVersionUsesBundled()
	{
		standin::addSource(kPlain, QStringLiteral("browser_source"),
				   userLocalSettings("http://127.0.0.1:4251/widget/event-goal/?runtime=3.0.0"));
		makeDock();
		QVERIFY(QMetaObject::invokeMethod(dock.get(), "refreshEventGoalRuntime", Q_ARG(QString, QString())));
		QCOMPARE(standin::sourceSettings(kPlain).value("url").toString(), kBundledUrl);
	}

	void nothingLocalToUpdate()
	{
		// Neither a numbered local source nor a foreign one is found for a refresh or a resize.
		const QString numbered = QStringLiteral("KELP Event Goal (Local 2)");
		standin::addSource(numbered, QStringLiteral("browser_source"), userLocalSettings(kBundledUrl));
		standin::addSource(kPlain, QStringLiteral("browser_source"),
				   {{"url", QStringLiteral("https://overlay.example/goal")}});
		makeDock();
		const int logged = messages().size();
		activateRuntime(QStringLiteral("4.0.0"), true);
		sendConfig(R"({"text_layout":{"offset_y":900}})");

		QCOMPARE(standin::sourceUpdateCount(numbered), 0);
		QCOMPARE(standin::sourceUpdateCount(kPlain), 0);
		QCOMPARE(messages().mid(0, messages().size() - logged),
			 (QStringList{"Event Goal config synced · rev-0001",
				      "Widget runtime 4.0.0 applied; existing Event Goal refreshed."}));
	}

	void buttonInstalls()
	{
		makeDock();
		dock->findChild<QPushButton *>("addEventGoalButton")->click();
		QCOMPARE(sceneItemNames(kScene), QStringList{kLocal});
	}
};

QTEST_MAIN(TestDockGoal)
#include "test-dock-goal.moc"
