#include "common/kelp-common.h"
#include "dock/kelp-dock.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "service-sim.h"
#include "support/raw-http.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
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

QTEST_MAIN(TestRuntimeDock)
#include "test-runtime-dock.moc"
