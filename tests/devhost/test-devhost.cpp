#include "support/raw-http.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

// Runs kelp-devhost as its own process, the way a developer or the demo script does, and checks
// the whole road from the simulated service through the module to the local bus.
class TestDevHost : public QObject {
	Q_OBJECT

	QTemporaryDir scratch;

	// One dev host process with its stdout collected as it arrives.
	struct Host {
		QProcess process;
		QByteArray output;
	};

	static bool busPortIsFree()
	{
		QTcpServer probe;
		return probe.listen(QHostAddress::LocalHost, 4251);
	}

	void launch(Host &host, const QString &home, const QStringList &arguments)
	{
		host.process.setProgram(QStringLiteral(KELP_DEVHOST_EXE));
		host.process.setArguments(QStringList{"--home", scratch.filePath(home)} + arguments);
		host.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		connect(&host.process, &QProcess::readyReadStandardOutput, this,
			[&host] { host.output += host.process.readAllStandardOutput(); });
		host.process.start();
	}

	// Launched and running with its dock added.
	void start(Host &host, const QString &home, const QStringList &arguments)
	{
		launch(host, home, arguments);
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("Dock added: kelp_obs_dock") ||
						 host.process.state() == QProcess::NotRunning,
					 20000);
		QVERIFY2(host.process.state() == QProcess::Running, host.output.constData());
	}

	// SIGTERM, then the exit a shell script would see.
	void stop(Host &host)
	{
		host.process.terminate();
		QTRY_VERIFY_WITH_TIMEOUT(host.process.state() == QProcess::NotRunning, 20000);
		host.output += host.process.readAllStandardOutput();
		QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
		QCOMPARE(host.process.exitCode(), 0);
	}

	static QJsonObject sim(quint16 port, const QByteArray &method, const QByteArray &path,
			       const QJsonObject &body = QJsonObject())
	{
		const QByteArray payload =
			method == "GET" ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
		const QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " +
					   "application/json\r\nContent-Length: " + QByteArray::number(payload.size()) +
					   "\r\n\r\n" + payload;
		return QJsonDocument::fromJson(rawRequest(request, port).body).object();
	}

	static QJsonObject busJson(const QByteArray &target)
	{
		return QJsonDocument::fromJson(rawGet(target).body).object();
	}

	// The data of the first "event: <name>" block that holds `needle`, or empty while none came.
	static QByteArray blockData(const QByteArray &stream, const QByteArray &name, const QByteArray &needle)
	{
		const QRegularExpression block(QStringLiteral("event: %1\\ndata: ([^\\n]*)\\n\\n").arg(QString(name)));
		for (auto it = block.globalMatch(QString::fromUtf8(stream)); it.hasNext();) {
			const QByteArray data = it.next().captured(1).toUtf8();
			if (data.contains(needle))
				return data;
		}
		return QByteArray();
	}

