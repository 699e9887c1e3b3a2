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

// One dev host process with its stdout collected as it arrives.
struct Host : QProcess {
	QByteArray output;
	Host(const QString &home, const QStringList &arguments)
	{
		setProcessChannelMode(ForwardedErrorChannel);
		connect(this, &QProcess::readyReadStandardOutput, [this] { output += readAllStandardOutput(); });
		start(QStringLiteral(KELP_DEVHOST_EXE), QStringList{"--home", home} + arguments);
	}
	bool exitedCleanly() const { return exitStatus() == NormalExit && exitCode() == 0; }
};

QJsonObject json(const QByteArray &bytes)
{
	return QJsonDocument::fromJson(bytes).object();
}

// Runs kelp-devhost as its own process, the way a developer or the demo script does, and checks
// the whole road from the simulated service through the module to the local bus.
class TestDevHost : public QObject {
	Q_OBJECT

	QTemporaryDir scratch;

	static bool busPortIsFree()
	{
		QTcpServer probe;
		return probe.listen(QHostAddress::LocalHost, 4251);
	}

	static QJsonObject sim(quint16 port, const QByteArray &method, const QByteArray &path,
			       const QJsonObject &body = QJsonObject())
	{
		const QByteArray payload =
			method == "GET" ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
		const QByteArray head = method + ' ' + path + " HTTP/1.1\r\nContent-Length: ";
		return json(rawRequest(head + QByteArray::number(payload.size()) + "\r\n\r\n" + payload, port).body);
	}

private slots:
	void initTestCase() { QVERIFY2(busPortIsFree(), "port 4251 is taken; the dev host's bus could not listen"); }

