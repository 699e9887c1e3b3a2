#include "dock/kelp-dock.h"
#include "plugin/module-handle.h"
#include "support/raw-http.h"

#include <obs-standin.h>

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

QStringList logTexts(QWidget *dock)
{
	auto *list = dock->findChild<QListWidget *>("logList");
	QStringList lines;
	for (int i = 0; i < list->count(); ++i)
		lines.append(list->item(i)->text());
	return lines;
}

QString labelText(QWidget *dock, const char *name)
{
	auto *label = dock->findChild<QLabel *>(name);
	return label ? label->text() : QStringLiteral("<missing %1>").arg(name);
}

// The log line without its "HH:mm:ss  " prefix.
QString message(const QString &line)
{
	return line.mid(10);
}

// Every realtime event block a stream received, in order.
QList<QByteArray> kelpPayloads(const QByteArray &received)
{
	QList<QByteArray> payloads;
	const QByteArray marker = "event: kelp\ndata: ";
	for (qsizetype at = received.indexOf(marker); at >= 0; at = received.indexOf(marker, at + 1)) {
		const qsizetype start = at + marker.size();
		payloads.append(received.mid(start, received.indexOf("\n\n", start) - start));
	}
	return payloads;
}
} // namespace

class TestDock : public QObject {
	Q_OBJECT

private:
	QTemporaryDir home;
	std::unique_ptr<KelpDock> dock;