private slots:
	void initTestCase()
	{
		QVERIFY(scratch.isValid());
		QVERIFY2(busPortIsFree(), "port 4251 is taken; the dev host's bus could not listen");
	}

	void pairEventConfigRuntimeAndShutdown()
	{
		Host host;
		start(host, "e2e", {"--offscreen", "--sim-port", "0", "--start-pairing"});
		const QRegularExpressionMatch simPage =
			QRegularExpression("Simulator page: http://127\\.0\\.0\\.1:(\\d+)/")
				.match(QString::fromUtf8(host.output));
		QVERIFY2(simPage.hasMatch(), host.output.constData());
		const quint16 port = quint16(simPage.captured(1).toUInt());

		// Before the updater's first check, 1200 ms after the start, so that check finds it. Without
		// a folder the simulator publishes the module's built-in runtime.
		QCOMPARE(sim(port, "POST", "/_sim/runtime/publish", {{"version", "7.7.1"}}).value("runtime_version"),
			 QJsonValue("7.7.1"));

		// The code the dock shows is the one waiting on the service.
		const auto pendingCodes = [port] {
			return sim(port, "GET", "/_sim/state").value("pending_codes").toArray();
		};
		QTRY_VERIFY_WITH_TIMEOUT(!pendingCodes().isEmpty(), 15000);
		const QString code = pendingCodes().first().toString();
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("Pairing code: " + code.toUtf8()), 5000);
		QCOMPARE(sim(port, "POST", "/_sim/pair/approve", {{"code", code}}).value("status"),
			 QJsonValue("approved"));
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("OBS successfully paired with KELP."), 15000);

		RawClient stream;
		stream.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
		QVERIFY(stream.waitForContains(": kelp-local-ready\n\n"));
		const QJsonObject donation{{"type", "donation"}, {"provider", "kelp"}, {"id", "e2e-donation-1"},
					   {"amount", 321},      {"currency", "RUB"},  {"name", "End to end"}};
		const QJsonObject queued = sim(port, "POST", "/_sim/events", {{"event", donation}});
		QVERIFY(queued.value("ok").toBool());
		QTRY_VERIFY_WITH_TIMEOUT(!blockData(stream.received, "kelp", "e2e-donation-1").isEmpty(), 10000);
		const QJsonObject delivered =
			QJsonDocument::fromJson(blockData(stream.received, "kelp", "e2e-donation-1")).object();
		QCOMPARE(delivered.value("amount").toInt(), 321);
		QCOMPARE(delivered.value("name").toString(), QString("End to end"));
		QCOMPARE(delivered.value("seq").toInteger(), queued.value("seq").toInteger());

		// The client syncs every 5 s; the bus serves and pushes what it got.
		const QJsonObject config{{"title", "End-to-end goal"}, {"goal", 4321}, {"currency", "RUB"}};
		QVERIFY(sim(port, "POST", "/_sim/widget-state", {{"revision", "e2e-rev-2"}, {"config", config}})
				.value("ok")
				.toBool());
		QTRY_COMPARE_WITH_TIMEOUT(busJson("/widget/config"), config, 15000);
		QVERIFY(!blockData(stream.received, "config", "End-to-end goal").isEmpty());
		QTRY_COMPARE_WITH_TIMEOUT(busJson("/health").value("widget_revision").toString(), QString("e2e-rev-2"),
					  5000);
		// Published before the first check; a check that raced it is repeated a minute later.
		QTRY_COMPARE_WITH_TIMEOUT(busJson("/health").value("runtime_version").toString(), QString("7.7.1"),
					  75000);

		stop(host);
		QVERIFY(host.output.contains("Dock removed: kelp_obs_dock"));
		QVERIFY(host.output.contains("host log: [KELP] unloaded KELP OBS Plugin 0.4.2"));
		QVERIFY(stream.waitForClosed());
		QVERIFY(busPortIsFree());
	}

	void screenshotOfThePairedDock()
	{
		const QString file = QStringLiteral(KELP_DEVHOST_SCREENSHOT);
		QFile::remove(file);
		Host host;
		launch(host, "screenshot",
		       {"--sim-port", "0", "--pair", "--add-goal", "--donate", "--screenshot", file});
		QTRY_VERIFY_WITH_TIMEOUT(host.process.state() == QProcess::NotRunning, 60000);
		QVERIFY2(host.process.exitStatus() == QProcess::NormalExit && host.process.exitCode() == 0,
			 host.output.constData());

		// Taken after the pairing, the donation and the new source had reached the dock.
		const qsizetype shot = host.output.indexOf("Screenshot: ");
		QVERIFY(shot > 0);
		for (const char *before :
		     {"OBS successfully paired with KELP.", "kelp / donation / seq 1", "Added KELP Event Goal (Local)"})
			QVERIFY2(host.output.lastIndexOf(before, shot) > 0, before);

		QImage image(file);
		QVERIFY2(!image.isNull(), qPrintable(file));
		QVERIFY(image.width() >= 1000 && image.height() >= 600);
		QSet<QRgb> colours;
		for (int y = 0; y < image.height(); y += 7)
			for (int x = 0; x < image.width(); x += 7)
				colours.insert(image.pixel(x, y));
		QVERIFY2(colours.size() > 20, "the picture is nearly blank");
	}
};

QTEST_GUILESS_MAIN(TestDevHost)
#include "test-devhost.moc"
