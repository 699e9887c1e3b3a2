#include "common/kelp-common.h"
#include "dock/kelp-dock.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "service-sim.h"
#include "support/raw-http.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using kelpsim::Fault;
using kelpsim::ServiceSim;

namespace {
const QByteArray kBuiltInPage = "<html>built-in page</html>";

bool writeFile(const QString &path, const QByteArray &data)
{
	if (!QDir().mkpath(QFileInfo(path).absolutePath()))
		return false;
	QFile file(path);
	return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Log lines oldest first, without their "HH:mm:ss  " prefix.
QStringList logMessages(QWidget *dock)
{
	auto *list = dock->findChild<QListWidget *>(QStringLiteral("logList"));
	QStringList lines;
	for (int i = list->count() - 1; i >= 0; --i)
		lines.append(list->item(i)->text().mid(10));
	return lines;
}

QString runtimeRow(QWidget *dock)
{
	return dock->findChild<QLabel *>(QStringLiteral("runtimeLabel"))->text();
}

// Everything below reads the bus over the wire, so it must be this dock's bus that answers.
bool ownsBusPort(QWidget *dock)
{
	return dock->findChild<QLabel *>(QStringLiteral("busLabel"))->text().startsWith(QStringLiteral("●"));
}

QPushButton *checkButton(QWidget *dock)
{
	return dock->findChild<QPushButton *>(QStringLiteral("checkRuntimeButton"));
}

QByteArray servedPage()
{
	return rawGet("/widget/event-goal/").body;
}

QByteArray servedRuntimeVersion()
{
	const QByteArray health = rawGet("/health").body;
	const QByteArray key = "\"runtime_version\":\"";
	const qsizetype at = health.indexOf(key);
	if (at < 0)
		return "<absent>";
	const qsizetype start = at + key.size();
	return health.mid(start, health.indexOf('"', start) - start);
}
} // namespace

class TestRuntimeDock : public QObject {
	Q_OBJECT

private slots:
	void initTestCase();
	void init();
	void cleanup();

	void downloadReachesBusAndButtonFollowsBusy();
	void cachedRuntimeServedFromStart();
	void failedUpdateKeepsServedRuntime();

private:
	QString cacheRoot() const { return home->path() + QStringLiteral("/config/runtime/event-goal"); }

	std::unique_ptr<QTemporaryDir> home;
	std::unique_ptr<ServiceSim> sim;
	std::unique_ptr<KelpDock> dock;
};

void TestRuntimeDock::initTestCase()
{
	setKelpModuleHandle(standin::module());
}

void TestRuntimeDock::init()
{
	home = std::make_unique<QTemporaryDir>();
	QVERIFY(home->isValid());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home->filePath(QStringLiteral("settings")));
	QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home->filePath(QStringLiteral("settings")));
	standin::setModuleConfigPath(home->filePath(QStringLiteral("config")));
	QVERIFY(writeFile(home->filePath(QStringLiteral("data/widgets/event-goal/index.html")), kBuiltInPage));
	standin::setModuleDataPath(home->filePath(QStringLiteral("data")));
	sim = std::make_unique<ServiceSim>();
	QVERIFY(sim->listen());
	setKelpServiceOrigin(sim->origin());
}

void TestRuntimeDock::cleanup()
{
	dock.reset();
	sim.reset();
	standin::reset();
}

