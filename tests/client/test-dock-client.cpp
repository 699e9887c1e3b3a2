#include "client-fixture.h"

#include "dock/kelp-dock.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "support/raw-http.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHostInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

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
	auto *label = dock->findChild<QLabel *>(QLatin1String(name));
	return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

QWidget *widget(QWidget *dock, const char *name)
{
	return dock->findChild<QWidget *>(QLatin1String(name));
}

QPushButton *button(QWidget *dock, const char *name)
{
	return dock->findChild<QPushButton *>(QLatin1String(name));
}

// Shown as far as the dock decides: the dock itself is never put on screen here.
bool shown(QWidget *dock, const char *name)
{
	return !widget(dock, name)->isHidden();
}

int countOf(const QByteArray &haystack, const QByteArray &needle)
{
	int n = 0;
	for (qsizetype at = haystack.indexOf(needle); at >= 0; at = haystack.indexOf(needle, at + 1))
		++n;
	return n;
}
} // namespace

class TestDockClient : public QObject {
	Q_OBJECT

private slots:
	void initTestCase();
	void init();
	void cleanup();

	void unpairedRows();
	void pairCopyAndDisconnectButtons();
	void eventsReachTheBus();
	void widgetConfigAndAssetsReachTheBus();

private:
	KelpClient *client() const { return dock->findChild<KelpClient *>(); }

	std::unique_ptr<IsolatedStore> store;
	std::unique_ptr<kelpsim::ServiceSim> sim;
	std::unique_ptr<KelpDock> dock;
};

void TestDockClient::initTestCase()
{
	setKelpModuleHandle(standin::module());
}

void TestDockClient::init()
{
	standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
	store = std::make_unique<IsolatedStore>();
	QVERIFY(store->isValid());
	sim = std::make_unique<kelpsim::ServiceSim>();
	QVERIFY(sim->listen());
	setKelpServiceOrigin(sim->origin());
}

void TestDockClient::cleanup()
{
	dock.reset();
	sim.reset();
	store.reset();
	standin::reset();
}

void TestDockClient::unpairedRows()
{
	QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
	dock = std::make_unique<KelpDock>();
	QVERIFY(client());

	QCOMPARE(text(dock.get(), "statusLabel"), QStringLiteral("KELP: Pair OBS with Quayside"));
	QCOMPARE(text(dock.get(), "deviceLabel"),
		 QStringLiteral("Device: %1\nID: %2").arg(QHostInfo::localHostName(), client()->deviceId()));
	QCOMPARE(text(dock.get(), "latencyLabel"), QStringLiteral("Gateway latency: —"));
	QCOMPARE(text(dock.get(), "widgetLabel"), QStringLiteral("Widget config: waiting"));
	QCOMPARE(text(dock.get(), "countersLabel"),
		 QStringLiteral("Remote events: 0 · Local deliveries: 0 · Last seq: 0"));
	QVERIFY(shown(dock.get(), "pairButton"));
	QVERIFY(!shown(dock.get(), "disconnectButton"));
	QVERIFY(!shown(dock.get(), "pairCodeLabel"));
	QVERIFY(!shown(dock.get(), "copyCodeButton"));
	QVERIFY(!button(dock.get(), "syncConfigButton")->isEnabled());
	QVERIFY(button(dock.get(), "pairButton")->isEnabled());

	// Without a code, "Copy code" does nothing at all.
	const QStringList before = logMessages(dock.get());
	button(dock.get(), "copyCodeButton")->click();
	QCOMPARE(logMessages(dock.get()), before);
	QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
	// Unpaired, the sync button would send nothing even if it were clicked.
	QVERIFY(sim->requestsTo(kWidgetState).isEmpty());
}

void TestDockClient::pairCopyAndDisconnectButtons()
{
	dock = std::make_unique<KelpDock>();
	button(dock.get(), "pairButton")->click(); // 1
	QTRY_VERIFY(shown(dock.get(), "pairCodeLabel"));
	const QString code = client()->pairCode();
	QCOMPARE(sim->pendingCodes(), QStringList{code});
	QCOMPARE(text(dock.get(), "pairCodeLabel"), code);
	QVERIFY(shown(dock.get(), "copyCodeButton"));
	QVERIFY(button(dock.get(), "copyCodeButton")->isEnabled());
	QCOMPARE(text(dock.get(), "statusLabel"), QStringLiteral("KELP: Enter code on Quayside"));
	QVERIFY(shown(dock.get(), "pairButton"));

	button(dock.get(), "copyCodeButton")->click(); // 2
	QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), code);
	QCOMPARE(logMessages(dock.get()).constLast(), QStringLiteral("Pair code copied."));

	QVERIFY(sim->approveCode(code));
	QTRY_VERIFY_WITH_TIMEOUT(shown(dock.get(), "disconnectButton"), 5000);
	QVERIFY(!shown(dock.get(), "pairButton"));
	QVERIFY(!shown(dock.get(), "pairCodeLabel"));
	QVERIFY(!shown(dock.get(), "copyCodeButton"));
	QVERIFY(button(dock.get(), "syncConfigButton")->isEnabled());
	QVERIFY(logMessages(dock.get()).contains(QStringLiteral("OBS successfully paired with KELP."))); // 11
	QTRY_VERIFY(QRegularExpression(QStringLiteral("^Gateway latency: \\d+ ms$"))
			    .match(text(dock.get(), "latencyLabel"))
			    .hasMatch());
	QTRY_COMPARE(text(dock.get(), "statusLabel"), QStringLiteral("KELP: Connected"));

	button(dock.get(), "disconnectButton")->click(); // 4
	QCOMPARE(text(dock.get(), "statusLabel"), QStringLiteral("KELP: Not connected"));
	QCOMPARE(text(dock.get(), "latencyLabel"), QStringLiteral("Gateway latency: —"));
	QVERIFY(shown(dock.get(), "pairButton"));
	QVERIFY(!shown(dock.get(), "disconnectButton"));
	QVERIFY(!button(dock.get(), "syncConfigButton")->isEnabled());
	QVERIFY(!openStore()->contains(QStringLiteral("auth/device_token")));
}

