#include "dock/kelp-dock.h"
#include "support/raw-http.h"
#include "support/sim-environment.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace kelptest;

namespace {
const QByteArray kStreamRequest = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Log lines oldest first, without their "HH:mm:ss  " prefix.
QStringList logMessages(QWidget *dock)
{
	auto *list = dock->findChild<QListWidget *>(QStringLiteral("logList"));
	QStringList lines;
	for (int i = list->count() - 1; i >= 0; --i)
		lines.append(list->item(i)->text().mid(10));
	return lines;
}

QString text(QWidget *dock, const char *name)
{
	return dock->findChild<QLabel *>(QLatin1String(name))->text();
}

QPushButton *button(QWidget *dock, const char *name)
{
	return dock->findChild<QPushButton *>(QLatin1String(name));
}

// Shown as far as the dock decides: the dock itself is never put on screen here.
bool shown(QWidget *dock, const char *name)
{
	return !dock->findChild<QWidget *>(QLatin1String(name))->isHidden();
}
} // namespace

class TestDockClient : public QObject {
	Q_OBJECT

private slots:
	void init();
	void cleanup();

	void pairingRowsAndButtons();
	void serviceTextIsShownLiterally();
	void serviceDataReachesTheBus();

private:
	std::unique_ptr<SimEnvironment> env;
	std::unique_ptr<KelpDock> dock;
};

void TestDockClient::init()
{
	env = std::make_unique<SimEnvironment>();
	QVERIFY(env->isValid());
	standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
}

void TestDockClient::cleanup()
{
	dock.reset();
	env.reset();
}

void TestDockClient::pairingRowsAndButtons()
{
	dock = std::make_unique<KelpDock>();
	QWidget *d = dock.get();
	QCOMPARE(text(d, "statusLabel"), QStringLiteral("KELP: Pair OBS with Quayside"));
	button(d, "pairButton")->click();
	QTRY_VERIFY(shown(d, "pairCodeLabel"));
	const QString code = text(d, "pairCodeLabel");
	QCOMPARE(env->sim.pendingCodes(), QStringList{code});
	QCOMPARE(text(d, "statusLabel"), QStringLiteral("KELP: Enter code on Quayside"));
	button(d, "copyCodeButton")->click();
	QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), code);
	QCOMPARE(logMessages(d).constLast(), QStringLiteral("Pair code copied."));

	QVERIFY(env->sim.approveCode(code));
	QTRY_VERIFY_WITH_TIMEOUT(shown(d, "disconnectButton"), 5000);
	for (const char *gone : {"pairButton", "pairCodeLabel", "copyCodeButton"})
		QVERIFY2(!shown(d, gone), gone);
	QVERIFY(button(d, "syncConfigButton")->isEnabled());
	const QRegularExpression latency(QStringLiteral("^Gateway latency: \\d+ ms$"));
	QTRY_VERIFY(latency.match(text(d, "latencyLabel")).hasMatch());
	QTRY_COMPARE(text(d, "statusLabel"), QStringLiteral("KELP: Connected"));

	button(d, "disconnectButton")->click();
	QCOMPARE(text(d, "statusLabel"), QStringLiteral("KELP: Not connected"));
	QCOMPARE(text(d, "latencyLabel"), QStringLiteral("Gateway latency: —"));
	QVERIFY(shown(d, "pairButton"));
	QVERIFY(!shown(d, "disconnectButton"));
	QVERIFY(!button(d, "syncConfigButton")->isEnabled());
}