	// Events, widget config and runtime through the same dock are the dock-client and crash-restart
	// suites' part; here the host's own pairing loop and its shutdown.
	void pairRepairAndShutdown()
	{
		Host host(scratch.filePath("e2e"), {"--offscreen", "--sim-port", "0", "--start-pairing"});
		QTRY_VERIFY2_WITH_TIMEOUT(host.output.contains("Dock added: kelp_obs_dock"), host.output.constData(),
					  20000);
		const QRegularExpression simPage("Simulator page: http://127\\.0\\.0\\.1:(\\d+)/");
		const quint16 port = simPage.match(QString::fromUtf8(host.output)).captured(1).toUShort();
		QVERIFY2(port, host.output.constData());

		// The code the dock shows is the one waiting on the service.
		const auto pendingCodes = [port] {
			return sim(port, "GET", "/_sim/state").value("pending_codes").toArray();
		};
		QTRY_VERIFY_WITH_TIMEOUT(!pendingCodes().isEmpty(), 15000);
		const QString expired = pendingCodes().first().toString();
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("Pairing code: " + expired.toUtf8()), 5000);
		// Headless, nobody could press "Pair OBS" again: the host does, and shows the new code.
		sim(port, "POST", "/_sim/pair/expire", {{"code", expired}});
		QTRY_VERIFY_WITH_TIMEOUT(!pendingCodes().isEmpty() && pendingCodes().first() != expired, 15000);
		const QString code = pendingCodes().first().toString();
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("Pairing code: " + code.toUtf8()), 5000);
		const QString deviceId =
			sim(port, "POST", "/_sim/pair/approve", {{"code", code}}).value("device_id").toString();
		QTRY_VERIFY_WITH_TIMEOUT(host.output.contains("OBS successfully paired with KELP."), 15000);

		RawClient stream;
		stream.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
		QVERIFY(stream.waitForContains("event: config"));

		// A revoked token: "Disconnect this OBS", then "Pair OBS" again.
		sim(port, "POST", "/_sim/tokens/revoke", {{"device_id", deviceId}});
		QTRY_VERIFY_WITH_TIMEOUT(!pendingCodes().isEmpty(), 30000);
		QTRY_VERIFY_WITH_TIMEOUT(
			host.output.contains("Pairing code: " + pendingCodes().first().toString().toUtf8()), 5000);

		// SIGTERM, then the exit a shell script would see.
		host.terminate();
		QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 20000);
		QVERIFY2(host.exitedCleanly(), host.output.constData());
		QVERIFY(host.output.contains("Dock removed: kelp_obs_dock"));
		QVERIFY(host.output.contains("host log: [KELP] unloaded KELP OBS Plugin"));
		QVERIFY(stream.waitForClosed());
		QVERIFY(busPortIsFree());
	}

	// The README's screenshot command run again and again with one home, as a newcomer would: the
	// second run resumes the pairing with the simulator, which kept its side of it; --fresh forgets
	// both sides and pairs anew.
	void screenshotRerunsAndFresh()
	{
		const QString file = QStringLiteral(KELP_DEVHOST_SCREENSHOT);
		const QString home = scratch.filePath("screenshot");
		struct Run {
			const char *name;
			QStringList extra;
			bool pairs;
		};
		for (const Run &run :
		     {Run{"first", {}, true}, Run{"rerun", {}, false}, Run{"fresh", {"--fresh"}, true}}) {
			QFile::remove(file);
			Host host(home, QStringList{"--sim-port", "0", "--publish", "1.0.0", "--pair", "--add-goal",
						    "--donate", "--screenshot", file} +
						run.extra);
			QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 60000);
			const QByteArray context = QByteArray(run.name) + ":\n" + host.output;
			QVERIFY2(host.exitedCleanly(), context.constData());

			// Taken after the dock connected and the donation reached both the dock and a widget
			// stream; a resumed run shows no code at all.
			const qsizetype shot = host.output.indexOf("Screenshot: ");
			QVERIFY2(shot > 0, context.constData());
			for (const char *before : {"dock status: KELP: Connected", "kelp / donation / seq",
						   "Widget stream: the donation arrived on /events."})
				QVERIFY2(host.output.lastIndexOf(before, shot) > 0,
					 (before + ("\n" + context)).constData());
			QCOMPARE(host.output.contains("Pairing code: "), run.pairs);
			QVERIFY2(!host.output.contains("Runtime update check failed"), context.constData());
		}

		QImage image(file);
		QVERIFY(image.width() >= 1000 && image.height() >= 600);
		QSet<QRgb> colours;
		for (int y = 0; y < image.height(); y += 7)
			for (int x = 0; x < image.width(); x += 7)
				colours.insert(image.pixel(x, y));
		QVERIFY2(colours.size() > 20, "the picture is nearly blank");
	}

	// Every bad command line gets one exit code, whatever the parser or the host found wrong.
	void badCommandLine_data()
	{
		QTest::addColumn<QStringList>("arguments");
		QTest::newRow("unknown option") << QStringList{"--bogus"};
		QTest::newRow("missing value") << QStringList{"--sim-port"};
		QTest::newRow("bad port") << QStringList{"--sim-port", "70000"};
		QTest::newRow("bad origin") << QStringList{"--service", "ftp://127.0.0.1"};
	}
	void badCommandLine()
	{
		QFETCH(QStringList, arguments);
		Host host(scratch.filePath("bad"), QStringList{"--offscreen"} + arguments);
		QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 20000);
		QCOMPARE(host.exitCode(), 2);
	}

	// Another process on the bus's port: the dev host must not send a browser there, and a
	// scripted picture must fail.
	void busPortTakenByAnotherProcess()
	{
		QTcpServer squatter;
		QVERIFY(squatter.listen(QHostAddress::LocalHost, 4251));
		const QString file = scratch.filePath("taken.png");
		Host host(scratch.filePath("taken"), {"--offscreen", "--sim-port", "0", "--screenshot", file});
		QTRY_VERIFY_WITH_TIMEOUT(host.state() == QProcess::NotRunning, 60000);
		QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 4, host.output.constData());
		QVERIFY2(host.output.contains("port 4251 on 127.0.0.1 is taken by another process"),
			 host.output.constData());
		QVERIFY(!host.output.contains("Widget: http"));
		QVERIFY(QFile::exists(file));
	}
};

QTEST_GUILESS_MAIN(TestDevHost)
#include "test-devhost.moc"