void TestRuntimeDock::downloadReachesBusAndButtonFollowsBusy()
{
	QVERIFY(writeFile(home->filePath(QStringLiteral("v2/index.html")), "<html>v2 page</html>"));
	QVERIFY(sim->publishRuntime(QStringLiteral("2.0.0"), home->filePath(QStringLiteral("v2"))));

	dock = std::make_unique<KelpDock>();
	QVERIFY2(ownsBusPort(dock.get()), "port 4251 is held by another process");
	QCOMPARE(runtimeRow(dock.get()), QStringLiteral("Runtime: bundled"));
	QVERIFY(checkButton(dock.get())->isEnabled());
	QCOMPARE(servedRuntimeVersion(), QByteArray("bundled"));
	QCOMPARE(servedPage(), kBuiltInPage);

	// The first check runs on its own shortly after start.
	QTRY_COMPARE_WITH_TIMEOUT(runtimeRow(dock.get()), QStringLiteral("Runtime 2.0.0 · active"), 10000);
	const QStringList messages = logMessages(dock.get());
	const qsizetype found = messages.indexOf(QStringLiteral("Runtime 2.0.0 update found. Downloading…"));
	const qsizetype verified = messages.indexOf(QStringLiteral("Runtime 2.0.0 verified and activated."));
	const qsizetype applied =
		messages.indexOf(QStringLiteral("Widget runtime 2.0.0 applied; existing Event Goal refreshed."));
	QVERIFY2(found >= 0 && verified > found && applied > verified, qPrintable(messages.join(QLatin1Char('\n'))));
	QVERIFY(!messages.contains(QStringLiteral("Using cached widget runtime 2.0.0.")));
	QVERIFY(checkButton(dock.get())->isEnabled());
	QCOMPARE(servedRuntimeVersion(), QByteArray("2.0.0"));
	QCOMPARE(servedPage(), QByteArray("<html>v2 page</html>"));

	// The button starts a check and stays disabled until the check ends.
	Fault slow;
	slow.path = "/api/v40/runtime/manifest";
	slow.kind = Fault::Delay;
	slow.delayMs = 300;
	sim->addFault(slow);
	const qsizetype checks = sim->requestsTo("/api/v40/runtime/manifest").size();
	checkButton(dock.get())->click();
	QCOMPARE(runtimeRow(dock.get()), QStringLiteral("Runtime 2.0.0 · checking…"));
	QVERIFY(!checkButton(dock.get())->isEnabled());
	QTRY_COMPARE(sim->requestsTo("/api/v40/runtime/manifest").size(), checks + 1);
	QTRY_VERIFY(checkButton(dock.get())->isEnabled());
	QCOMPARE(runtimeRow(dock.get()), QStringLiteral("Runtime 2.0.0 · up to date"));
}

void TestRuntimeDock::cachedRuntimeServedFromStart()
{
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/1.5.0/index.html"), "<html>cached page</html>"));
	{
		QSettings settings(QString::fromLatin1(kKelpSettingsOrganization),
				   QString::fromLatin1(kKelpSettingsApplication));
		settings.setValue(QStringLiteral("runtime/event_goal_version"), QStringLiteral("1.5.0"));
	}

	dock = std::make_unique<KelpDock>();
	QVERIFY2(ownsBusPort(dock.get()), "port 4251 is held by another process");
	// All of this holds as soon as the dock exists, before any check ran.
	QCOMPARE(runtimeRow(dock.get()), QStringLiteral("Runtime: 1.5.0 · cached"));
	const QStringList messages = logMessages(dock.get());
	QVERIFY2(messages.contains(QStringLiteral("Using cached widget runtime 1.5.0.")),
		 qPrintable(messages.join(QLatin1Char('\n'))));
	QVERIFY(messages.filter(QStringLiteral("applied")).isEmpty());
	QCOMPARE(servedRuntimeVersion(), QByteArray("1.5.0"));
	QCOMPARE(servedPage(), QByteArray("<html>cached page</html>"));
}

void TestRuntimeDock::failedUpdateKeepsServedRuntime()
{
	QVERIFY(writeFile(home->filePath(QStringLiteral("v2/index.html")), "<html>v2 page</html>"));
	QVERIFY(sim->publishRuntime(QStringLiteral("2.0.0"), home->filePath(QStringLiteral("v2"))));
	Fault broken;
	broken.path = "/runtime/files/";
	broken.status = 500;
	sim->addFault(broken);

	dock = std::make_unique<KelpDock>();
	QVERIFY2(ownsBusPort(dock.get()), "port 4251 is held by another process");
	QTRY_COMPARE_WITH_TIMEOUT(runtimeRow(dock.get()), QStringLiteral("Runtime: update failed · bundled fallback"),
				  10000);
	QVERIFY(checkButton(dock.get())->isEnabled());
	const QStringList messages = logMessages(dock.get());
	QVERIFY2(
		!messages.filter(QStringLiteral("Runtime update failed safely: index.html failed: HTTP 500")).isEmpty(),
		qPrintable(messages.join(QLatin1Char('\n'))));
	QCOMPARE(servedRuntimeVersion(), QByteArray("bundled"));
	QCOMPARE(servedPage(), kBuiltInPage);
}

QTEST_MAIN(TestRuntimeDock)
#include "test-runtime-dock.moc"
