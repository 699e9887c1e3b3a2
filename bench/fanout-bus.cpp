// kelp-bench-bus: the real LocalSseServer on its fixed port, pushing realtime events to every open
// stream as fast as the event loop lets it.
//
//   kelp-bench-bus --streams N --events M [--interval-ms K]
//
// Prints "listening <port>" once the bus is up. When N streams are open it pushes M events, one per
// turn of the event loop so the sockets drain between pushes (or one every K ms), each carrying its
// send time (CLOCK_MONOTONIC). It exits once every stream has closed, printing its CPU time and the
// longest the event loop went without a turn while the streams were closing (a 1 ms timer's widest
// gap, and the most CPU time spent within one). The bound on connections is raised to N, so thousands of streams can be closed together. Exit
// code 3 means the port was taken.

#include "bench-util.h"
#include "bus/local-sse-server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using bench::intArg;
using bench::nowNs;

// A bus from before the bound on connections has none to raise.
template <typename Bus>
auto allowConnections(Bus &bus, int count, int) -> decltype(bus.setMaxConnections(count))
{
	bus.setMaxConnections(count);
}
template <typename Bus>
void allowConnections(Bus &, int, long)
{
}

qint64 threadCpuNs()
{
	timespec ts;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The same event, byte for byte, that the peer and the bare server send.
QByteArray eventJson(qint64 seq, qint64 sentNs)
{
	return "{\"type\":\"donation\",\"provider\":\"bench\",\"amount\":250,\"currency\":\"RUB\","
	       "\"name\":\"Bench\",\"message\":\"Thanks for the stream!\",\"seq\":" +
	       QByteArray::number(seq) + ",\"t_ns\":" + QByteArray::number(sentNs) + '}';
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const int streams = intArg(argc, argv, "--streams", 1);
	const qint64 events = intArg(argc, argv, "--events", 1000);
	const int intervalMs = intArg(argc, argv, "--interval-ms", 0);

	rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_NOFILE, &limit);
	}

	LocalSseServer server;
	allowConnections(server, streams + 64, 0);
	if (!server.start()) {
		std::fprintf(stderr, "kelp-bench-bus: port %u is taken\n", unsigned(LocalSseServer::kPort));
		return 3;
	}
	std::printf("listening %u\n", unsigned(server.port()));
	std::fflush(stdout);

	qint64 produced = 0;
	bool started = false;
	QTimer producer;
	producer.setTimerType(Qt::PreciseTimer);
	producer.setInterval(intervalMs);
	QObject::connect(&producer, &QTimer::timeout, &server, [&] {
		if (produced == events) {
			producer.stop();
			return;
		}
		++produced;
		server.broadcastEvent(eventJson(produced, nowNs()));
	});
	// The widest gap on the clock, and the most CPU time this thread spent within one gap: on a busy
	// machine the first also counts time the thread waited for a core.
	QElapsedTimer sinceTurn;
	qint64 closingHoldNs = 0;
	qint64 closingCpuNs = 0;
	qint64 cpuAtTurn = threadCpuNs();
	QTimer turns;
	turns.setTimerType(Qt::PreciseTimer);
	QObject::connect(&turns, &QTimer::timeout, &app, [&] {
		const qint64 gap = sinceTurn.nsecsElapsed();
		sinceTurn.restart();
		const qint64 cpu = threadCpuNs();
		if (started && produced == events && server.clientCount() < streams) {
			closingHoldNs = std::max(closingHoldNs, gap);
			closingCpuNs = std::max(closingCpuNs, cpu - cpuAtTurn);
		}
		cpuAtTurn = cpu;
	});
	sinceTurn.start();
	turns.start(1);
	bool closed = false;
	QObject::connect(&server, &LocalSseServer::stateChanged, &app, [&] {
		if (!started && server.clientCount() >= streams) {
			started = true;
			producer.start();
		}
		if (started && produced == events && server.clientCount() == 0 && !closed) {
			closed = true; // the sockets' deferred deletion still counts
			QTimer::singleShot(200, &app, &QCoreApplication::quit);
		}
	});
	QTimer::singleShot(300000, &app, &QCoreApplication::quit);

	const int code = app.exec();
	std::printf("{\"cpu_ms\":%.1f,\"produced\":%lld,\"delivered\":%llu,\"closing_hold_ms\":%.2f,"
		    "\"closing_cpu_ms\":%.2f}\n",
		    bench::cpuMs(), (long long)produced, (unsigned long long)server.deliveredCount(),
		    double(closingHoldNs) / 1e6, double(closingCpuNs) / 1e6);
	return code;
}