void TestDockClient::eventsReachTheBus()
{
	storePairedDevice(*sim, 6);
	dock = std::make_unique<KelpDock>();
	QVERIFY2(text(dock.get(), "busLabel").startsWith(QStringLiteral("●")), "port 4251 is taken");
	RawClient stream;
	QVERIFY(stream.isConnected());
	stream.send(kStreamRequest);
	QVERIFY(stream.waitForContains(": kelp-local-ready"));
	QTRY_COMPARE(sim->heldPollCount(kDeviceId), 1);

	const QJsonObject event{{QStringLiteral("type"), QStringLiteral("donation")},
				{QStringLiteral("provider"), QStringLiteral("kelp")},
				{QStringLiteral("amount"), 250}};
	const qint64 seq = sim->queueEvent(kDeviceId, event);
	QCOMPARE(seq, qint64(7));
	QJsonObject expected = event;
	expected.insert(QStringLiteral("seq"), 7);
	const QByteArray json = QJsonDocument(expected).toJson(QJsonDocument::Compact);
	QVERIFY2(stream.waitForContains("event: kelp\ndata: " + json + "\n\n"), stream.received.constData());

	QTRY_COMPARE(text(dock.get(), "countersLabel"),
		     QStringLiteral("Remote events: 1 · Local deliveries: 1 · Last seq: 7"));
	QCOMPARE(text(dock.get(), "lastEventLabel"), QStringLiteral("kelp · donation · seq 7"));
	QVERIFY(logMessages(dock.get()).contains(QStringLiteral("kelp / donation / seq 7")));
}

void TestDockClient::widgetConfigAndAssetsReachTheBus()
{
	const QString revision = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
	const QJsonObject config{{QStringLiteral("title"), QStringLiteral("Stream goal")},
				 {QStringLiteral("goal_amount"), 900}};
	sim->setWidgetState(QStringLiteral("w-9"), revision, config);
	sim->setAsset(QStringLiteral("mask"), "image/webp", "MASK-BYTES", QStringLiteral("m1"));
	sim->setAsset(QStringLiteral("frame"), "image/png; q=1", "FRAME-BYTES", QStringLiteral("f1"));
	storePairedDevice(*sim);

	dock = std::make_unique<KelpDock>();
	QVERIFY2(text(dock.get(), "busLabel").startsWith(QStringLiteral("●")), "port 4251 is taken");
	RawClient stream;
	QVERIFY(stream.isConnected());
	stream.send(kStreamRequest);
	QVERIFY2(stream.waitForContains(": kelp-local-ready"), stream.received.constData());
	const QByteArray compact = QJsonDocument(config).toJson(QJsonDocument::Compact);
	const QString synced = QStringLiteral("Event Goal config synced · 01234567");

	// 12: the bus serves the config, the log and row 9 show the first 8 characters.
	QTRY_VERIFY(logMessages(dock.get()).contains(synced));
	QCOMPARE(text(dock.get(), "widgetLabel"),
		 QStringLiteral("Widget config: synced · 01234567\nLocal revision: 01234567"));
	QCOMPARE(rawGet("/widget/config").body, compact);
	// 13: the assets are served with their MIME type.
	QTRY_VERIFY(stream.received.contains("\"slot\":\"frame\",\"revision\":\"f1\""));
	QTRY_VERIFY(stream.received.contains("\"slot\":\"mask\",\"revision\":\"m1\""));
	const HttpResponse mask = rawGet("/widget/asset/mask");
	QCOMPARE(mask.body, QByteArray("MASK-BYTES"));
	QVERIFY(mask.header("Content-Type").startsWith("image/webp"));
	const HttpResponse frame = rawGet("/widget/asset/frame");
	QCOMPARE(frame.body, QByteArray("FRAME-BYTES"));
	QVERIFY(frame.header("Content-Type").startsWith("image/png"));

	// 5: an unchanged revision still reaches the bus and the log again.
	const int configsBefore = countOf(stream.received, "event: config\ndata: " + compact + "\n\n");
	QVERIFY(configsBefore >= 1);
	const int linesBefore = int(logMessages(dock.get()).count(synced));
	button(dock.get(), "syncConfigButton")->click();
	QTRY_VERIFY(logMessages(dock.get()).count(synced) > linesBefore);
	QTRY_VERIFY(countOf(stream.received, "event: config\ndata: " + compact + "\n\n") > configsBefore);

	// 14: a slot gone from the state falls back to the runtime's own file.
	sim->removeAsset(QStringLiteral("frame"));
	button(dock.get(), "syncConfigButton")->click();
	QTRY_VERIFY(stream.received.contains("\"slot\":\"frame\",\"revision\":\"bundled\""));
	QVERIFY(rawGet("/widget/asset/frame").body != QByteArray("FRAME-BYTES"));
	QCOMPARE(rawGet("/widget/asset/mask").body, QByteArray("MASK-BYTES"));
}

QTEST_MAIN(TestDockClient)
#include "test-dock-client.moc"
