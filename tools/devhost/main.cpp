// kelp-devhost: the KELP dock on a desktop (or headless) without OBS. It loads the module built
// against the libobs stand-in exactly as OBS loads it, shows the dock and the stand-in's current
// scene, and runs the service simulator in the same process unless told to use another service.

#include "autopilot.h"
#include "devhost-window.h"
#include "module-host.h"
#include "quit-on-signal.h"
#include "service-sim.h"

#include <obs-standin.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

#include <cstring>

namespace {

constexpr quint16 kDefaultSimPort = 4260;
constexpr char kDockId[] = "kelp_obs_dock";
constexpr char kWidgetUrl[] = "http://127.0.0.1:4251/widget/event-goal/";
constexpr char kSimStateFile[] = "/service-sim.json";

// Exit codes besides 0 and 1 (could not start); 3 comes from the autopilot.
constexpr int kExitBadCommandLine = 2;
constexpr int kExitBusPortTaken = 4;

QtMessageHandler defaultMessageHandler = nullptr;

// Qt's complaints about the host's own environment (no runtime folder on a bare machine, a window
// feature the offscreen platform lacks) say nothing about the module and read like failures.
void dropHostNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
	if (type == QtWarningMsg && (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")) ||
				     message.contains(QLatin1String("propagateSizeHints()"))))
		return;
	if (defaultMessageHandler)
		defaultMessageHandler(type, context, message);
}

bool hasArgument(int argc, char **argv, const char *name)
{
	for (int i = 1; i < argc; ++i) {
		if (std::strcmp(argv[i], name) == 0)
			return true;
	}
	return false;
}

// Chooses the Qt platform before QApplication exists: --offscreen, or any run on a machine without
// a display, runs on the offscreen platform unless the caller already chose one.
void choosePlatform(int argc, char **argv)
{
	if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
		return;
	const bool display = qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
	if (!display || hasArgument(argc, argv, "--offscreen"))
		qputenv("QT_QPA_PLATFORM", "offscreen");
}

bool isServiceOrigin(const QString &text)
{
	const QUrl url(text, QUrl::StrictMode);
	return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
	       !url.host().isEmpty() && (url.path().isEmpty() || url.path() == QLatin1String("/")) && !url.hasQuery() &&
	       !url.hasFragment();
}

// The default home of a run against another service: a token is good only with the service that
// issued it, so each origin pairs in a folder of its own and never reuses another's token.
QString serviceHomeName(const QString &origin)
{
	const QUrl url(origin);
	QString name = QStringLiteral("%1-%2-%3")
			       .arg(url.scheme(), url.host())
			       .arg(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
	for (QChar &c : name) {
		if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-'))
			c = QLatin1Char('_');
	}
	return name;
}

// What a headless user runs to approve a code without a browser: only a simulator has the
// control API, and only one on this machine can be the simulator.
QString approveCommand(const QString &origin, bool testAuthority)
{
	const QString host = QUrl(origin).host();
	if (host != QLatin1String("127.0.0.1") && host != QLatin1String("localhost") && host != QLatin1String("::1"))
		return QString();
	const QString cacert = testAuthority
				       ? QStringLiteral("--cacert '%1' ").arg(kelpsim::ServiceSim::testAuthorityFile())
				       : QString();
	return QStringLiteral("curl -s %1-d '{\"code\":\"%CODE%\"}' %2/_sim/pair/approve").arg(cacert, origin);
}

} // namespace

