// kelp-service-sim: the simulated KELP service as a program, on 127.0.0.1.

#include "quit-on-signal.h"
#include "service-sim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace {

constexpr quint16 kDefaultPort = 4260;

const char kControlHelp[] = R"(
The plug-in API (GET, as the module calls it):
  /api/v26/plugin/pair/start   /api/v26/plugin/pair/status   /api/v26/plugin/heartbeat
  /api/v28/plugin/events       /api/v27/plugin/widget-state  /api/v27/plugin/widget-asset
  /api/v40/runtime/manifest    /runtime/files/<version>/<path>

Control API (JSON in and out; see docs/service-sim.md):
  GET    /_sim/state                        pairings, devices, widget, runtime, faults
  POST   /_sim/pair/approve  {"code"}       approve a pending code (issues the device token)
  POST   /_sim/pair/expire   {"code"}       expire a pending code
  POST   /_sim/tokens        {"device_id"}  pair a device directly, returns its token
  POST   /_sim/tokens/revoke {"device_id"}  later requests with the old token get 401
  POST   /_sim/events        {"device_id"?, "event":{...}}   queue an event (all paired devices
                                            when device_id is omitted)
  POST   /_sim/widget-state  {"widget_id"?, "revision"?, "config"?}
  GET|POST|DELETE /_sim/assets/<slot>       raw bytes; POST takes Content-Type and X-Updated-At
  POST   /_sim/runtime/publish {"version", "folder", "min_plugin_version"?}
  POST|DELETE /_sim/runtime/manifest-override   raw manifest body served as is
  GET|POST|DELETE /_sim/faults              {"path", "kind", "status", "body", "delay_ms",
                                             "count", "skip"}
  GET|DELETE /_sim/requests[?path=&limit=]  the request log
  POST   /_sim/settings {"code_lifetime_ms"?, "max_wait_ms"?}
  GET|POST|DELETE /_sim/chaos               {"seed", "seconds"}: seeded bad replies for a while

Example:
  curl -s -X POST localhost:4260/_sim/events -d '{"event":{"type":"donation","amount":100}}'
)";

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(QStringLiteral("kelp-service-sim"));

	QCommandLineParser parser;
	parser.setApplicationDescription(
		QStringLiteral(
			"A local simulator of the KELP service for the OBS module, its tests and the dev host.") +
		QString::fromLatin1(kControlHelp));
	parser.addHelpOption();
	const QCommandLineOption portOption(
		QStringLiteral("port"),
		QStringLiteral("Port on 127.0.0.1 (default %1; 0 picks a free one).").arg(kDefaultPort),
		QStringLiteral("N"), QString::number(kDefaultPort));
	const QCommandLineOption lifetimeOption(QStringLiteral("code-lifetime"),
						QStringLiteral("Seconds before a pairing code expires (default 600; "
							       "0 keeps codes until expired by hand)."),
						QStringLiteral("S"), QStringLiteral("600"));
	const QCommandLineOption publishOption(QStringLiteral("publish"),
					       QStringLiteral("Publish the files below FOLDER as runtime VERSION."),
					       QStringLiteral("VERSION=FOLDER"));
	const QCommandLineOption chaosOption(
		QStringLiteral("chaos"),
		QStringLiteral("Answer every plug-in request with a reply drawn from a generator of bad replies "
			       "seeded with SEED, for SECONDS (default 60), then behave."),
		QStringLiteral("SEED[:SECONDS]"));
	const QCommandLineOption stateOption(
		QStringLiteral("state"),
		QStringLiteral("Keep devices, tokens, widget state, images and runtimes in FILE across runs."),
		QStringLiteral("FILE"));
	parser.addOption(stateOption);
	parser.addOption(portOption);
	parser.addOption(chaosOption);
	parser.addOption(lifetimeOption);
	parser.addOption(publishOption);
	parser.process(app);

	QTextStream out(stdout);
	QTextStream err(stderr);

	bool ok = false;
	const uint port = parser.value(portOption).toUInt(&ok);
	if (!ok || port > 65535) {
		err << "kelp-service-sim: invalid --port " << parser.value(portOption) << Qt::endl;
		return 2;
	}
	const int lifetime = parser.value(lifetimeOption).toInt(&ok);
	if (!ok || lifetime < 0) {
		err << "kelp-service-sim: invalid --code-lifetime " << parser.value(lifetimeOption) << Qt::endl;
		return 2;
	}

	quint64 chaosSeed = 0;
	int chaosSeconds = 60;
	if (parser.isSet(chaosOption)) {
		const QStringList parts = parser.value(chaosOption).split(QLatin1Char(':'));
		bool seedOk = false;
		bool secondsOk = parts.size() == 1;
		chaosSeed = parts.first().toULongLong(&seedOk);
		if (parts.size() == 2)
			chaosSeconds = parts.last().toInt(&secondsOk);
		if (!seedOk || !secondsOk || parts.size() > 2 || chaosSeconds <= 0 || chaosSeconds > 86400) {
			err << "kelp-service-sim: invalid --chaos " << parser.value(chaosOption) << Qt::endl;
			return 2;
		}
	}

	kelpsim::ServiceSim sim;
	sim.setPairCodeLifetime(lifetime * 1000);
	if (parser.isSet(stateOption) && !sim.setStateFile(parser.value(stateOption))) {
		err << "kelp-service-sim: cannot read the state in " << parser.value(stateOption) << Qt::endl;
		return 2;
	}
	if (parser.isSet(publishOption)) {
		const QString publishArg = parser.value(publishOption);
		const qsizetype eq = publishArg.indexOf(QLatin1Char('='));
		if (eq <= 0 || !sim.publishRuntime(publishArg.left(eq), publishArg.mid(eq + 1))) {
			err << "kelp-service-sim: could not publish " << publishArg << Qt::endl;
			return 2;
		}
	}
	if (!sim.listen(quint16(port))) {
		err << "kelp-service-sim: cannot listen on 127.0.0.1:" << port << Qt::endl;
		return 1;
	}

	if (!quitOnTerminationSignals(app)) {
		err << "kelp-service-sim: socketpair failed" << Qt::endl;
		return 1;
	}

	out << "KELP service simulator listening on " << sim.origin() << Qt::endl;
	if (parser.isSet(chaosOption)) {
		sim.startChaos(chaosSeed, chaosSeconds * 1000);
		out << "Chaos for " << chaosSeconds << " s, seed " << chaosSeed << Qt::endl;
	}
	const int code = app.exec();
	sim.close();
	out << "KELP service simulator stopped" << Qt::endl;
	return code;
}
