#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "dock/event-goal-source.h"
#include "dock/kelp-dock.h"
#include "plugin/module-handle.h"
#include "runtime/runtime-updater.h"
#include "support/raw-http.h"

#include <obs-standin.h>

#include <QDir>
#include <QFile>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QByteArray kStreamRequest = "GET /events HTTP/1.1\r\n\r\n";
const QString kScene = QStringLiteral("Scene");
const QString kBrowser = QStringLiteral("browser_source");
const QString kLocal = QStringLiteral("KELP Event Goal (Local)");
const QString kPlain = QStringLiteral("KELP Event Goal");
const QString kBundledUrl = QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=bundled");

// The log, newest first; `stamped` keeps each line's "HH:mm:ss  " prefix.
QStringList logLines(QWidget *dock, bool stamped = false)
{
	auto *list = dock->findChild<QListWidget *>("logList");
	QStringList lines;
	for (int i = 0; i < list->count(); ++i)
		lines.append(list->item(i)->text().mid(stamped ? 0 : 10));
	return lines;
}

QString labelText(QWidget *dock, const char *name)
{
	auto *label = dock->findChild<QLabel *>(name);
	return label ? label->text() : QStringLiteral("<missing %1>").arg(name);
}

// Every realtime event block a stream received, in order.
QList<QByteArray> kelpPayloads(const QByteArray &received)
{
	QList<QByteArray> payloads;
	static const QRegularExpression block(QStringLiteral("event: kelp\ndata: ([^\n]*)\n\n"));
	for (auto it = block.globalMatch(QString::fromUtf8(received)); it.hasNext();)
		payloads.append(it.next().captured(1).toUtf8());
	return payloads;
}

QVariantMap createdSettings(const QString &url)
{
	return {{"is_local_file", false}, {"url", url},        {"width", 1000LL},
		{"height", 1600LL},       {"shutdown", false}, {"restart_when_active", false},
		{"reroute_audio", false}};
}

// A local widget source as a user may have left it: another size and a member of its own.
QVariantMap userSettings(const QString &url)
{
	return {{"url", url}, {"width", 640}, {"height", 480}, {"css", QStringLiteral("body{}")}};
}

QString added(const QString &name, const QString &version)
{
	return QStringLiteral("Added %1 with runtime %2. Existing StreamElements widgets remain untouched.")
		.arg(name, version);
}
} // namespace

// The dock against the libobs stand-in, which counts every reference the module takes.
class TestDock : public QObject {
	Q_OBJECT

	QTemporaryDir home;
	std::unique_ptr<KelpDock> dock;

	QStringList messages() const { return logLines(dock.get()); }
	void installEventGoal() { QVERIFY(QMetaObject::invokeMethod(dock.get(), "installEventGoal")); }

	void sendConfig(const QByteArray &json)
	{
		emit dock->findChild<KelpClient *>()->widgetConfigReceived(json, QStringLiteral("rev-0001-abcdef"));
	}

