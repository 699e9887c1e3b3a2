// kelp-bench-tls: what HTTPS costs the client, against plain HTTP in the same run. Two simulators
// in this process, one plain and one with the build's test certificate; for each, alternating
// rounds of (1) a pairing start, a fresh connection from startPairing() to the code on screen, and
// (2) a realtime event from the simulator to the client and the next long poll held again (the
// simulator closes every connection, so each poll opens a new one, as behind a front that does).
// Prints one JSON object: medians and 90th percentiles in microseconds, and TLS ÷ plain.

#include "bench-util.h"
#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "service-sim.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <functional>

namespace {
const QString kDevice = QStringLiteral("0123456789abcdef0123456789abcdef");

// Spins the event loop until `done` or ten seconds pass; a benchmark may wait like this.
bool spin(const std::function<bool()> &done)
{
	QElapsedTimer timer;
	timer.start();
	while (!done()) {
		if (timer.elapsed() > 10000)
			return false;
		QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
	}
	return true;
}

double percentile(QList<double> values, double p)
{
	std::sort(values.begin(), values.end());
	return values.isEmpty() ? 0 : values.at(qMin(values.size() - 1, int(p * values.size())));
}

struct Side {
	kelpsim::ServiceSim sim;
	QList<double> pairUs;
	QList<double> pollUs;
};

bool pairRound(Side &side, KelpClient &client)
{
	const int64_t start = bench::nowNs();
	client.startPairing();
	if (!spin([&] { return client.statusText() == QStringLiteral("Enter code on Quayside"); }))
		return false;
	side.pairUs.append(double(bench::nowNs() - start) / 1000.0);
	return true;
}

bool pollRound(Side &side, KelpClient &client)
{
	if (!spin([&] { return side.sim.heldPollCount(kDevice) == 1; }))
		return false;
	const qint64 before = client.eventsReceived();
	const int64_t start = bench::nowNs();
	side.sim.queueEvent(kDevice, QJsonObject{{"type", "donation"}});
	if (!spin([&] { return client.eventsReceived() > before && side.sim.heldPollCount(kDevice) == 1; }))
		return false;
	side.pollUs.append(double(bench::nowNs() - start) / 1000.0);
	return true;
}
} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const int rounds = bench::intArg(argc, argv, "--rounds", 40);
	QTemporaryDir home;
	standin::setVersionString("30.2.3");
	setKelpModuleHandle(standin::module());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());

	QSslConfiguration config = QSslConfiguration::defaultConfiguration();
	config.addCaCertificates(QSslCertificate::fromPath(kelpsim::ServiceSim::testAuthorityFile()));
	QSslConfiguration::setDefaultConfiguration(config);

	Side plain;
	Side tls;
	if (!tls.sim.useTestTls() || !plain.sim.listen() || !tls.sim.listen())
		return 1;
	const auto client = [](Side &side, bool paired) {
		setKelpServiceOrigin(side.sim.origin());
		QSettings store(QString::fromLatin1(kKelpSettingsOrganization),
				QString::fromLatin1(kKelpSettingsApplication));
		store.clear();
		store.setValue(QStringLiteral("device/id"), kDevice);
		if (paired)
			store.setValue(QStringLiteral("auth/device_token"), side.sim.issueToken(kDevice));
		store.sync();
		auto made = std::make_unique<KelpClient>();
		if (paired)
			made->start();
		return made;
	};

	// Alternating sides, so a busy spell on the shared machine hits both alike.
	for (int round = 0; round < rounds; ++round) {
		for (Side *side : {&plain, &tls}) {
			auto pairing = client(*side, false);
			if (!pairRound(*side, *pairing))
				return 2;
		}
	}
	// The origin is process-wide, so each side's paired client runs alone, in alternating blocks.
	for (int block = 0; block < 4; ++block) {
		for (Side *side : {&plain, &tls}) {
			auto paired = client(*side, true);
			for (int round = 0; round < rounds / 4; ++round) {
				if (!pollRound(*side, *paired))
					return 3;
			}
		}
	}

	const auto figures = [](const QList<double> &us) {
		return QJsonObject{
			{"p50_us", percentile(us, 0.5)}, {"p90_us", percentile(us, 0.9)}, {"n", int(us.size())}};
	};
	const QJsonObject result{
		{"pair_start", QJsonObject{{"plain", figures(plain.pairUs)},
					   {"tls", figures(tls.pairUs)},
					   {"ratio_p50", percentile(tls.pairUs, 0.5) / percentile(plain.pairUs, 0.5)}}},
		{"poll_event", QJsonObject{{"plain", figures(plain.pollUs)},
					   {"tls", figures(tls.pollUs)},
					   {"ratio_p50", percentile(tls.pollUs, 0.5) / percentile(plain.pollUs, 0.5)}}},
	};
	QTextStream(stdout) << QJsonDocument(result).toJson(QJsonDocument::Compact) << Qt::endl;
	return 0;
}
