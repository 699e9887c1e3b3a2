// kelp-bench-e2e: the road of a realtime event from the service to a widget, in one process as
// the dev host runs it: the service simulator holds KelpClient's long poll, the dock passes every
// event to the bus on 127.0.0.1:4251, and a reader in another process holds "/events".
//
//   kelp-bench-e2e [--events M] [--rate R] [--idle]
//   kelp-bench-e2e --store-only N [--pace-ms P]
//   kelp-bench-e2e --batch N [--no-seq] [--field-bytes B]
//
// Prints "ready" once the bus listens and the client's long poll is held. When the first stream
// opens it queues M events at R per second at the simulator, each carrying its queueing time
// (CLOCK_MONOTONIC, as a string so the client's JSON round trip keeps every digit). Once the
// client has taken all of them (or 30 s after the last), it prints its counters and exits.
// With --idle it queues nothing and runs until it is stopped. Exit code 3 means the bus port was
// taken. With --store-only it times N of the client's per-event store syncs, P ms apart, in a store
// under TMPDIR, and prints them. With --batch the client's first poll is answered with N events at
// once (each with a seq, so each is stored, or with --no-seq none, so a 4 MiB answer holds the most),
// and it prints the longest time the UI thread went without turning its event loop while the batch
// was handed on, beside the whole batch's time: what one answer held before it was sliced. With
// --field-bytes each event's "type" is B bytes long and the dock is shown, as a huge field meets it.

#include "bench-util.h"
#include "bus/local-sse-server.h"
#include "client/kelp-client.h"
#include "common/kelp-common.h"
#include "dock/kelp-dock.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "service-sim.h"

#include <QApplication>
#include <QHash>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

using bench::intArg;
using bench::nowNs;

const QString kDeviceId = QStringLiteral("0123456789abcdef0123456789abcdef");

// The queueing times that the events in `json` carry.
QList<qint64> sendTimes(const QByteArray &json)
{
	static const QByteArray key = QByteArrayLiteral("\"t_ns\":\"");
	QList<qint64> times;
	for (qsizetype at = json.indexOf(key); at >= 0; at = json.indexOf(key, at + 1)) {
		const qsizetype start = at + key.size();
		const qsizetype end = json.indexOf('"', start);
		if (end > start)
			times.append(json.mid(start, end - start).toLongLong());
	}
	return times;
}

QByteArray stageJson(std::vector<qint64> ages)
{
	if (ages.empty())
		return "null";
	std::sort(ages.begin(), ages.end());
	const auto overFrame = std::count_if(ages.begin(), ages.end(), [](qint64 ns) { return ns > 16700000; });
	const auto at = [&](double p) {
		return double(ages[size_t(p * double(ages.size() - 1) + 0.5)]) / 1000.0;
	};
	return "{\"count\":" + QByteArray::number(qulonglong(ages.size())) +
	       ",\"p50_us\":" + QByteArray::number(at(0.5), 'f', 1) +
	       ",\"p99_us\":" + QByteArray::number(at(0.99), 'f', 1) +
	       ",\"max_us\":" + QByteArray::number(double(ages.back()) / 1000.0, 'f', 1) +
	       ",\"over_frame\":" + QByteArray::number(qlonglong(overFrame)) + '}';
}

// The store write the client makes for every new event, alone: the same keys, the same sync,
// `count` times, `paceMs` apart (0: back to back).
std::vector<qint64> storeSyncs(int count, int paceMs, qint64 firstSeq)
{
	std::vector<qint64> syncs;
	QSettings store(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication));
	const QVariant token = store.value(QStringLiteral("auth/device_token"));
	const QVariant name = store.value(QStringLiteral("device/name"));
	for (int i = 1; i <= count; ++i) {
		const qint64 start = nowNs();
		store.setValue(QStringLiteral("device/id"), kDeviceId);
		store.setValue(QStringLiteral("device/name"), name);
		store.setValue(QStringLiteral("auth/device_token"), token);
		store.setValue(QStringLiteral("events/last_seq"), firstSeq + i);
		store.sync();
		syncs.push_back(nowNs() - start);
		if (paceMs > 0)
			QThread::msleep(paceMs);
	}
	return syncs;
}

} // namespace