	void makeDock() { dock = std::make_unique<KelpDock>(); }

private slots:
	void initTestCase()
	{
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath("settings"));
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("settings"));
		setKelpModuleHandle(standin::module());
		standin::setModuleConfigPath(home.filePath("config"));
	}

	void init() { standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR)); }

	void cleanup()
	{
		dock.reset();
		standin::reset();
	}

	void panelHasEveryRow()
	{
		makeDock();
		QCOMPARE(dock->findChildren<QPushButton *>().size(), 8);
		for (const char *name :
		     {"pairButton", "copyCodeButton", "openSiteButton", "disconnectButton", "checkRuntimeButton",
		      "syncConfigButton", "testEventButton", "addEventGoalButton"}) {
			auto *button = dock->findChild<QPushButton *>(name);
			QVERIFY2(button, name);
			QCOMPARE(button->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
			QCOMPARE(button->minimumWidth(), 0);
		}
		QCOMPARE(labelText(dock.get(), "lastEventLabel"), QString("—"));
		// Button texts show as written: an ampersand must not become a mnemonic.
		for (QPushButton *button : dock->findChildren<QPushButton *>())
			QVERIFY2(QKeySequence::mnemonic(button->text()).isEmpty(), qPrintable(button->text()));
		QCOMPARE(dock->findChild<QPushButton *>("openSiteButton")->text().replace("&&", "&"),
			 QString("Open OBS & Widgets"));
		QVERIFY(logTexts(dock.get()).filter("could").isEmpty());
	}

	void busRowFollowsStreams()
	{
		makeDock();
		QCOMPARE(labelText(dock.get(), "busLabel"),
			 QString("● http://127.0.0.1:4251/events\nBrowser widgets connected: 0"));
		RawClient stream;
		stream.send(kStreamRequest);
		QTRY_COMPARE(labelText(dock.get(), "busLabel"),
			     QString("● http://127.0.0.1:4251/events\nBrowser widgets connected: 1"));
		stream.socket.disconnectFromHost();
		QTRY_COMPARE(labelText(dock.get(), "busLabel"),
			     QString("● http://127.0.0.1:4251/events\nBrowser widgets connected: 0"));

		// The dock's destruction stops the bus: the stream closes and the port is free again.
		RawClient open;
		open.send(kStreamRequest);
		QVERIFY(open.waitForContains(": kelp-local-ready"));
		dock.reset();
		QVERIFY(open.waitForClosed());
		QTcpServer probe;
		QVERIFY(probe.listen(QHostAddress::LocalHost, 4251));
	}

	void takenPortIsReported()
	{
		QTcpServer squatter;
		QVERIFY(squatter.listen(QHostAddress::LocalHost, 4251));
		makeDock();
		QCOMPARE(labelText(dock.get(), "busLabel"), QString("○ Local runtime unavailable"));
		QStringList messages;
		for (const QString &line : logTexts(dock.get()))
			messages.append(message(line));
		QVERIFY(messages.contains(
			"Could not bind local port 4251. Another KELP runtime may already be running."));
		// Buttons stay usable: the test donation still runs its whole path.
		dock->findChild<QPushButton *>("testEventButton")->click();
		QCOMPARE(message(logTexts(dock.get()).first()),
			 QString("Local test donation sent to Browser Sources."));
	}

	void missingWidgetDataIsReported()
	{
		QTemporaryDir empty;
		standin::setModuleDataPath(empty.path());
		makeDock();
		QCOMPARE(message(logTexts(dock.get()).value(0)),
			 QString("Event Goal data directory could not be resolved."));
		QCOMPARE(rawGet("/widget/event-goal/").body,
			 QByteArray("{\"ok\":false,\"error\":\"widget_html_missing\"}"));
	}

	void builtInPageIsServed()
	{
		makeDock();
		const HttpResponse page = rawGet("/widget/event-goal/");
		QCOMPARE(page.status, 200);
		QFile index(QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal/index.html"));
		QVERIFY(index.open(QIODevice::ReadOnly));
		QCOMPARE(page.body, index.readAll());
	}

	void logKeepsFiftyNewestFirst()
	{
		makeDock();
		for (int seq = 1; seq <= 51; ++seq)
			QMetaObject::invokeMethod(
				dock.get(), "onEvent",
				Q_ARG(QByteArray, QByteArray("{\"seq\":") + QByteArray::number(seq) + "}"));
		const QStringList lines = logTexts(dock.get());
		QCOMPARE(lines.size(), 50);
		static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  "));
		QVERIFY2(stamp.match(lines.first()).hasMatch(), qPrintable(lines.first()));
		QCOMPARE(message(lines.first()), QString("kelp / event / seq 51"));
		QCOMPARE(message(lines.last()), QString("kelp / event / seq 2"));
	}

	void onEventSummarisesAndForwards_data()
	{
		QTest::addColumn<QByteArray>("json");
		QTest::addColumn<QString>("label");
		QTest::addColumn<QString>("logLine"); // empty: nothing logged

		QTest::newRow("full") << QByteArray(R"({"seq":42,"type":"donation","provider":"kelp","amount":5})")
				      << "kelp · donation · seq 42"
				      << "kelp / donation / seq 42";
		QTest::newRow("defaults") << QByteArray("{}") << "kelp · event · seq 0"
					  << "kelp / event / seq 0";
		QTest::newRow("fractional seq") << QByteArray(R"({"seq":12.9,"provider":"x"})") << "x · event · seq 12"
						<< "x / event / seq 12";
		QTest::newRow("string seq and wrong types")
			<< QByteArray(R"({"seq":"7","type":3,"provider":null})") << "kelp · event · seq 0"
			<< "kelp / event / seq 0";
		QTest::newRow("placeholders in values")
			<< QByteArray(R"({"type":"%2","provider":"%1","seq":1})") << "%1 · %2 · seq 1"
			<< "%1 / %2 / seq 1";
		QTest::newRow("huge seq saturates")
			<< QByteArray(R"({"seq":1e300})") << "kelp · event · seq 9223372036854775807"
			<< "kelp / event / seq 9223372036854775807";
		QTest::newRow("array") << QByteArray("[1,2,3]") << "[1,2,3]" << QString();
		const QByteArray broken = "{\"seq\":" + QByteArray(300, '9');
		QTest::newRow("broken json cut at 220 bytes")
			<< broken << QString::fromUtf8(broken.left(220)) << QString();
	}

	void onEventSummarisesAndForwards()
	{
		QFETCH(QByteArray, json);
		QFETCH(QString, label);
		QFETCH(QString, logLine);
		makeDock();
		RawClient stream;
		stream.send(kStreamRequest);
		QVERIFY(stream.waitForContains("event: config"));
		const int linesBefore = logTexts(dock.get()).size();

		QMetaObject::invokeMethod(dock.get(), "onEvent", Q_ARG(QByteArray, json));
		QCOMPARE(labelText(dock.get(), "lastEventLabel"), label);
		const QStringList lines = logTexts(dock.get());
		if (logLine.isEmpty()) {
			QCOMPARE(lines.size(), linesBefore);
		} else {
			QCOMPARE(lines.size(), linesBefore + 1);
			QCOMPARE(message(lines.first()), logLine);
		}
		QTRY_COMPARE(kelpPayloads(stream.received), QList<QByteArray>{json});
	}

	void localTestDonations()
	{
		makeDock();
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
		QCOMPARE(message(logTexts(dock.get()).first()),
			 QString("Local test donation sent to Browser Sources."));
		QVERIFY(rawGet("/health").body.contains("\"delivered\":2,"));
	}
};

QTEST_MAIN(TestDock)
#include "test-dock.moc"