void TestDockClient::serviceTextIsShownLiterally()
{
	// An image 900 pixels tall: a label that rendered the markup would load it and grow to its height.
	QTemporaryDir folder;
	QImage tall(40, 900, QImage::Format_RGB32);
	tall.fill(Qt::red);
	QVERIFY(tall.save(folder.filePath("tall.png")));
	const QString markup = QStringLiteral("<img src=\"%1\"><h1>X</h1>")
				       .arg(QUrl::fromLocalFile(folder.filePath("tall.png")).toString());
	// Rendered, fourteen line breaks make the code as tall; a code may be no longer than 64 characters.
	const QString code = QStringLiteral("<br>").repeated(14) + QLatin1Char('X');
	const QJsonObject start{{"ok", true}, {"pair_id", "p-1"}, {"code", code}};
	env->sim.addFault(kelpsim::Fault{"/api/v26/plugin/pair/start", kelpsim::Fault::Status, 200,
					 QJsonDocument(start).toJson(QJsonDocument::Compact)});
	dock = std::make_unique<KelpDock>();
	QWidget *d = dock.get();
	button(d, "pairButton")->click();
	QTRY_VERIFY(shown(d, "pairCodeLabel"));
	QMetaObject::invokeMethod(
		d, "onEvent",
		Q_ARG(QByteArray,
		      QJsonDocument(QJsonObject{{"seq", 1}, {"provider", markup}}).toJson(QJsonDocument::Compact)));

	for (const auto &[name, shown] : {std::pair{"pairCodeLabel", code}, std::pair{"lastEventLabel", markup}}) {
		const auto *label = d->findChild<QLabel *>(QLatin1String(name));
		QVERIFY2(label->text().startsWith(shown), name);
		QVERIFY2(label->sizeHint().height() < 300, qPrintable(QStringLiteral("%1 is %2 pixels tall")
									      .arg(QLatin1String(name))
									      .arg(label->sizeHint().height())));
	}
}

void TestDockClient::serviceDataReachesTheBus()
{
	const QJsonObject config{{"title", "Stream goal"}, {"goal_amount", 900}};
	env->sim.setWidgetState("w-9", "0123456789abcdef0123456789abcdef01234567", config);
	env->sim.setAsset("mask", "image/webp; q=1", "MASK-BYTES", "m1");
	env->storePairedDevice(6);
	dock = std::make_unique<KelpDock>();
	QWidget *d = dock.get();
	QVERIFY2(text(d, "busLabel").startsWith(QStringLiteral("●")), "port 4251 is taken");
	RawClient stream;
	stream.send(kStreamRequest);
	QVERIFY2(stream.waitForContains(": kelp-local-ready"), stream.received.constData());

	// The config and the assets, served and announced.
	const QString synced = QStringLiteral("Event Goal config synced · 01234567");
	const QByteArray compact = QJsonDocument(config).toJson(QJsonDocument::Compact);
	const QByteArray configEvent = "event: config\ndata: " + compact + "\n\n";
	QTRY_VERIFY(logMessages(d).contains(synced));
	QCOMPARE(text(d, "widgetLabel"), QStringLiteral("Widget config: synced · 01234567\nLocal revision: 01234567"));
	QCOMPARE(rawGet("/widget/config").body, compact);
	QTRY_VERIFY(stream.received.contains("\"slot\":\"mask\",\"revision\":\"m1\""));
	const HttpResponse mask = rawGet("/widget/asset/mask");
	QCOMPARE(mask.body, QByteArray("MASK-BYTES"));
	QCOMPARE(mask.header("Content-Type"), QByteArray("image/webp"));

	// An event, with the seq the service gave it.
	QTRY_COMPARE(env->sim.heldPollCount(kDeviceId), 1);
	const QJsonObject event{{"type", "donation"}, {"provider", "kelp"}, {"amount", 250}};
	QCOMPARE(env->sim.queueEvent(kDeviceId, event), qint64(7));
	QJsonObject expected = event;
	expected.insert("seq", 7);
	const QByteArray json = QJsonDocument(expected).toJson(QJsonDocument::Compact);
	QVERIFY2(stream.waitForContains("event: kelp\ndata: " + json + "\n\n"), stream.received.constData());
	QTRY_COMPARE(text(d, "countersLabel"), QStringLiteral("Remote events: 1 · Local deliveries: 1 · Last seq: 7"));
	QCOMPARE(text(d, "lastEventLabel"), QStringLiteral("kelp · donation · seq 7"));

	// "Sync config" sends an unchanged config again; a slot gone from the state falls back to
	// the runtime's own file.
	const qsizetype configsBefore = stream.received.count(configEvent);
	QVERIFY(configsBefore >= 1);
	env->sim.removeAsset("mask");
	button(d, "syncConfigButton")->click();
	QTRY_VERIFY(stream.received.count(configEvent) > configsBefore);
	QTRY_VERIFY(stream.received.contains("\"slot\":\"mask\",\"revision\":\"bundled\""));
	QVERIFY(rawGet("/widget/asset/mask").body != QByteArray("MASK-BYTES"));
}

QTEST_MAIN(TestDockClient)
#include "test-dock-client.moc"
