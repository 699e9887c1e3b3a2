#include "bus-watch.h"
#include "support/raw-http.h"

#include <module-host.h>
#include <obs-standin.h>

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <random>

namespace {

constexpr int kRecoveryMs = 30000;
// Long polls finished within any one second. A good answer with events is followed by the next poll
// at once, but one that brings nothing back at once, or fails, is not: even a service answering
// every poll at once leaves a handful a second.
constexpr int kMaxPollsPerSecond = 20;
const QString kEventsPath = QStringLiteral("/api/v28/plugin/events");

// Resident memory of this process (the dock, the stand-in and the bus watch) in MiB.
qint64 residentMiB(const char *field)
{
	QFile status(QStringLiteral("/proc/self/status"));
	if (!status.open(QIODevice::ReadOnly))
		return -1;
	const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB$").arg(QLatin1String(field)),
				      QRegularExpression::MultilineOption);
	return line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong() / 1024;
}

bool hasControlCharacter(const QString &name)
{
	return std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

QJsonObject simCall(quint16 port, const QByteArray &method, const QByteArray &path,
		    const QJsonObject &body = QJsonObject())
{
	const QByteArray payload = method == "GET" ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
	const QByteArray head = method + ' ' + path + " HTTP/1.1\r\nContent-Length: ";
	return QJsonDocument::fromJson(
		       rawRequest(head + QByteArray::number(payload.size()) + "\r\n\r\n" + payload, port).body)
		.object();
}

} // namespace

// The whole dock, loaded as the dev host loads it, against the service simulator in chaos mode:
// invariants are checked throughout, and once chaos ends the dock must recover on its own.
class TestChaos : public QObject {
	Q_OBJECT

	ModuleHost host{QStringLiteral(KELP_STANDIN_MODULE)};
	quint64 seed = 0;
	QString home;
	quint16 simPort = 0;
	qint64 peakMiB = 0;
	// The UI thread's longest stretch without turning the event loop, as a 10 ms timer sees it.
	QElapsedTimer sinceTurn;
	qint64 longestHoldMs = 0;
	QElapsedTimer soakClock;
	QList<qint64> pollsFinishedMs;

	QString context(const QString &what) const { return QStringLiteral("chaos seed %1: %2").arg(seed).arg(what); }

	QJsonObject sim(const QByteArray &method, const QByteArray &path, const QJsonObject &body = QJsonObject()) const
	{
		return simCall(simPort, method, path, body);
	}

	static QWidget *dock() { return standin::dock(QStringLiteral("kelp_obs_dock")); }

	static QString label(const char *name)
	{
		const QLabel *label = dock() ? dock()->findChild<QLabel *>(QLatin1String(name)) : nullptr;
		return label ? label->text() : QString();
	}

	static QPushButton *button(const char *name)
	{
		return dock() ? dock()->findChild<QPushButton *>(QLatin1String(name)) : nullptr;
	}

	static bool press(const char *name)
	{
		QPushButton *b = button(name);
		if (!b || b->isHidden() || !b->isEnabled())
			return false;
		b->click();
		return true;
	}

	static QString setting(const char *key)
	{
		return QSettings(QStringLiteral("KELP Ziziru"), QStringLiteral("KELP OBS Plugin"))
			.value(QLatin1String(key))
			.toString();
	}

	// The dock's promises about the token; empty while they hold.
	static QString dockBreach()
	{
		const QString token = setting("auth/device_token");
		if (label("statusLabel").startsWith(QLatin1String("KELP: Connected")) && token.isEmpty())
			return QStringLiteral("the dock shows \"%1\" without a token").arg(label("statusLabel"));
		if (token.size() < 8)
			return QString();
		QStringList texts;
		for (const QLabel *l : dock()->findChildren<QLabel *>())
			texts.append(l->text() + l->toolTip());
		for (const QPushButton *b : dock()->findChildren<QPushButton *>())
			texts.append(b->text() + b->toolTip());
		if (const QListWidget *log = dock()->findChild<QListWidget *>(QStringLiteral("logList"))) {
			for (int row = 0; row < log->count(); ++row)
				texts.append(log->item(row)->text());
		}
		for (const QString &text : texts) {
			if (text.contains(token))
				return QStringLiteral("the dock shows the device token: %1").arg(text.left(200));
		}
		return QString();
	}

