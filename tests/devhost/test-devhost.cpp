#include "support/raw-http.h"

#include "service-sim.h"

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
		quint16 simPort = 0;
	};

	static bool busPortIsFree()
	{
		QTcpServer probe;
		return probe.listen(QHostAddress::LocalHost, 4251);
	}

	void start(Host &host, const QString &name, const QStringList &arguments)
	{
		host.process.setProgram(QStringLiteral(KELP_DEVHOST_EXE));
		host.process.setArguments(QStringList{"--home", scratch.filePath(name)} + arguments);
		host.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		connect(&host.process, &QProcess::readyReadStandardOutput, this,
			[&host] { host.output += host.process.readAllStandardOutput(); });
		host.process.start();
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("Dock added: kelp_obs_dock") ||
						 host.process.state() == QProcess::NotRunning,
					 20000);
		QVERIFY2(host.process.state() == QProcess::Running, host.output.constData());
		const QRegularExpressionMatch page =
			QRegularExpression(QStringLiteral("Simulator page: http://127\\.0\\.0\\.1:(\\d+)/"))
				.match(QString::fromUtf8(host.output));
		if (page.hasMatch())
			host.simPort = quint16(page.captured(1).toUInt());
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
		const HttpResponse response =
			rawRequest(method + ' ' + path +
					   " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
					   "application/json\r\nContent-Length: " +
					   QByteArray::number(payload.size()) + "\r\n\r\n" + payload,
				   port);
		return QJsonDocument::fromJson(response.body).object();
	}

	static QJsonObject busJson(const QByteArray &target)
	{
		return QJsonDocument::fromJson(rawGet(target).body).object();
	}

	// The data of the first "event: <name>" block that holds `needle`, or empty while none came.
	static QByteArray blockData(const QByteArray &stream, const QByteArray &name, const QByteArray &needle)
	{
		const QByteArray head = "event: " + name + "\ndata: ";
		for (qsizetype at = stream.indexOf(head); at >= 0; at = stream.indexOf(head, at + 1)) {
			const qsizetype end = stream.indexOf("\n\n", at);
			if (end < 0)
				return QByteArray();
			const QByteArray data = stream.mid(at + head.size(), end - at - head.size());
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
		QVERIFY2(host.simPort, host.output.constData());
		const quint16 port = host.simPort;

		// Before the updater's first check, 1200 ms after the start, so that check finds it. Without
		// a folder the simulator publishes the module's built-in runtime.
		const QJsonObject manifest = sim(port, "POST", "/_sim/runtime/publish", {{"version", "7.7.1"}});
		QCOMPARE(manifest.value("runtime_version").toString(), QString("7.7.1"));
		QStringList published;
		for (const QJsonValue file : manifest.value("files").toArray())
			published.append(file.toObject().value("path").toString());
		QVERIFY2(published.contains("index.html"), qPrintable(published.join(' ')));

		// The simulator's own page: self-contained, and not one of the service requests it logs.
		const HttpResponse page = rawGet("/?view=obs", port);
		QCOMPARE(page.status, 200);
		QCOMPARE(page.header("Content-Type"), QByteArray("text/html; charset=utf-8"));
		QVERIFY(page.body.contains("<title>KELP service simulator</title>"));
		QVERIFY(!QRegularExpression(QStringLiteral("(src|href)=\"(https?:)?//"))
				 .match(QString::fromUtf8(page.body))
				 .hasMatch());
		for (const QJsonValue request : sim(port, "GET", "/_sim/requests").value("requests").toArray())
			QVERIFY(request.toObject().value("path").toString() != "/");

		// The code the dock shows is the one waiting on the service.
		QTRY_VERIFY_WITH_TIMEOUT(!sim(port, "GET", "/_sim/state").value("pending_codes").toArray().isEmpty(),
					 15000);
		const QString code =
			sim(port, "GET", "/_sim/state").value("pending_codes").toArray().first().toString();
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("Pairing code: " + code.toUtf8()), 5000);
		const QJsonObject approved = sim(port, "POST", "/_sim/pair/approve", {{"code", code}});
		QCOMPARE(approved.value("status").toString(), QString("approved"));
		const QString deviceId = approved.value("device_id").toString();
		const auto pollingDevice = [&] {
			for (const QJsonValue device : sim(port, "GET", "/_sim/state").value("devices").toArray()) {
				const QJsonObject d = device.toObject();
				if (d.value("device_id").toString() == deviceId)
					return d.value("paired").toBool() && d.value("held_polls").toInt() > 0;
			}
			return false;
		};
		QTRY_VERIFY_WITH_TIMEOUT(pollingDevice(), 15000);

		RawClient stream;
		QVERIFY(stream.isConnected());
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

	void hostConditions_data()
	{
		QTest::addColumn<QStringList>("arguments");
		QTest::addColumn<QByteArray>("dockLog");
		QTest::addColumn<bool>("sourceAdded");

		QTest::newRow("default scene") << QStringList{} << QByteArray("Added KELP Event Goal (Local)") << true;
		QTest::newRow("no current scene")
			<< QStringList{"--no-scene"} << QByteArray("No active OBS scene is available.") << false;
		QTest::newRow("OBS Browser missing")
			<< QStringList{"--no-browser"}
			<< QByteArray("Could not create KELP-local Browser Source. Make sure OBS Browser is installed.")
			<< false;
	}

	// The dock meets the host conditions that the dev host's options set up in the stand-in.
	void hostConditions()
	{
		QFETCH(QStringList, arguments);
		QFETCH(QByteArray, dockLog);
		QFETCH(bool, sourceAdded);

		Host host;
		start(host, QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'),
		      QStringList{"--offscreen", "--sim-port", "0", "--add-goal"} + arguments);
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains(dockLog), 10000);
		stop(host);
		QCOMPARE(host.output.contains("Added KELP Event Goal (Local)"), sourceAdded);
	}

	// The origin is chosen at run time: the same module build talks to a service the test runs.
	void anotherService()
	{
		kelpsim::ServiceSim service;
		QVERIFY(service.listen());
		Host host;
		start(host, "service", {"--offscreen", "--service", service.origin(), "--start-pairing"});
		QVERIFY(host.output.contains("Service: " + service.origin().toUtf8() + '\n'));
		QVERIFY(!host.output.contains("Simulator page:"));
		QTRY_COMPARE_WITH_TIMEOUT(service.pendingCodes().size(), 1, 15000);
		QTRY_VERIFY_WITH_TIMEOUT(
			host.output.contains("Pairing code: " + service.pendingCodes().first().toUtf8()), 5000);
		stop(host);
	}

	void screenshotOfThePairedDock()
	{
		const QString file = QStringLiteral(KELP_DEVHOST_SCREENSHOT);
		QFile::remove(file);
		Host host;
		host.process.setProgram(QStringLiteral(KELP_DEVHOST_EXE));
		host.process.setArguments({"--home", scratch.filePath("screenshot"), "--sim-port", "0", "--pair",
					   "--add-goal", "--donate", "--screenshot", file});
		host.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		connect(&host.process, &QProcess::readyReadStandardOutput, this,
			[&host] { host.output += host.process.readAllStandardOutput(); });
		host.process.start();
		QTRY_VERIFY_WITH_TIMEOUT(host.process.state() == QProcess::NotRunning, 60000);
		QVERIFY2(host.process.exitStatus() == QProcess::NormalExit && host.process.exitCode() == 0,
			 host.output.constData());

		// Taken after the pairing, the donation and the new source had reached the dock.
		const qsizetype shot = host.output.indexOf("Screenshot: ");
		QVERIFY(shot > 0);
		QVERIFY(host.output.lastIndexOf("OBS successfully paired with KELP.", shot) > 0);
		QVERIFY(host.output.lastIndexOf("kelp / donation / seq 1", shot) > 0);
		QVERIFY(host.output.lastIndexOf("Added KELP Event Goal (Local)", shot) > 0);

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