int main(int argc, char **argv)
{
	if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
		qputenv("QT_QPA_PLATFORM", "offscreen");
	QApplication app(argc, argv);
	const int events = intArg(argc, argv, "--events", 1000);
	const int rate = qBound(1, intArg(argc, argv, "--rate", 50), 1000);
	// Paired and idle: the dock and the simulator without the dev host's window, for as long as
	// the caller lets it run.
	const bool idle = bench::flag(argc, argv, "--idle");

	// A store and a module config folder of our own, never a real installation's.
	QTemporaryDir home;
	if (!home.isValid())
		return 1;
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath(QStringLiteral("settings")));
	QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath(QStringLiteral("settings")));
	// The store alone, with no dock or simulator: bench/run times it quiet and beside a process that
	// writes to the same file system flat out.
	if (const int storeOnly = intArg(argc, argv, "--store-only", 0); storeOnly > 0) {
		{
			QSettings store(QString::fromLatin1(kKelpSettingsOrganization),
					QString::fromLatin1(kKelpSettingsApplication));
			store.setValue(QStringLiteral("device/name"), QStringLiteral("OBS on bench"));
			store.setValue(QStringLiteral("auth/device_token"), QString(64, QLatin1Char('t')));
		}
		const std::vector<qint64> syncs = storeSyncs(storeOnly, intArg(argc, argv, "--pace-ms", 0), 0);
		std::printf("{\"store_sync\":%s}\n", stageJson(syncs).constData());
		return 0;
	}
	setKelpModuleHandle(standin::module());
	standin::setModuleDataPath(QStringLiteral(KELP_BENCH_DATA_DIR));
	standin::setModuleConfigPath(home.filePath(QStringLiteral("config")));

	kelpsim::ServiceSim sim;
	if (!sim.listen())
		return 1;
	const int batch = intArg(argc, argv, "--batch", 0);
	qint64 batchBytes = 0;
	if (batch > 0) {
		const bool withSeq = !bench::flag(argc, argv, "--no-seq");
		const QByteArray type = QByteArray(intArg(argc, argv, "--field-bytes", 0), 'x');
		QByteArray body = "{\"ok\":true,\"events\":[";
		for (int seq = 1; seq <= batch; ++seq) {
			body += seq > 1 ? "," : "";
			body += "{\"type\":\"" + (type.isEmpty() ? QByteArray("follow") : type) + '"';
			body += withSeq ? ",\"seq\":" + QByteArray::number(seq) + '}' : QByteArray("}");
		}
		body += "]}";
		batchBytes = body.size();
		if (batchBytes > kMaxAnswerBytes) {
			std::fprintf(stderr, "kelp-bench-e2e: %d events make %lld bytes, over the answer cap\n", batch,
				     (long long)batchBytes);
			return 2;
		}
		sim.addFault(kelpsim::Fault{"/api/v28/plugin/events", kelpsim::Fault::Status, 200, body, 0, 1, 0});
	}
	setKelpServiceOrigin(sim.origin());
	{
		// A device paired earlier, so the dock starts straight into the long poll.
		QSettings store(QString::fromLatin1(kKelpSettingsOrganization),
				QString::fromLatin1(kKelpSettingsApplication));
		store.setValue(QStringLiteral("device/id"), kDeviceId);
		store.setValue(QStringLiteral("auth/device_token"), sim.issueToken(kDeviceId));
		store.setValue(QStringLiteral("events/last_seq"), 0);
		store.sync();
	}

	auto dock = std::make_unique<KelpDock>();
	if (intArg(argc, argv, "--field-bytes", 0) > 0)
		dock->show();
	auto *bus = dock->findChild<LocalSseServer *>();
	auto *client = dock->findChild<KelpClient *>();
	if (!bus || !client)
		return 1;
	if (!bus->isListening()) {
		std::fprintf(stderr, "kelp-bench-e2e: port %u is taken\n", unsigned(LocalSseServer::kPort));
		return 3;
	}

	// Where the time goes: when the client's reply is complete (simulator, sockets, the access
	// manager's thread), and how long from there until the dock has handed the event to the bus
	// (the client's parsing and store, the dock, the bus's writes). The dock connected to
	// eventReceived first, so its handler has run when ours runs.
	std::vector<qint64> replyAges, handling;
	QHash<qint64, qint64> replyAt;
	if (auto *network = client->findChild<QNetworkAccessManager *>()) {
		QObject::connect(network, &QNetworkAccessManager::finished, &app, [&](QNetworkReply *reply) {
			if (reply->url().path() != QLatin1String("/api/v28/plugin/events"))
				return;
			const qint64 now = nowNs();
			for (const qint64 sent : sendTimes(reply->peek(reply->bytesAvailable()))) {
				replyAges.push_back(now - sent);
				replyAt.insert(sent, now);
			}
		});
	}
	QObject::connect(client, &KelpClient::eventReceived, &app, [&](const QByteArray &json) {
		const qint64 now = nowNs();
		for (const qint64 sent : sendTimes(json)) {
			if (replyAt.contains(sent))
				handling.push_back(now - replyAt.take(sent));
		}
	});

	if (batch > 0) {
		// Every turn of the event loop, as a 1 ms timer sees it, from the answer to the last event.
		qint64 answerAt = 0, lastEventAt = 0, lastTurn = nowNs(), longestHold = 0;
		if (auto *network = client->findChild<QNetworkAccessManager *>()) {
			QObject::connect(network, &QNetworkAccessManager::finished, &app, [&](QNetworkReply *reply) {
				if (reply->url().path() == QLatin1String("/api/v28/plugin/events") && answerAt == 0)
					answerAt = nowNs();
			});
		}
		QTimer turns;
		turns.setTimerType(Qt::PreciseTimer);
		QObject::connect(&turns, &QTimer::timeout, &app, [&] {
			const qint64 now = nowNs();
			// Until the exit 100 ms after the last event: the dock lays out and paints what it showed
			// after the event has gone.
			if (answerAt > 0)
				longestHold = std::max(longestHold, now - lastTurn);
			lastTurn = now;
		});
		turns.start(1);
		QObject::connect(client, &KelpClient::eventReceived, &app, [&] {
			if (client->eventsReceived() == batch) {
				lastEventAt = nowNs();
				QTimer::singleShot(100, &app, &QCoreApplication::quit);
			}
		});
		QTimer::singleShot(600000, &app, &QCoreApplication::quit);
		const int code = app.exec();
		const qint64 received = client->eventsReceived();
		dock.reset();
		std::printf("{\"batch_events\":%d,\"answer_bytes\":%lld,\"client_received\":%lld,"
			    "\"longest_hold_ms\":%.1f,\"whole_batch_ms\":%.1f}\n",
			    batch, (long long)batchBytes, (long long)received, double(longestHold) / 1e6,
			    double(lastEventAt - answerAt) / 1e6);
		return received == batch ? code : 1;
	}

	int queued = 0;
	QTimer queue;
	queue.setTimerType(Qt::PreciseTimer);
	queue.setInterval(1000 / rate);
	QObject::connect(&queue, &QTimer::timeout, &sim, [&] {
		const QJsonObject event{{QStringLiteral("type"), QStringLiteral("donation")},
					{QStringLiteral("provider"), QStringLiteral("bench")},
					{QStringLiteral("amount"), 250},
					{QStringLiteral("currency"), QStringLiteral("RUB")},
					{QStringLiteral("name"), QStringLiteral("Bench")},
					{QStringLiteral("message"), QStringLiteral("Thanks for the stream!")},
					{QStringLiteral("t_ns"), QString::number(nowNs())}};
		sim.queueEvent(kDeviceId, event);
		if (++queued == events) {
			queue.stop();
			QTimer::singleShot(30000, &app, &QCoreApplication::quit);
		}
	});

	QTimer waitForPoll;
	waitForPoll.setInterval(10);
	QObject::connect(&waitForPoll, &QTimer::timeout, &sim, [&] {
		if (sim.heldPollCount(kDeviceId) < 1)
			return;
		waitForPoll.stop();
		std::printf("ready\n");
		std::fflush(stdout);
	});
	waitForPoll.start();

	QObject::connect(bus, &LocalSseServer::stateChanged, &app, [&] {
		if (!idle && queued == 0 && !queue.isActive() && bus->clientCount() > 0 && !waitForPoll.isActive())
			queue.start();
	});
	QObject::connect(client, &KelpClient::stateChanged, &app, [&] {
		if (queued == events && client->eventsReceived() >= events)
			QTimer::singleShot(200, &app, &QCoreApplication::quit);
	});
	QTimer::singleShot(300000, &app, &QCoreApplication::quit);

	const int code = app.exec();
	const double cpuMs = bench::cpuMs();
	const quint64 delivered = bus->deliveredCount();
	const qint64 received = client->eventsReceived();
	dock.reset();

	const std::vector<qint64> syncs = storeSyncs(200, 0, received);

	std::printf("{\"queued\":%d,\"client_received\":%lld,\"bus_delivered\":%llu,\"cpu_ms\":%.1f,"
		    "\"reply_finished\":%s,\"reply_to_bus\":%s,\"store_sync\":%s}\n",
		    queued, (long long)received, (unsigned long long)delivered, cpuMs, stageJson(replyAges).constData(),
		    stageJson(handling).constData(), stageJson(syncs).constData());
	return code;
}