	// Files the module wrote outside its settings store and runtime cache, names with control
	// characters, and an active runtime without its page; empty while none.
	QString fileBreach() const
	{
		const QDir root(home);
		QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
				QDirIterator::Subdirectories);
		static const QStringList allowed = {"settings", "config", "config/runtime", "config/runtime/event-goal",
						    "cwd",      "tmp"};
		while (it.hasNext()) {
			const QString path = root.relativeFilePath(it.next());
			if (hasControlCharacter(path))
				return QStringLiteral("a name with a control character: %1").arg(path.toHtmlEscaped());
			if (!allowed.contains(path) && !path.startsWith(QLatin1String("settings/")) &&
			    !path.startsWith(QLatin1String("config/runtime/event-goal/")))
				return QStringLiteral("written outside the cache and the store: %1").arg(path);
		}
		if (QFile::exists(QStringLiteral("/tmp/kelp-chaos.html")))
			return QStringLiteral("/tmp/kelp-chaos.html written");
		const QString version = setting("runtime/event_goal_version");
		if (!version.isEmpty() &&
		    !QFile::exists(home + "/config/runtime/event-goal/" + version + "/index.html"))
			return QStringLiteral("the active runtime %1 has no index.html").arg(version);
		return QString();
	}

	// The UI thread held past the bound, or the client polling faster than any answer justifies;
	// empty while neither.
	QString loopBreach() const
	{
		if (longestHoldMs > KELP_CHAOS_HOLD_BOUND_MS)
			return QStringLiteral("the UI thread was held for %1 ms, over the bound of %2 ms")
				.arg(longestHoldMs)
				.arg(KELP_CHAOS_HOLD_BOUND_MS);
		const int rate = busiestPollSecond();
		if (rate > kMaxPollsPerSecond)
			return QStringLiteral("%1 long polls within one second, over the bound of %2")
				.arg(rate)
				.arg(kMaxPollsPerSecond);
		return QString();
	}

	int busiestPollSecond() const
	{
		int busiest = 0;
		for (qsizetype first = 0, last = 0; last < pollsFinishedMs.size(); ++last) {
			while (pollsFinishedMs.at(last) - pollsFinishedMs.at(first) >= 1000)
				++first;
			busiest = std::max(busiest, int(last - first + 1));
		}
		return busiest;
	}

	QString memoryBreach()
	{
		const qint64 now = residentMiB("VmRSS");
		peakMiB = std::max(peakMiB, now);
		return now > KELP_CHAOS_RSS_BOUND_MIB
			       ? QStringLiteral("resident memory %1 MiB over the bound of %2 MiB")
					 .arg(now)
					 .arg(KELP_CHAOS_RSS_BOUND_MIB)
			       : QString();
	}

	bool pairNow(int timeoutMs)
	{
		if (!press("pairButton"))
			return false;
		// The code the dock shows is the one to approve; older ones may linger from chaos.
		QString code;
		if (!QTest::qWaitFor(
			    [&] {
				    code = label("pairCodeLabel");
				    return !code.isEmpty() &&
					   sim("GET", "/_sim/state").value("pending_codes").toArray().contains(code);
			    },
			    timeoutMs))
			return false;
		return sim("POST", "/_sim/pair/approve", {{"code", code}}).value("ok").toBool();
	}

