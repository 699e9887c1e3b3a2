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
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

#include <cstring>

namespace {

constexpr quint16 kDefaultSimPort = 4260;
constexpr char kDockId[] = "kelp_obs_dock";
constexpr char kWidgetUrl[] = "http://127.0.0.1:4251/widget/event-goal/";

bool hasArgument(int argc, char **argv, const char *name)
{
	for (int i = 1; i < argc; ++i) {
		if (std::strcmp(argv[i], name) == 0)
			return true;
	}
	return false;
}

// Chooses the Qt platform before QApplication exists: --offscreen, or a screenshot on a machine
// without a display, runs on the offscreen platform unless the caller already chose one.
void choosePlatform(int argc, char **argv)
{
	if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
		return;
	const bool display = qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
	if (hasArgument(argc, argv, "--offscreen") || (!display && hasArgument(argc, argv, "--screenshot")))
		qputenv("QT_QPA_PLATFORM", "offscreen");
}

bool isServiceOrigin(const QString &text)
{
	const QUrl url(text, QUrl::StrictMode);
	return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
	       !url.host().isEmpty() && (url.path().isEmpty() || url.path() == QLatin1String("/")) && !url.hasQuery() &&
	       !url.hasFragment();
}

} // namespace

int main(int argc, char **argv)
{
	choosePlatform(argc, argv);
	QApplication app(argc, argv);
	QApplication::setApplicationName(QStringLiteral("kelp-devhost"));

	QCommandLineParser parser;
	parser.setApplicationDescription(QStringLiteral(
		"Runs the KELP dock without OBS: the module on the libobs stand-in, with the service simulator "
		"in the same process."));
	parser.addHelpOption();
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
		QStringLiteral("donate"), QStringLiteral("Queue one donation in the built-in simulator once paired."));
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
		QStringLiteral("Folder for the settings store and the runtime cache (default: %1).")
			.arg(QDir::toNativeSeparators(
				QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))),
		QStringLiteral("DIR"));
	const QCommandLineOption freshOption(
		QStringLiteral("fresh"), QStringLiteral("Forget the device, its pairing and the runtime cache first."));
	const QCommandLineOption noSceneOption(QStringLiteral("no-scene"),
					       QStringLiteral("Start with no current scene."));
	const QCommandLineOption noBrowserOption(QStringLiteral("no-browser"),
						 QStringLiteral("Start as if OBS Browser were not installed."));
	for (const QCommandLineOption *option :
	     {&offscreenOption, &screenshotOption, &pairOption, &startPairingOption, &addGoalOption, &donateOption,
	      &serviceOption, &simPortOption, &publishOption, &homeOption, &freshOption, &noSceneOption,
	      &noBrowserOption, &tlsOption})
		parser.addOption(*option);
	parser.process(app);

	QTextStream out(stdout);
	QTextStream err(stderr);

	const bool useSim = !parser.isSet(serviceOption);
	bool ok = false;
	const uint simPort = parser.value(simPortOption).toUInt(&ok);
	if (!ok || simPort > 65535) {
		err << "kelp-devhost: invalid --sim-port " << parser.value(simPortOption) << Qt::endl;
		return 2;
	}
	if (!useSim && !isServiceOrigin(parser.value(serviceOption))) {
		err << "kelp-devhost: --service needs an origin such as https://host[:port], got "
		    << parser.value(serviceOption) << Qt::endl;
		return 2;
	}
	if (!useSim && (parser.isSet(pairOption) || parser.isSet(donateOption) || parser.isSet(publishOption)))
		err << "kelp-devhost: --pair approves, --donate queues and --publish publishes in the built-in "
		       "simulator only; with --service, --pair only presses \"Pair OBS\""
		    << Qt::endl;

	// Everything the module keeps goes into a folder of the dev host's own, never into a real OBS
	// installation's store or cache.
	const QString home =
		QDir(parser.isSet(homeOption) ? parser.value(homeOption)
					      : QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
			.absolutePath();
	if (parser.isSet(freshOption)) {
		QDir(home + QStringLiteral("/settings")).removeRecursively();
		QDir(home + QStringLiteral("/config")).removeRecursively();
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
	QString origin;
	QString simPage;
	if (useSim) {
		sim.setPairCodeLifetime(600000);
		sim.setDefaultRuntimeFolder(QStringLiteral(KELP_DEVHOST_DATA_DIR "/widgets/event-goal"));
		if (parser.isSet(publishOption) &&
		    !sim.publishRuntime(parser.value(publishOption),
					QStringLiteral(KELP_DEVHOST_DATA_DIR "/widgets/event-goal"))) {
			err << "kelp-devhost: could not publish the built-in runtime as " << parser.value(publishOption)
			    << Qt::endl;
			return 2;
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
	} else {
		origin = parser.value(serviceOption);
		while (origin.endsWith(QLatin1Char('/')))
			origin.chop(1);
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
	out << "Widget: " << kWidgetUrl << Qt::endl;
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

	const bool offscreen = parser.isSet(offscreenOption);
	if (!offscreen || parser.isSet(screenshotOption))
		window.show();

	AutopilotPlan plan;
	plan.pressPair = parser.isSet(pairOption) || parser.isSet(startPairingOption);
	plan.approve = useSim && parser.isSet(pairOption);
	plan.addGoal = parser.isSet(addGoalOption);
	plan.donate = useSim && parser.isSet(donateOption);
	plan.screenshot = parser.value(screenshotOption);
	Autopilot autopilot(plan, &window, useSim ? &sim : nullptr);
	QObject::connect(&autopilot, &Autopilot::message, &app,
			 [&out](const QString &line) { out << line << Qt::endl; });
	QObject::connect(&autopilot, &Autopilot::finished, &app, [](int code) { QCoreApplication::exit(code); });
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