	void activateRuntime(const QString &version, bool changed)
	{
		emit dock->findChild<RuntimeUpdater *>()->runtimeActivated(
			QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal"), version, changed);
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
		QDir(home.filePath("config")).removeRecursively();
		const QStringList outstanding = standin::outstandingReferences();
		standin::reset();
		// Everything the module obtained from the host was released, and nothing twice.
		QCOMPARE(outstanding, QStringList());
	}

	void panelButtonsAndBuiltInPage()
	{
		dock = std::make_unique<KelpDock>();
		QStringList names;
		for (QPushButton *button : dock->findChildren<QPushButton *>()) {
			names.append(button->objectName());
			QCOMPARE(button->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
			QCOMPARE(button->minimumWidth(), 0);
			// Texts show as written: an ampersand must not become a mnemonic.
			QVERIFY2(QKeySequence::mnemonic(button->text()).isEmpty(), qPrintable(button->text()));
		}
		names.sort();
		QCOMPARE(names,
			 (QStringList{"addEventGoalButton", "checkRuntimeButton", "copyCodeButton", "disconnectButton",
				      "openSiteButton", "pairButton", "syncConfigButton", "testEventButton"}));
		QCOMPARE(dock->findChild<QPushButton *>("openSiteButton")->text().replace("&&", "&"),
			 QString("Open OBS & Widgets"));
		QCOMPARE(labelText(dock.get(), "lastEventLabel"), QString("—"));
		QVERIFY(logLines(dock.get()).filter("could", Qt::CaseInsensitive).isEmpty());

		const HttpResponse page = rawGet("/widget/event-goal/");
		QFile index(QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal/index.html"));
		QVERIFY(index.open(QIODevice::ReadOnly));
		QCOMPARE(page.status, 200);
		QCOMPARE(page.body, index.readAll());
	}

	void busRowFollowsStreams()
	{
		dock = std::make_unique<KelpDock>();
		const auto busRow = [](int streams) {
			return QStringLiteral("● http://127.0.0.1:4251/events\nBrowser widgets connected: %1")
				.arg(streams);
		};
		QCOMPARE(labelText(dock.get(), "busLabel"), busRow(0));
		RawClient stream;
		stream.send(kStreamRequest);
		QTRY_COMPARE(labelText(dock.get(), "busLabel"), busRow(1));
		stream.socket.disconnectFromHost();
		QTRY_COMPARE(labelText(dock.get(), "busLabel"), busRow(0));
	}

	void hostProblemsAreReported()
	{
		QTcpServer squatter;
		QVERIFY(squatter.listen(QHostAddress::LocalHost, 4251));
		QTemporaryDir empty;
		standin::setModuleDataPath(empty.path());
		dock = std::make_unique<KelpDock>();
		QCOMPARE(labelText(dock.get(), "busLabel"), QString("○ Local runtime unavailable"));
		const QStringList lines = logLines(dock.get());
		QVERIFY(lines.contains("Could not bind local port 4251. Another KELP runtime may already be running."));
		QVERIFY(lines.contains("Event Goal data directory could not be resolved."));
		// Buttons stay usable: the test donation still runs its whole path.
		dock->findChild<QPushButton *>("testEventButton")->click();
		QCOMPARE(logLines(dock.get()).first(), QString("Local test donation sent to Browser Sources."));
	}

	void logKeepsFiftyNewestFirst()
	{
		dock = std::make_unique<KelpDock>();
		for (int seq = 1; seq <= 51; ++seq)
			QMetaObject::invokeMethod(dock.get(), "onEvent",
						  Q_ARG(QByteArray, "{\"seq\":" + QByteArray::number(seq) + "}"));
		const QStringList lines = logLines(dock.get(), true);
		QCOMPARE(lines.size(), 50);
		QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d  kelp / event / seq 51$")
				 .match(lines.first())
				 .hasMatch(),
			 qPrintable(lines.first()));
		QCOMPARE(lines.last().mid(10), QString("kelp / event / seq 2"));
	}

	void onEventSummarisesAndForwards_data()
	{
		QTest::addColumn<QByteArray>("json");
		QTest::addColumn<QString>("label");
		QTest::addColumn<bool>("logged"); // the label's text with " / " between the parts

		QTest::newRow("full") << QByteArray(R"({"seq":42,"type":"donation","provider":"kelp","amount":5})")
				      << "kelp · donation · seq 42" << true;
		QTest::newRow("defaults") << QByteArray("{}") << "kelp · event · seq 0" << true;
		QTest::newRow("fractional seq")
			<< QByteArray(R"({"seq":12.9,"provider":"x"})") << "x · event · seq 12" << true;
		QTest::newRow("string seq and wrong types")
			<< QByteArray(R"({"seq":"7","type":3,"provider":null})") << "kelp · event · seq 0" << true;
		QTest::newRow("placeholders in values")
			<< QByteArray(R"({"type":"%2","provider":"%1","seq":1})") << "%1 · %2 · seq 1" << true;
		QTest::newRow("huge seq saturates")
			<< QByteArray(R"({"seq":1e300})") << "kelp · event · seq 9223372036854775807" << true;
		QTest::newRow("array") << QByteArray("[1,2,3]") << "[1,2,3]" << false;
		const QByteArray broken = "{\"seq\":" + QByteArray(300, '9');
		QTest::newRow("broken json cut at 220 bytes") << broken << QString::fromUtf8(broken.left(220)) << false;
	}

	void onEventSummarisesAndForwards()
	{
		QFETCH(QByteArray, json);
		QFETCH(QString, label);
		QFETCH(bool, logged);
		dock = std::make_unique<KelpDock>();
		RawClient stream;
		stream.send(kStreamRequest);
		QVERIFY(stream.waitForContains("event: config"));
		const QStringList before = logLines(dock.get());

		QMetaObject::invokeMethod(dock.get(), "onEvent", Q_ARG(QByteArray, json));
		QCOMPARE(labelText(dock.get(), "lastEventLabel"), label);
		const QStringList after = logLines(dock.get());
		QCOMPARE(after.size(), before.size() + (logged ? 1 : 0));
		if (logged)
			QCOMPARE(after.first(), QString(label).replace(" · ", " / "));
		QTRY_COMPARE(kelpPayloads(stream.received), QList<QByteArray>{json});
	}

	void localTestDonations()
	{
		dock = std::make_unique<KelpDock>();
		RawClient stream;
		stream.send(kStreamRequest);
		QVERIFY(stream.waitForContains("event: config"));
		auto *button = dock->findChild<QPushButton *>("testEventButton");
		button->click();
		button->click();
		QTRY_COMPARE(kelpPayloads(stream.received).size(), 2);

		static const QRegularExpression form(QStringLiteral(
			"^\\{\"amount\":100,\"currency\":\"RUB\",\"id\":\"local_([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-"
			"[0-9a-f]{4}-[0-9a-f]{12})\",\"provider\":\"kelp-local-test\",\"seq\":0,\"test\":true,"
			"\"timestamp\":(\\d{13}),\"type\":\"donation\"\\}$"));
		QStringList ids;
		for (const QByteArray &payload : kelpPayloads(stream.received)) {
			const QRegularExpressionMatch match = form.match(QString::fromUtf8(payload));
			QVERIFY2(match.hasMatch(), payload.constData());
			ids.append(match.captured(1));
			QVERIFY(qAbs(match.captured(2).toLongLong() - QDateTime::currentMSecsSinceEpoch()) < 60000);
		}
		QVERIFY(ids.at(0) != ids.at(1));
		QCOMPARE(labelText(dock.get(), "lastEventLabel"), QString("kelp-local-test · donation · local"));
		QCOMPARE(logLines(dock.get()).first(), QString("Local test donation sent to Browser Sources."));
		QVERIFY(rawGet("/health").body.contains("\"delivered\":2,"));
	}

	void standinNoticesLeaksAndDoubleReleases()
	{
		standin::addSource(kLocal, kBrowser);
		obs_source_t *source = obs_get_source_by_name(kLocal.toUtf8().constData());
		obs_data_t *settings = obs_source_get_settings(source);
		QCOMPARE(standin::outstandingReferences().size(), 2);
		obs_data_release(settings);
		obs_source_release(source);
		QCOMPARE(standin::outstandingReferences(), QStringList());
		obs_source_release(source);
		obs_data_release(settings);
		QCOMPARE(standin::outstandingReferences().size(), 2);
		standin::reset();
	}

	void recognisesLocalSources_data()
	{
		QTest::addColumn<QString>("type");
		QTest::addColumn<QVariant>("url");
		QTest::addColumn<bool>("accepted");
		const auto row = [](const char *tag, const QVariant &url, bool accepted,
				    const QString &type = kBrowser) {
			QTest::newRow(tag) << type << url << accepted;
		};
		row("loopback", kBundledUrl, true);
		row("localhost in capitals", "HTTP://LOCALHOST:4251/WIDGET/EVENT-GOAL/?x", true);
		row("no trailing slash", "http://127.0.0.1:4251/widget/event-goal", false);
		row("other port", "http://127.0.0.1:4252/widget/event-goal/", false);
		row("https", "https://127.0.0.1:4251/widget/event-goal/", false);
		row("url not a string", 4251, false);
		row("type in other case", kBundledUrl, false, QStringLiteral("Browser_Source"));
	}

	void recognisesLocalSources()
	{
		QFETCH(QString, type);
		QFETCH(QVariant, url);
		QFETCH(bool, accepted);

		QVERIFY(!isKelpEventGoalSource(nullptr));
		standin::addSource(QStringLiteral("candidate"), type,
				   url.isValid() ? QVariantMap{{"url", url}} : QVariantMap{});
		OBSSourceAutoRelease source = obs_get_source_by_name("candidate");
		QCOMPARE(isKelpEventGoalSource(source), accepted);
	}

	void install_data()
	{
		QTest::addColumn<QString>("setup");
		QTest::addColumn<QString>("runtime"); // empty: nothing is added
		QTest::addColumn<QString>("message");
		QTest::newRow("added") << ""
				       << "bundled" << added(kLocal, "bundled");
		QTest::newRow("with the active runtime") << "cached runtime"
							 << "7.1.0" << added(kLocal, "7.1.0");
		QTest::newRow("no current scene") << "no scene"
						  << ""
						  << "No active OBS scene is available.";
		QTest::newRow("current source not a scene") << "camera"
							    << ""
							    << "Current OBS source is not a scene.";
		QTest::newRow("browser missing")
			<< "no browser"
			<< ""
			<< "Could not create KELP-local Browser Source. Make sure OBS Browser is installed.";
		QTest::newRow("scene refuses") << "refuse"
					       << ""
					       << "Could not add KELP-local Event Goal to the current scene.";
	}

	void install()
	{
		QFETCH(QString, setup);
		QFETCH(QString, runtime);
		QFETCH(QString, message);
		if (setup == "cached runtime") {
			// One that the updater activates at start.
			QVERIFY(QDir().mkpath(home.filePath("config/runtime/event-goal/7.1.0")));
			QFile index(home.filePath("config/runtime/event-goal/7.1.0/index.html"));
			QVERIFY(index.open(QIODevice::WriteOnly));
			QSettings(kKelpSettingsOrganization, kKelpSettingsApplication)
				.setValue(QStringLiteral("runtime/event_goal_version"), QStringLiteral("7.1.0"));
		} else if (setup == "no scene") {
			standin::setCurrentScene(QString());
		} else if (setup == "camera") {
			standin::addSource(QStringLiteral("Camera"), QStringLiteral("v4l2_input"));
			standin::setCurrentScene(QStringLiteral("Camera"));
		} else if (setup == "no browser") {
			standin::setFailSourceCreation(true);
		} else if (setup == "refuse") {
			standin::setSceneRefusesAdd(kScene, true);
		}
		const QStringList before = standin::sourceNames();

		dock = std::make_unique<KelpDock>();
		dock->findChild<QPushButton *>("addEventGoalButton")->click();
		QCOMPARE(messages().first(), message);
		if (runtime.isEmpty()) {
			// A refused source was released and is gone again.
			QCOMPARE(standin::sourceNames(), before);
			QVERIFY(standin::sceneItems(kScene).isEmpty());
			return;
		}
		QCOMPARE(standin::sourceTypeId(kLocal), kBrowser);
		QCOMPARE(standin::sourceSettings(kLocal),
			 createdSettings("http://127.0.0.1:4251/widget/event-goal/?runtime=" + runtime));
		const QList<standin::SceneItem> items = standin::sceneItems(kScene);
		QCOMPARE(items.size(), 1);
		QCOMPARE(items[0].source, kLocal);
		QCOMPARE(QPointF(items[0].x, items[0].y), QPointF(0, 0));
	}

	void existingSources_data()
	{
		QTest::addColumn<QString>("name");
		QTest::addColumn<QString>("url");
		QTest::addColumn<bool>("local");

		const QString goal = QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=0.9.0");
		QTest::newRow("local, localhost in capitals")
			<< kLocal << QStringLiteral("HTTP://LOCALHOST:4251/WIDGET/EVENT-GOAL/?runtime=0.9.0") << true;
		QTest::newRow("local under the plain name") << kPlain << goal << true;
		QTest::newRow("foreign, long url")
			<< kPlain << QStringLiteral("https://overlay.example/goal/") + QString(150, 'x') << false;
	}

	// A local source is refreshed where it is; another service's under the plain name is only
	// reported, and a new local one is added beside it.
	void existingSources()
	{
		QFETCH(QString, name);
		QFETCH(QString, url);
		QFETCH(bool, local);

		standin::addScene(QStringLiteral("Other"));
		const QVariantMap before = userSettings(url);
		standin::addSource(name, kBrowser, before);
		dock = std::make_unique<KelpDock>();
		installEventGoal();

		QVariantMap refreshed = createdSettings(kBundledUrl);
		refreshed.insert("css", QStringLiteral("body{}"));
		QCOMPARE(standin::sourceSettings(name), local ? refreshed : before);
		QCOMPARE(standin::sourceUpdateCount(name), local ? 1 : 0);
		QCOMPARE(standin::sourceNames().count(name), 1);
		if (local) {
			QVERIFY(standin::sceneItems(kScene).isEmpty());
			QCOMPARE(messages().first(), QStringLiteral("Existing KELP-local Event Goal refreshed. "
								    "StreamElements source was not changed."));
			QVERIFY(messages().filter("external").isEmpty());
		} else {
			QVERIFY(messages().contains("Existing external Event Goal left untouched: " + url.left(120)));
			QCOMPARE(sceneItemNames(kScene), QStringList{kLocal});
			QCOMPARE(standin::sourceSettings(kLocal), createdSettings(kBundledUrl));
		}
	}

	void takenNamesAreNumbered()
	{
		standin::addSource(kLocal, QStringLiteral("image_source"));
		dock = std::make_unique<KelpDock>();
		installEventGoal();
		installEventGoal(); // numbered names are never searched, so this adds another
		QCOMPARE(sceneItemNames(kScene),
			 (QStringList{"KELP Event Goal (Local 2)", "KELP Event Goal (Local 3)"}));
		QCOMPARE(messages().first(), added("KELP Event Goal (Local 3)", "bundled"));
		QCOMPARE(standin::sourceSettings(kLocal), QVariantMap());
	}

	void heightFollowsConfig_data()
	{
		QTest::addColumn<QByteArray>("config");
		QTest::addColumn<int>("height"); // -1: no height follows
		const auto row = [](const char *tag, const QByteArray &config, int height) {
			QTest::newRow(tag) << config << height;
		};
		const auto layout = [](const char *members) {
			return "{\"text_layout\":" + QByteArray(members) + '}';
		};
		row("non-number members use defaults", layout(R"({"offset_y":"900","title_size":null})"), 1600);
		row("offset -40, title 40, value 120", layout(R"({"offset_y":-40,"title_size":40,"value_size":120})"),
		    2040);
		row("fraction rounds up", layout(R"({"offset_y":100.2})"), 1694);
		row("content 5499, just under the bound", layout(R"({"offset_y":5253})"), 11998);
		row("sum overflows to infinity", layout(R"({"offset_y":1e308,"value_size":1e308})"), 12000);
		// Infinities of both signs leave no meaningful content: the size stays.
		row("sum has no value", layout(R"({"value_size":1e308,"title_size":-1e308})"), -1);
	}

	void heightFollowsConfig()
	{
		QFETCH(QByteArray, config);
		QFETCH(int, height);
		QCOMPARE(eventGoalHeightFromConfig(config), height);
	}

	// Config and runtime changes reach the local source in place and keep what the user set besides.
	void configAndRuntimeUpdateTheLocalSource()
	{
		const QString oldUrl = QStringLiteral("http://localhost:4251/widget/event-goal/?runtime=2.0.0");
		standin::addSource(kLocal, kBrowser, userSettings(oldUrl));
		dock = std::make_unique<KelpDock>();
		QVariantMap expected = userSettings(oldUrl);

		activateRuntime(QStringLiteral("2.0.1"), false);
		QCOMPARE(messages().first(), QStringLiteral("Using cached widget runtime 2.0.1."));
		QCOMPARE(standin::sourceSettings(kLocal), expected);

		// Resized silently: only the config line is written. A config that is no object changes nothing.
		sendConfig(R"({"text_layout":{"offset_y":-40,"title_size":40,"value_size":120}})");
		sendConfig("[1,2]");
		expected.insert("width", 1000LL);
		expected.insert("height", 2040LL);
		QCOMPARE(standin::sourceSettings(kLocal), expected);
		QCOMPARE(messages().mid(0, 2), QStringList(2, QStringLiteral("Event Goal config synced · rev-0001")));

		activateRuntime(QStringLiteral("2.0.1"), true);
		expected.insert("url", QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=2.0.1"));
		expected.insert("is_local_file", false);
		expected.insert("shutdown", false);
		expected.insert("restart_when_active", false);
		QCOMPARE(standin::sourceSettings(kLocal), expected);
		QCOMPARE(standin::sourceUpdateCount(kLocal), 2);
		QCOMPARE(messages().first(),
			 QStringLiteral("Widget runtime 2.0.1 applied; existing Event Goal refreshed."));

		// An empty version is the built-in runtime.
		QVERIFY(QMetaObject::invokeMethod(dock.get(), "refreshEventGoalRuntime", Q_ARG(QString, QString())));
		QCOMPARE(standin::sourceSettings(kLocal).value("url").toString(), kBundledUrl);
	}

	void nothingLocalToUpdate()
	{
		// Neither a numbered local source nor a foreign one is found for a refresh or a resize.
		const QString numbered = QStringLiteral("KELP Event Goal (Local 2)");
		standin::addSource(numbered, kBrowser, userSettings(kBundledUrl));
		standin::addSource(kPlain, kBrowser, {{"url", QStringLiteral("https://overlay.example/goal")}});
		dock = std::make_unique<KelpDock>();
		const int logged = messages().size();
		activateRuntime(QStringLiteral("4.0.0"), true);
		sendConfig(R"({"text_layout":{"offset_y":900}})");

		QCOMPARE(standin::sourceUpdateCount(numbered), 0);
		QCOMPARE(standin::sourceUpdateCount(kPlain), 0);
		QCOMPARE(messages().mid(0, messages().size() - logged),
			 (QStringList{"Event Goal config synced · rev-0001",
				      "Widget runtime 4.0.0 applied; existing Event Goal refreshed."}));
	}
};

QTEST_MAIN(TestDock)
#include "test-dock.moc"
