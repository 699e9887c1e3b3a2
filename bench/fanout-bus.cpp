// kelp-bench-bus: the real LocalSseServer on its fixed port, pushing realtime events to every open
// stream as fast as the event loop lets it.
//
//   kelp-bench-bus --streams N --events M [--interval-ms K]
//
// Prints "listening <port>" once the bus is up. When N streams are open it pushes M events, one per
// turn of the event loop so the sockets drain between pushes (or one every K ms), each carrying its
// send time (CLOCK_MONOTONIC). It exits once every stream has closed, printing its CPU time. Exit code 3
// means the port was taken.

#include "bench-util.h"
#include "bus/local-sse-server.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using bench::intArg;
using bench::nowNs;

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
	QObject::connect(&server, &LocalSseServer::stateChanged, &app, [&] {
		if (!started && server.clientCount() >= streams) {
			started = true;
			producer.start();
		}
		if (started && produced == events && server.clientCount() == 0)
			QCoreApplication::quit();
	});
	QTimer::singleShot(300000, &app, &QCoreApplication::quit);

	const int code = app.exec();
	std::printf("{\"cpu_ms\":%.1f,\"produced\":%lld,\"delivered\":%llu}\n", bench::cpuMs(), (long long)produced,
		    (unsigned long long)server.deliveredCount());
	return code;
}
