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
#include <QTimer>
#include <QTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {
const QString kScene = QStringLiteral("Scene");
const QString kBrowser = QStringLiteral("browser_source");
const QString kLocal = QStringLiteral("KELP Event Goal (Local)");
const QString kPlain = QStringLiteral("KELP Event Goal");
const QString kBundledUrl = QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=bundled");

// An /events stream that has read its first config block.
struct Stream : RawClient {
	Stream() { send("GET /events HTTP/1.1\r\n\r\n"); }
	bool opened() { return waitForContains("event: config"); }
};

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

} // namespace

// The dock against the libobs stand-in, which counts every reference the module takes; built once
// more against the real libobs (tests/contract).
class TestDock : public QObject {
	Q_OBJECT

	QTemporaryDir home;
	std::unique_ptr<KelpDock> dock;

	// The log without its "HH:mm:ss  " stamps, newest first.
	QStringList messages() const
	{
		auto *list = dock->findChild<QListWidget *>("logList");
		QStringList lines;
		for (int i = 0; i < list->count(); ++i)
			lines.append(list->item(i)->text().mid(10));
		return lines;
	}
	QString label(const char *name) const { return dock->findChild<QLabel *>(name)->text(); }
	void click(const char *button) { dock->findChild<QPushButton *>(button)->click(); }
	void onEvent(const QByteArray &json)
	{
		QMetaObject::invokeMethod(dock.get(), "onEvent", Q_ARG(QByteArray, json));
	}
	void sendConfig(const QByteArray &json)
	{
		emit dock->findChild<KelpClient *>()->widgetConfigReceived(json, QStringLiteral("rev-0001-abcdef"));
	}
	void activateRuntime(const QString &version, bool changed)
	{
		emit dock->findChild<RuntimeUpdater *>()->runtimeActivated(
			QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal"), version, changed);
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
		QVERIFY2(outstanding.isEmpty(), qPrintable(outstanding.join(QLatin1Char('\n'))));
	}

	void panelBusRowAndBuiltInPage()
	{
		dock = std::make_unique<KelpDock>();
		for (QPushButton *button : dock->findChildren<QPushButton *>()) {
			QCOMPARE(button->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
			QCOMPARE(button->minimumWidth(), 0);
			// Texts show as written: an ampersand must not become a mnemonic.
			QVERIFY2(QKeySequence::mnemonic(button->text()).isEmpty(), qPrintable(button->text()));
		}
		QCOMPARE(label("lastEventLabel"), QString("—"));
		QVERIFY(messages().filter("could", Qt::CaseInsensitive).isEmpty());

		const QString busRow = QStringLiteral("● http://127.0.0.1:4251/events\nBrowser widgets connected: %1");
		QCOMPARE(label("busLabel"), busRow.arg(0));
		auto stream = std::make_unique<Stream>();
		QTRY_COMPARE(label("busLabel"), busRow.arg(1));
		stream.reset();
		QTRY_COMPARE(label("busLabel"), busRow.arg(0));

		QFile index(QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal/index.html"));
		QVERIFY(index.open(QIODevice::ReadOnly));
		QCOMPARE(rawGet("/widget/event-goal/").body, index.readAll());
	}

	// The port held on loopback, on every IPv4 address, or on [::] for both families (as a web
	// development server often holds it): the bus must not share it in any case, and takes it once
	// it is released 3 s after load.
	void hostProblemsAreReported_data()
	{
		QTest::addColumn<int>("held");
		QTest::newRow("127.0.0.1") << int(QHostAddress::LocalHost);
		QTest::newRow("0.0.0.0") << int(QHostAddress::AnyIPv4);
		QTest::newRow("[::], dual stack") << int(QHostAddress::Any);
	}

	void hostProblemsAreReported()
	{
		QFETCH(int, held);
		QTcpServer squatter;
		QVERIFY(squatter.listen(QHostAddress(QHostAddress::SpecialAddress(held)), 4251));
		QTimer::singleShot(3000, &squatter, &QTcpServer::close);
		QTemporaryDir empty;
		standin::setModuleDataPath(empty.path());
		dock = std::make_unique<KelpDock>();
		QCOMPARE(label("busLabel"), QString("○ Local runtime unavailable"));
		QVERIFY(messages().contains(
			"Could not bind local port 4251. Another KELP runtime may already be running."));
		QVERIFY(messages().contains("Event Goal data directory could not be resolved."));
		// Buttons stay usable: the test donation still runs its whole path.
		click("testEventButton");
		QCOMPARE(messages().first(), QString("Local test donation sent to Browser Sources."));

		QTRY_COMPARE_WITH_TIMEOUT(label("busLabel"),
					  QString("● http://127.0.0.1:4251/events\nBrowser widgets connected: 0"),
					  40000);
		QCOMPARE(messages().filter("Local port 4251 is free again").size(), 1);
		QCOMPARE(rawGet("/health").status, 200);
	}

#ifdef Q_OS_UNIX
	// Another cause than a taken port is named as it is, not blamed on another KELP: here no
	// descriptor is left for the listener.
	void bindFailureWordedFromTheError()
	{
		rlimit saved{};
		QVERIFY(getrlimit(RLIMIT_NOFILE, &saved) == 0);
		const int lowestFree = ::dup(0);
		QVERIFY(lowestFree >= 0);
		::close(lowestFree);
		rlimit tight = saved;
		tight.rlim_cur = rlim_t(lowestFree);
		QVERIFY(setrlimit(RLIMIT_NOFILE, &tight) == 0);
		dock = std::make_unique<KelpDock>();
		QVERIFY(setrlimit(RLIMIT_NOFILE, &saved) == 0);
		QCOMPARE(label("busLabel"), QString("○ Local runtime unavailable"));
		const QStringList lines = messages().filter("Could not bind local port 4251");
		QCOMPARE(lines.size(), 1);
		QVERIFY2(lines.first().startsWith("Could not bind local port 4251: ") && lines.first().size() > 40,
			 qPrintable(lines.first()));
	}
#endif

	void logKeepsFiftyNewestFirst()
	{
		dock = std::make_unique<KelpDock>();
		for (int seq = 1; seq <= 51; ++seq)
			onEvent("{\"seq\":" + QByteArray::number(seq) + "}");
		QCOMPARE(messages().size(), 50);
		QCOMPARE(messages().first(), QString("kelp / event / seq 51"));
		QCOMPARE(messages().last(), QString("kelp / event / seq 2"));
	}

	void onEventSummarisesAndForwards_data()
	{
		QTest::addColumn<QByteArray>("json");
		QTest::addColumn<QString>("label");
		QTest::addColumn<bool>("logged"); // the label's text with " / " between the parts
		const auto row = [](const char *tag, const QByteArray &json, const QString &label, bool logged = true) {
			QTest::newRow(tag) << json << label << logged;
		};
		row("full", R"({"seq":42,"type":"donation","provider":"kelp","amount":5})", "kelp · donation · seq 42");
		row("defaults", "{}", "kelp · event · seq 0");
		row("fractional seq", R"({"seq":12.9,"provider":"x"})", "x · event · seq 12");
		row("string seq and wrong types", R"({"seq":"7","type":3,"provider":null})", "kelp · event · seq 0");
		row("placeholders in values", R"({"type":"%2","provider":"%1","seq":1})", "%1 · %2 · seq 1");
		row("huge seq saturates", R"({"seq":1e300})", "kelp · event · seq 9223372036854775807");
		row("array", "[1,2,3]", "[1,2,3]", false);
		const QByteArray broken = "{\"seq\":" + QByteArray(300, '9');
		row("broken json cut at 220 bytes", broken, QString::fromUtf8(broken.left(220)), false);
	}

	void onEventSummarisesAndForwards()
	{
		QFETCH(QByteArray, json);
		QFETCH(QString, label);
		QFETCH(bool, logged);
		dock = std::make_unique<KelpDock>();
		Stream stream;
		QVERIFY(stream.opened());
		const QStringList before = messages();

		onEvent(json);
		QCOMPARE(this->label("lastEventLabel"), label);
		QCOMPARE(messages(), logged ? QStringList(QString(label).replace(" · ", " / ")) + before : before);
		QTRY_COMPARE(kelpPayloads(stream.received), QList<QByteArray>{json});
	}

	void localTestDonations()
	{
		dock = std::make_unique<KelpDock>();
		Stream stream;
		QVERIFY(stream.opened());
		click("testEventButton");
		click("testEventButton");
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
		QCOMPARE(label("lastEventLabel"), QString("kelp-local-test · donation · local"));
	}

	void install_data()
	{
		QTest::addColumn<QString>("setup");
		QTest::addColumn<QString>("runtime"); // empty: nothing is added
		QTest::addColumn<QString>("message");
		const auto row = [](const char *setup, const char *runtime, const QString &message) {
			QTest::newRow(setup) << setup << runtime << message;
		};
		row("added", "bundled", "Added KELP Event Goal (Local) with runtime bundled.");
		row("cached runtime", "7.1.0", "Added KELP Event Goal (Local) with runtime 7.1.0.");
		row("no scene", "", "No active OBS scene is available.");
		row("current source a camera", "", "Current OBS source is not a scene.");
		row("browser missing", "",
		    "Could not create KELP-local Browser Source. Make sure OBS Browser is installed.");
		row("scene refuses", "", "Could not add KELP-local Event Goal to the current scene.");
		// The name is taken by something else: a numbered one is added beside it.
		row("name taken", "bundled", "Added KELP Event Goal (Local 2) with runtime bundled.");
	}

	void install()
	{
		QFETCH(QString, setup);
		QFETCH(QString, runtime);
		QFETCH(QString, message);
		QString name = kLocal;
		if (setup == "cached runtime") {
			// One that the updater activates at start.
			QVERIFY(QDir().mkpath(home.filePath("config/runtime/event-goal/7.1.0")));
			QVERIFY(QFile(home.filePath("config/runtime/event-goal/7.1.0/index.html"))
					.open(QIODevice::WriteOnly));
			QSettings(kKelpSettingsOrganization, kKelpSettingsApplication)
				.setValue(QStringLiteral("runtime/event_goal_version"), QStringLiteral("7.1.0"));
		} else if (setup == "no scene") {
			standin::setCurrentScene(QString());
		} else if (setup == "current source a camera") {
			standin::addSource(QStringLiteral("Camera"), QStringLiteral("v4l2_input"));
			standin::setCurrentScene(QStringLiteral("Camera"));
		} else if (setup == "browser missing") {
			if (!standin::setSourceTypeRegistered(kBrowser, false))
				QSKIP("this host cannot forget a source type");
		} else if (setup == "scene refuses") {
			if (!standin::setSceneRefusesAdd(kScene, true))
				QSKIP("this host has no scene that refuses new sources");
		} else if (setup == "name taken") {
			standin::addSource(kLocal, QStringLiteral("image_source"));
			name = QStringLiteral("KELP Event Goal (Local 2)");
		}
		const QStringList before = standin::sourceNames();

		dock = std::make_unique<KelpDock>();
		click("addEventGoalButton");
		QVERIFY2(messages().first().startsWith(message), qPrintable(messages().first()));
		if (runtime.isEmpty()) {
			// A refused source was released and is gone again; none of a missing type was made.
			QCOMPARE(standin::sourceNames(), before);
			QVERIFY(standin::logTexts().filter("'browser_source' not found").isEmpty());
			QVERIFY(standin::sceneItems(kScene).isEmpty());
			return;
		}
		QCOMPARE(standin::sourceTypeId(name), kBrowser);
		QCOMPARE(standin::sourceSettings(name),
			 createdSettings("http://127.0.0.1:4251/widget/event-goal/?runtime=" + runtime));
		const QList<standin::SceneItem> items = standin::sceneItems(kScene);
		QCOMPARE(items.size(), 1);
		QCOMPARE(items[0].source, name);
		QCOMPARE(QPointF(items[0].x, items[0].y), QPointF(0, 0));
	}

	// Only a browser source under the local or the plain name whose url is the bus's page is ours.
	void existingSources_data()
	{
		QTest::addColumn<QString>("name");
		QTest::addColumn<QString>("type");
		QTest::addColumn<QVariant>("url");
		QTest::addColumn<bool>("local");
		const auto row = [](const char *tag, const QString &name, const QVariant &url, bool local,
				    const QString &type = kBrowser) {
			QTest::newRow(tag) << name << type << url << local;
		};
		row("local, localhost in capitals", kLocal, "HTTP://LOCALHOST:4251/WIDGET/EVENT-GOAL/?runtime=0.9.0",
		    true);
		row("local under the plain name", kPlain, "http://127.0.0.1:4251/widget/event-goal/?runtime=0.9.0",
		    true);
		row("foreign under the plain name, long url", kPlain,
		    QStringLiteral("https://overlay.example/goal/") + QString(150, 'x'), false);
		row("numbered local name", QStringLiteral("KELP Event Goal (Local 2)"), kBundledUrl, false);
		row("no trailing slash", kLocal, "http://127.0.0.1:4251/widget/event-goal", false);
		row("other port", kLocal, "http://localhost:4252/widget/event-goal/", false);
		row("url not a string", kLocal, 4251, false);
		row("type in other case", kLocal, kBundledUrl, false, QStringLiteral("Browser_Source"));
	}

	// Ours is refreshed in place by a runtime change, a config and the add button, and keeps what the
	// user set besides; anything else is left alone, a foreign one under the plain name is reported,
	// and a new local source is added beside it.
	void existingSources()
	{
		QFETCH(QString, name);
		QFETCH(QString, type);
		QFETCH(QVariant, url);
		QFETCH(bool, local);
		QVariantMap before = userSettings(url.toString());
		before.insert("url", url);
		standin::addSource(name, type, before);
		dock = std::make_unique<KelpDock>();
		activateRuntime(QStringLiteral("4.0.0"), true);
		sendConfig(R"({"text_layout":{"offset_y":900}})");
		click("addEventGoalButton");

		QVariantMap refreshed = createdSettings(kBundledUrl);
		refreshed.insert("css", QStringLiteral("body{}"));
		QCOMPARE(standin::sourceSettings(name), local ? refreshed : before);
		QCOMPARE(standin::sourceUpdateCount(name), local ? 3 : 0);
		QCOMPARE(
			messages().contains("Existing external Event Goal left untouched: " + url.toString().left(120)),
			!local && name == kPlain);
		if (local) {
			QVERIFY(standin::sceneItems(kScene).isEmpty());
			QVERIFY(messages().first().startsWith("Existing KELP-local Event Goal refreshed."));
			return;
		}
		const QString added = name == kLocal ? QStringLiteral("KELP Event Goal (Local 2)") : kLocal;
		QCOMPARE(standin::sceneItems(kScene).size(), 1);
		QCOMPARE(standin::sceneItems(kScene).first().source, added);
		QCOMPARE(standin::sourceSettings(added), createdSettings(kBundledUrl));
	}

	void heightFollowsConfig_data()
	{
		QTest::addColumn<QByteArray>("layout");
		QTest::addColumn<int>("height"); // -1: no height follows
		QTest::newRow("non-number members use defaults")
			<< QByteArray(R"({"offset_y":"900","title_size":null})") << 1600;
		QTest::newRow("fraction rounds up") << QByteArray(R"({"offset_y":100.2})") << 1694;
		QTest::newRow("content 5499, just under the bound") << QByteArray(R"({"offset_y":5253})") << 11998;
		QTest::newRow("sum overflows to infinity")
			<< QByteArray(R"({"offset_y":1e308,"value_size":1e308})") << 12000;
		// Infinities of both signs leave no meaningful content: the size stays.
		QTest::newRow("sum has no value") << QByteArray(R"({"value_size":1e308,"title_size":-1e308})") << -1;
	}

	void heightFollowsConfig()
	{
		QFETCH(QByteArray, layout);
		QFETCH(int, height);
		QCOMPARE(eventGoalHeightFromConfig("{\"text_layout\":" + layout + '}'), height);
	}

	// Config and runtime changes reach the local source in place and keep what the user set besides.
	void configAndRuntimeUpdateTheLocalSource()
	{
		const QString oldUrl = QStringLiteral("http://localhost:4251/widget/event-goal/?runtime=2.0.0");
		standin::addSource(kLocal, kBrowser, userSettings(oldUrl));
		dock = std::make_unique<KelpDock>();

		activateRuntime(QStringLiteral("2.0.1"), false); // already in use: the source stays
		// Resized silently: only the config line is written. A config that is no object changes nothing.
		sendConfig(R"({"text_layout":{"offset_y":-40,"title_size":40,"value_size":120}})");
		sendConfig("[1,2]");
		QCOMPARE(messages().mid(0, 2), QStringList(2, QStringLiteral("Event Goal config synced · rev-0001")));
		activateRuntime(QStringLiteral("2.0.1"), true);

		QVariantMap expected =
			createdSettings(QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=2.0.1"));
		expected.insert("height", 2040LL);
		expected.insert("css", QStringLiteral("body{}"));
		expected.remove("reroute_audio");
		QCOMPARE(standin::sourceSettings(kLocal), expected);
		QCOMPARE(standin::sourceUpdateCount(kLocal), 2);
		QCOMPARE(messages().first(),
			 QStringLiteral("Widget runtime 2.0.1 applied; existing Event Goal refreshed."));

		// An empty version is the built-in runtime.
		QVERIFY(QMetaObject::invokeMethod(dock.get(), "refreshEventGoalRuntime", Q_ARG(QString, QString())));
		QCOMPARE(standin::sourceSettings(kLocal).value("url").toString(), kBundledUrl);
	}
};

QTEST_MAIN(TestDock)
#include "test-dock.moc"