private slots:
	// One seed per process: the module adopts the simulator's origin when it is first loaded, and the
	// peak memory is the process's own.
	void soak_data()
	{
		QTest::addColumn<quint64>("rowSeed");
		QTest::addColumn<int>("seconds");
		const int seconds = qEnvironmentVariableIntValue("KELP_CHAOS_SECONDS") > 0
					    ? qEnvironmentVariableIntValue("KELP_CHAOS_SECONDS")
					    : 20;
		const QString text = qEnvironmentVariable("KELP_CHAOS_SEED", QStringLiteral("random"));
		const quint64 value = text == QLatin1String("random") ? QRandomGenerator::global()->bounded(1u << 31)
								      : text.toULongLong();
		QTest::addRow("seed %llu, %d s", value, seconds) << value << seconds;
	}

	void soak()
	{
		QFETCH(quint64, rowSeed);
		QFETCH(int, seconds);
		seed = rowSeed;
		peakMiB = 0;
		qInfo("chaos seed %llu for %d s; replay with scripts/chaos %d %llu", seed, seconds, seconds, seed);

		QTemporaryDir scratch;
		home = scratch.path();
		for (const char *folder : {"settings", "config", "cwd", "tmp"})
			QVERIFY(QDir(home).mkpath(QLatin1String(folder)));
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home + "/settings");
		QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home + "/settings");
		const QString previousCwd = QDir::currentPath();
		QDir::setCurrent(home + "/cwd");
		qputenv("TMPDIR", (home + "/tmp").toUtf8());
		auto restore = qScopeGuard([&] { QDir::setCurrent(previousCwd); });

		// The simulator in a process of its own: its floods never count against the dock's memory.
		QProcess simProcess;
		simProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		simProcess.start(QStringLiteral(KELP_SERVICE_SIM_EXE),
				 {"--port", "0", "--code-lifetime", "0", "--publish",
				  "1.0.0=" + QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal")});
		QByteArray simOutput;
		const QRegularExpression listening(QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)"));
		QVERIFY(QTest::qWaitFor(
			[&] {
				simOutput += simProcess.readAllStandardOutput();
				return listening.match(QString::fromUtf8(simOutput)).hasMatch();
			},
			10000));
		simPort = listening.match(QString::fromUtf8(simOutput)).captured(1).toUShort();
		auto stopSim = qScopeGuard([&] {
			simProcess.terminate();
			simProcess.waitForFinished(10000);
		});

		QFile image(QStringLiteral(KELP_TEST_DATA_DIR "/widgets/event-goal/frame.png"));
		QVERIFY(image.open(QIODevice::ReadOnly));
		const QByteArray png = image.readAll();
		for (const char *slot : {"mask", "frame"}) {
			const QByteArray upload = "POST /_sim/assets/" + QByteArray(slot) +
						  " HTTP/1.1\r\nContent-Type: image/png\r\nContent-Length: " +
						  QByteArray::number(png.size()) + "\r\n\r\n" + png;
			QCOMPARE(rawRequest(upload, simPort).status, 200);
		}
		// A large particle image, which the bus watch's hoarder asks for and never reads.
		const QByteArray particle(8 * 1024 * 1024, 'p');
		QCOMPARE(rawRequest(
				 "POST /_sim/assets/particle HTTP/1.1\r\nContent-Type: image/png\r\nContent-Length: " +
					 QByteArray::number(particle.size()) + "\r\n\r\n" + particle,
				 simPort)
				 .status,
			 200);

		// As the dev host hosts the module.
		standin::reset();
		standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
		standin::setModuleConfigPath(home + "/config");
		standin::setServiceOrigin(QStringLiteral("http://127.0.0.1:%1").arg(simPort));
		standin::addScene(QStringLiteral("Scene"));
		standin::setCurrentScene(QStringLiteral("Scene"));
		QString error;
		QVERIFY2(host.load(standin::module(), QStringLiteral("en-US"), &error), qPrintable(error));
		auto unload = qScopeGuard([&] {
			host.unload();
			QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
		});
		QVERIFY(dock());
		// Shown, as in OBS: what the dock lays out and paints counts towards the UI thread's holds.
		dock()->show();

		// Paired, with the runtime downloaded and the Event Goal in the scene, before chaos starts.
		QVERIFY2(pairNow(10000), qPrintable(context("pairing before chaos: " + label("statusLabel") + " · " +
							    label("pairCodeLabel"))));
		QTRY_VERIFY_WITH_TIMEOUT(button("pairButton")->isHidden(), 10000);
		QTRY_VERIFY2_WITH_TIMEOUT(label("runtimeLabel").contains("1.0.0 · active"),
					  qPrintable(context(label("runtimeLabel"))), 20000);
		QVERIFY(press("addEventGoalButton"));
		QTRY_COMPARE_WITH_TIMEOUT(rawGet("/widget/asset/particle").body.size(), particle.size(), 20000);

		// From here on every stretch of the UI thread and every long poll counts.
		longestHoldMs = 0;
		pollsFinishedMs.clear();
		soakClock.start();
		for (QNetworkAccessManager *network : dock()->findChildren<QNetworkAccessManager *>()) {
			if (qobject_cast<QNetworkAccessManager *>(network->parent()))
				continue; // a renewed one, whose replies reach its parent's signal
			connect(network, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
				if (reply->url().path() == kEventsPath)
					pollsFinishedMs.append(soakClock.elapsed());
			});
		}
		QTimer turns;
		turns.setTimerType(Qt::PreciseTimer);
		connect(&turns, &QTimer::timeout, this,
			[this] { longestHoldMs = std::max(longestHoldMs, sinceTurn.restart()); });
		sinceTurn.start();
		turns.start(10);

		BusWatch watch;
		watch.start();
		// Long polls answered within half a second, so the events route meets chaos as often as the others.
		sim("POST", "/_sim/settings", {{"max_wait_ms", 500}});
		QVERIFY(sim("POST", "/_sim/chaos", {{"seed", QString::number(seed)}, {"seconds", seconds}})
				.value("active")
				.toBool());
		// Whatever the seed draws: the next polls it leaves alone are redirected to another origin of
		// this simulator, which counts a token that follows.
		sim("POST", "/_sim/faults",
		    {{"path", "/api/v28/plugin/events"},
		     {"kind", "redirect"},
		     {"body", QStringLiteral("http://localhost:%1").arg(simPort)},
		     {"count", 3}});

		// What a streamer might press meanwhile, drawn from the same seed.
		std::mt19937_64 presses(seed);
		const char *const buttons[] = {"pairButton",         "checkRuntimeButton", "checkRuntimeButton",
					       "syncConfigButton",   "syncConfigButton",   "testEventButton",
					       "addEventGoalButton", "pairButton",         "copyCodeButton",
					       "disconnectButton"};
		QElapsedTimer clock;
		clock.start();
		int tick = 0;
		int mostStreams = 0; // as the dock shows them
		while (clock.elapsed() < seconds * 1000) {
			QTest::qWait(100);
			++tick;
			mostStreams = std::max(mostStreams, label("busLabel").section(QLatin1String(": "), -1).toInt());
			const QString breach = dockBreach();
			QVERIFY2(breach.isEmpty(), qPrintable(context(breach)));
			if (tick % 10 == 0) {
				QString found = memoryBreach();
				if (found.isEmpty())
					found = fileBreach();
				if (found.isEmpty())
					found = loopBreach();
				QVERIFY2(found.isEmpty(), qPrintable(context(found)));
			}
			if (tick % 5 == 0)
				press(buttons[presses() % std::size(buttons)]);
			// The user approves whatever code the dock shows, so approvals meet chaos too.
			if (tick % 20 == 10 && !label("pairCodeLabel").isEmpty())
				sim("POST", "/_sim/pair/approve", {{"code", label("pairCodeLabel")}});
			// From the second half on, recovery included, a service that answers a poll at once
			// instead of holding it.
			if (tick == seconds * 5)
				sim("POST", "/_sim/settings", {{"max_wait_ms", 0}});
			// The first with a field of a megabyte, which the bus passes on whole.
			if (tick % 20 == 0)
				sim("POST", "/_sim/events",
				    {{"event", QJsonObject{{"type", "donation"},
							   {"provider",
							    tick == 20 ? QString(1 << 20, QLatin1Char('p')) : "kelp"},
							   {"id", QStringLiteral("chaos-%1").arg(tick)}}}});
		}
		sim("DELETE", "/_sim/faults");
		const qint64 chaosEndMs = QDateTime::currentMSecsSinceEpoch();
		QTRY_VERIFY_WITH_TIMEOUT(!sim("GET", "/_sim/chaos").value("active").toBool(), 5000);
		qInfo("chaos replies drawn: %s", QJsonDocument(sim("GET", "/_sim/chaos").value("drawn").toObject())
							 .toJson(QJsonDocument::Compact)
							 .constData());

		// Recovery, with the simulator behaving again.
		QElapsedTimer recovery;
		recovery.start();
		const auto left = [&] {
			return int(std::max<qint64>(1, kRecoveryMs - recovery.elapsed()));
		};
		if (!button("pairButton")->isHidden())
			QVERIFY2(pairNow(left()), qPrintable(context("pairing after chaos")));
		QTRY_VERIFY2_WITH_TIMEOUT(label("statusLabel") == QLatin1String("KELP: Connected"),
					  qPrintable(context("not connected after chaos: " + label("statusLabel"))),
					  left());
		// One long answer: handed on a slice at a time, it holds the UI thread no longer than a short
		// one. Its seqs lie far ahead, so the recovery event below must come after them.
		constexpr qint64 kBatchBase = 1000000000000;
		constexpr int kBatchEvents = 1000;
		QByteArray batch = "{\"ok\":true,\"events\":[";
		for (int i = 1; i <= kBatchEvents; ++i)
			batch += (i > 1 ? "," : "") + QByteArray(R"({"type":"follow","id":"batch","seq":)") +
				 QByteArray::number(kBatchBase + i) + '}';
		batch += "]}";
		sim("POST", "/_sim/faults",
		    {{"path", kEventsPath}, {"kind", "status"}, {"status", 200}, {"body", QString::fromLatin1(batch)}});
		// Each event is synced to disk before it goes: the batch's time is its own, not recovery's.
		QElapsedTimer batchClock;
		batchClock.start();
		QTRY_VERIFY2_WITH_TIMEOUT(
			setting("events/last_seq") == QString::number(kBatchBase + kBatchEvents),
			qPrintable(context("the long answer was not taken: " + setting("events/last_seq"))), 90000);
		qInfo("chaos seed %llu: a batch of %d events taken in %lld ms", seed, kBatchEvents,
		      batchClock.elapsed());
		// The next poll resumes after the batch and lifts the simulator's seq past it.
		const qsizetype pollsBeforeResume = pollsFinishedMs.size();
		QTRY_VERIFY_WITH_TIMEOUT(pollsFinishedMs.size() > pollsBeforeResume, 5000);
		recovery.restart();
		const QString deviceId = setting("device/id");
		const QJsonObject config{{"title", QStringLiteral("recovered %1").arg(seed)}, {"goal", 777}};
		sim("POST", "/_sim/widget-state", {{"config", config}});
		QVERIFY(sim("POST", "/_sim/runtime/publish",
			    {{"version", "2.0.0"}, {"folder", KELP_TEST_DATA_DIR "/widgets/event-goal"}})
				.value("ok")
				.toBool());
		const QString eventId = QStringLiteral("recovery-%1").arg(seed);
		const qint64 seq =
			sim("POST", "/_sim/events",
			    {{"device_id", deviceId}, {"event", QJsonObject{{"type", "donation"}, {"id", eventId}}}})
				.value("seq")
				.toInteger();
		const QString delivered = eventId + QLatin1Char('@') + QString::number(seq);

		bool checkPressed = false;
		QStringList missing;
		const auto recovered = [&] {
			checkPressed = checkPressed || press("checkRuntimeButton");
			missing.clear();
			const QJsonArray devices = sim("GET", "/_sim/state").value("devices").toArray();
			const bool beat = std::any_of(devices.begin(), devices.end(), [&](const QJsonValue &device) {
				return device["device_id"] == deviceId &&
				       device["last_heartbeat_ms"].toInteger() > chaosEndMs;
			});
			if (!beat)
				missing.append("a heartbeat");
			if (QJsonDocument::fromJson(rawGet("/widget/config").body).object() != config)
				missing.append("the widget configuration");
			for (const QStringList &ids : watch.eventIds()) {
				if (!ids.contains(delivered))
					missing.append("event " + delivered + " at every reader");
			}
			const QString runtime = label("runtimeLabel");
			if (!checkPressed ||
			    !(runtime.contains("2.0.0 · active") || runtime.contains("2.0.0 · up to date")))
				missing.append("runtime 2.0.0 (" + runtime + ")");
			return missing.isEmpty();
		};
		QVERIFY2(QTest::qWaitFor(recovered, left()) || recovered(),
			 qPrintable(context("not recovered within 30 s: " + missing.join(", ") + " · " +
					    label("countersLabel") + " · " + label("statusLabel"))));
		QTest::qWait(1000);
		for (const QStringList &ids : watch.eventIds())
			QVERIFY2(ids.count(delivered) == 1,
				 qPrintable(context(delivered + " delivered " + QString::number(ids.count(delivered)) +
						    " times")));
		qInfo("chaos seed %llu: longest UI thread hold %lld ms (bound %d ms), busiest second %d long polls "
		      "(bound %d)",
		      seed, longestHoldMs, KELP_CHAOS_HOLD_BOUND_MS, busiestPollSecond(), kMaxPollsPerSecond);
		const QString loop = loopBreach();
		QVERIFY2(loop.isEmpty(), qPrintable(context(loop)));
		QVERIFY2(watch.faults().isEmpty(), qPrintable(context("bus: " + watch.faults().join("; "))));
		QVERIFY2(watch.probes() > seconds * 2, qPrintable(context("the bus watch did not run")));
		QVERIFY2(mostStreams >= BusWatch::kStallers,
			 qPrintable(context(QStringLiteral("the dock showed at most %1 streams").arg(mostStreams))));
		const QString files = fileBreach();
		QVERIFY2(files.isEmpty(), qPrintable(context(files)));
		QVERIFY2(sim("GET", "/_sim/state").value("tokens_off_origin").toInteger() == 0,
			 qPrintable(context("the token followed a redirect to another origin")));

		unload.dismiss();
		host.unload();
		QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
		QVERIFY2(standin::outstandingReferences().isEmpty(),
			 qPrintable(context(standin::outstandingReferences().join("; "))));
		peakMiB = std::max(peakMiB, residentMiB("VmHWM"));
		qInfo("chaos seed %llu: peak resident memory %lld MiB, bound %d MiB", seed, peakMiB,
		      KELP_CHAOS_RSS_BOUND_MIB);
		QVERIFY2(peakMiB <= KELP_CHAOS_RSS_BOUND_MIB,
			 qPrintable(context("peak resident memory over the bound")));
	}
};

QTEST_MAIN(TestChaos)
#include "test-chaos.moc"