int main(int argc, char **argv)
{
	defaultMessageHandler = qInstallMessageHandler(dropHostNoise);
	choosePlatform(argc, argv);
	QApplication app(argc, argv);
	QApplication::setApplicationName(QStringLiteral("kelp-devhost"));

	QCommandLineParser parser;
	parser.setApplicationDescription(QStringLiteral(
		"Runs the KELP dock without OBS: the module on the libobs stand-in, with the service simulator "
		"in the same process.\n\n"
		"Exit codes: 0 stopped, or the screenshot written; 1 could not start, or could not write the "
		"screenshot; 2 bad command line, or --publish failed; 3 the dock did not settle before the "
		"screenshot; 4 another process holds the bus's port 4251 (with --screenshot)."));
	const QCommandLineOption helpOption = parser.addHelpOption();
	const QCommandLineOption offscreenOption(QStringLiteral("offscreen"),
						 QStringLiteral("Run without a display; stop with Ctrl+C or SIGTERM."));
	const QCommandLineOption screenshotOption(
		QStringLiteral("screenshot"),
		QStringLiteral("Write a PNG of the window once the dock has settled, then exit."),
		QStringLiteral("FILE"));
	const QCommandLineOption pairOption(
		QStringLiteral("pair"),
		QStringLiteral("Press \"Pair OBS\" and approve the code in the built-in simulator."));
	const QCommandLineOption startPairingOption(
		QStringLiteral("start-pairing"),
		QStringLiteral("Press \"Pair OBS\" and leave the code for someone to approve or let expire."));
	const QCommandLineOption addGoalOption(QStringLiteral("add-goal"),
					       QStringLiteral("Press \"Add KELP-native Event Goal (local)\"."));
	const QCommandLineOption donateOption(
		QStringLiteral("donate"),
		QStringLiteral("Open one /events stream as a Browser Source would, then queue one donation in the "
			       "built-in simulator once paired."));
	const QCommandLineOption serviceOption(
		QStringLiteral("service"),
		QStringLiteral("Talk to the service at this origin instead of the built-in simulator."),
		QStringLiteral("URL"));
	const QCommandLineOption simPortOption(
		QStringLiteral("sim-port"),
		QStringLiteral("Port of the built-in simulator on 127.0.0.1 (default %1; 0 picks a free one).")
			.arg(kDefaultSimPort),
		QStringLiteral("N"), QString::number(kDefaultSimPort));
	const QCommandLineOption publishOption(
		QStringLiteral("publish"),
		QStringLiteral("Publish the built-in widget runtime as VERSION in the built-in simulator at start."),
		QStringLiteral("VERSION"));
	const QCommandLineOption tlsOption(
		QStringLiteral("tls"),
		QStringLiteral("Serve the built-in simulator over HTTPS with the build's test certificate, and let the "
			       "module trust the test authority (%1); with --service, only the latter.")
			.arg(kelpsim::ServiceSim::testAuthorityFile()));
	const QCommandLineOption homeOption(
		QStringLiteral("home"),
		QStringLiteral("Folder for the settings store, the runtime cache and the built-in simulator's state "
			       "(default: %1; with --service, a folder per service origin below it).")
			.arg(QDir::toNativeSeparators(
				QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))),
		QStringLiteral("DIR"));
	const QCommandLineOption freshOption(
		QStringLiteral("fresh"),
		QStringLiteral("Forget the device, its pairing, the runtime cache and the built-in "
			       "simulator's state first."));
	const QCommandLineOption noSceneOption(QStringLiteral("no-scene"),
					       QStringLiteral("Start with no current scene."));
	const QCommandLineOption noBrowserOption(QStringLiteral("no-browser"),
						 QStringLiteral("Start as if OBS Browser were not installed."));
	for (const QCommandLineOption *option :
	     {&offscreenOption, &screenshotOption, &pairOption, &startPairingOption, &addGoalOption, &donateOption,
	      &serviceOption, &simPortOption, &publishOption, &homeOption, &freshOption, &noSceneOption,
	      &noBrowserOption, &tlsOption})
		parser.addOption(*option);

	QTextStream out(stdout);
	QTextStream err(stderr);
	// Any bad command line exits with one code, an unknown option as much as a bad value.
	if (!parser.parse(QCoreApplication::arguments())) {
		err << "kelp-devhost: " << parser.errorText() << " See --help." << Qt::endl;
		return kExitBadCommandLine;
	}
	if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
		parser.showHelp(0);

	const bool useSim = !parser.isSet(serviceOption);
	bool ok = false;
	const uint simPort = parser.value(simPortOption).toUInt(&ok);
	if (!ok || simPort > 65535) {
		err << "kelp-devhost: invalid --sim-port " << parser.value(simPortOption) << Qt::endl;
		return kExitBadCommandLine;
	}
	if (!useSim && !isServiceOrigin(parser.value(serviceOption))) {
		err << "kelp-devhost: --service needs an origin such as https://host[:port], got "
		    << parser.value(serviceOption) << Qt::endl;
		return kExitBadCommandLine;
	}
	if (!useSim && (parser.isSet(pairOption) || parser.isSet(donateOption) || parser.isSet(publishOption)))
		err << "kelp-devhost: --pair approves, --donate queues and --publish publishes in the built-in "
		       "simulator only; with --service, --pair only presses \"Pair OBS\""
		    << Qt::endl;

	// Everything the module keeps goes into a folder of the dev host's own, never into a real OBS
	// installation's store or cache.
	QString origin = useSim ? QString() : parser.value(serviceOption);
	while (origin.endsWith(QLatin1Char('/')))
		origin.chop(1);
	QString home = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
	if (parser.isSet(homeOption))
		home = parser.value(homeOption);
	else if (!useSim)
		home += QStringLiteral("/services/") + serviceHomeName(origin);
	home = QDir(home).absolutePath();
	if (parser.isSet(freshOption)) {
		QDir(home + QStringLiteral("/settings")).removeRecursively();
		QDir(home + QStringLiteral("/config")).removeRecursively();
		QFile::remove(home + QLatin1String(kSimStateFile));
	}
	if (!QDir().mkpath(home)) {
		err << "kelp-devhost: cannot create " << home << Qt::endl;
		return 1;
	}
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home + QStringLiteral("/settings"));
	QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home + QStringLiteral("/settings"));
	standin::setModuleDataPath(QStringLiteral(KELP_DEVHOST_DATA_DIR));
	standin::setModuleConfigPath(home + QStringLiteral("/config"));

	kelpsim::ServiceSim sim;
	QString simPage;
	if (useSim) {
		sim.setPairCodeLifetime(600000);
		sim.setDefaultRuntimeFolder(QStringLiteral(KELP_DEVHOST_DATA_DIR "/widgets/event-goal"));
		// The module keeps its device token in the home; the service it paired with must still know
		// it on the next run, as a real one would.
		if (!sim.setStateFile(home + QLatin1String(kSimStateFile)))
			err << "kelp-devhost: ignoring the unreadable simulator state " << home << kSimStateFile
			    << "; the dock will have to pair again (or start with --fresh)" << Qt::endl;
		if (parser.isSet(publishOption) &&
		    !sim.publishRuntime(parser.value(publishOption),
					QStringLiteral(KELP_DEVHOST_DATA_DIR "/widgets/event-goal"))) {
			err << "kelp-devhost: could not publish the built-in runtime as " << parser.value(publishOption)
			    << Qt::endl;
			return kExitBadCommandLine;
		}
		if (parser.isSet(tlsOption) && !sim.useTestTls()) {
			err << "kelp-devhost: cannot read the test certificate beside "
			    << kelpsim::ServiceSim::testAuthorityFile() << Qt::endl;
			return 1;
		}
		if (!sim.listen(quint16(simPort))) {
			err << "kelp-devhost: cannot listen on 127.0.0.1:" << simPort
			    << " for the service simulator; pick another with --sim-port" << Qt::endl;
			return 1;
		}
		origin = sim.origin();
		simPage = origin + QStringLiteral("/");
	}
	// The module's stand-in build takes this origin, and the test authority, when it loads.
	standin::setServiceOrigin(origin);
	if (parser.isSet(tlsOption))
		standin::setTrustedAuthority(kelpsim::ServiceSim::testAuthorityFile());

	DevHostWindow window(DevHostInfo{origin, simPage, QString::fromLatin1(kWidgetUrl), home});
	window.addScene(QStringLiteral("Scene"));
	window.setCurrentScene(parser.isSet(noSceneOption) ? QString() : QStringLiteral("Scene"));
	window.setBrowserMissing(parser.isSet(noBrowserOption));
	QObject::connect(&window, &DevHostWindow::hostLogLine, &window,
			 [&out](int, const QString &text) { out << "host log: " << text << Qt::endl; });

	standin::setDockObserver(
		[&window, &out](const QString &id, const QString &title, QWidget *widget) {
			window.attachDock(id, title, widget);
			out << "Dock added: " << id << " \"" << title << "\"" << Qt::endl;
		},
		[&window, &out](const QString &id, QWidget *widget) {
			window.detachDock(id, widget);
			out << "Dock removed: " << id << Qt::endl;
		});

	out << "KELP dev host" << Qt::endl;
	out << "Service: " << origin << (useSim ? " (built-in simulator)" : "") << Qt::endl;
	if (useSim)
		out << "Simulator page: " << simPage << Qt::endl;
	out << "Home: " << home << Qt::endl;

	ModuleHost module(QStringLiteral(KELP_DEVHOST_MODULE));
	QString error;
	if (!module.load(standin::module(), QStringLiteral("en-US"), &error)) {
		err << "kelp-devhost: could not load the module: " << error << Qt::endl;
		window.poll(); // the host log says why
		standin::setDockObserver(nullptr, nullptr);
		return 1;
	}
	window.poll();

	// The dock reports a bus that could not listen; the port is then someone else's, and the widget
	// URL would lead a browser there.
	const QWidget *dock = window.dockWidget(QLatin1String(kDockId));
	const QLabel *busLabel = dock ? dock->findChild<QLabel *>(QStringLiteral("busLabel")) : nullptr;
	const bool busPortTaken = busLabel && busLabel->text().startsWith(QStringLiteral("○"));
	if (busPortTaken)
		out << "Widget: none; port 4251 on 127.0.0.1 is taken by another process, so the dock's local bus "
		       "could not listen"
		    << Qt::endl;
	else
		out << "Widget: " << kWidgetUrl << Qt::endl;

	const bool offscreen =
		parser.isSet(offscreenOption) || QGuiApplication::platformName() == QLatin1String("offscreen");
	if (!offscreen || parser.isSet(screenshotOption))
		window.show();

	AutopilotPlan plan;
	plan.pressPair = parser.isSet(pairOption) || parser.isSet(startPairingOption);
	plan.approve = useSim && parser.isSet(pairOption);
	plan.codePage = useSim ? simPage : origin + QStringLiteral("/");
	plan.approveCommand = approveCommand(origin, parser.isSet(tlsOption));
	plan.addGoal = parser.isSet(addGoalOption);
	plan.donate = useSim && parser.isSet(donateOption);
	plan.widgetReader = plan.donate && !busPortTaken;
	plan.screenshot = parser.value(screenshotOption);
	// Without a window nobody can press the dock's buttons: a run that pairs by itself pairs again
	// when its code or its token expires.
	plan.repair = plan.pressPair && offscreen && plan.screenshot.isEmpty();
	Autopilot autopilot(plan, &window, useSim ? &sim : nullptr);
	QObject::connect(&autopilot, &Autopilot::message, &app,
			 [&out](const QString &line) { out << line << Qt::endl; });
	QObject::connect(&autopilot, &Autopilot::finished, &app, [busPortTaken](int code) {
		// A script must be able to tell a picture without a working bus from a good one.
		QCoreApplication::exit(code == 0 && busPortTaken ? kExitBusPortTaken : code);
	});
	autopilot.start();

	if (!quitOnTerminationSignals(app)) {
		err << "kelp-devhost: socketpair failed" << Qt::endl;
		module.unload();
		return 1;
	}

	if (!plan.screenshot.isEmpty())
		out << "Taking the screenshot once the dock has settled." << Qt::endl;
	else
		out << (offscreen ? "Running without a window; stop with Ctrl+C."
				  : "Running; close the window to stop.")
		    << Qt::endl;
	const int code = app.exec();

	// As OBS shuts down: the module removes its dock, whose destruction stops the local bus.
	module.unload();
	// Replies and sockets the module scheduled for deletion go now, while their code is loaded.
	QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
	window.poll();
	standin::setDockObserver(nullptr, nullptr);
	if (window.dockWidget(QLatin1String(kDockId)))
		err << "kelp-devhost: the module left its dock behind" << Qt::endl;
	sim.close();
	out << "KELP dev host stopped" << Qt::endl;
	return code;
}
