#pragma once

// What the benchmark programs share: the clock their latencies are read on, their own CPU time,
// "--name value" arguments, and the bytes that open every "/events" stream.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>

namespace bench {

// CLOCK_MONOTONIC, so the server's send time and the reader's arrival time compare across
// processes on one machine.
inline int64_t nowNs()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double cpuMs()
{
	rusage usage;
	getrusage(RUSAGE_SELF, &usage);
	return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
	       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

inline int intArg(int argc, char **argv, const char *name, int fallback)
{
	for (int i = 1; i + 1 < argc; ++i) {
		if (std::strcmp(argv[i], name) == 0)
			return std::atoi(argv[i + 1]);
	}
	return fallback;
}

inline bool flag(int argc, char **argv, const char *name)
{
	for (int i = 1; i < argc; ++i) {
		if (std::strcmp(argv[i], name) == 0)
			return true;
	}
	return false;
}

// Written out here rather than taken from the bus, so the load generator checks the bus's bytes
// against an independent copy.
inline const std::string kStreamOpening = "HTTP/1.1 200 OK\r\n"
					  "Content-Type: text/event-stream; charset=utf-8\r\n"
					  "Cache-Control: no-cache, no-transform\r\n"
					  "Connection: keep-alive\r\n"
					  "Access-Control-Allow-Origin: *\r\n"
					  "X-Accel-Buffering: no\r\n"
					  "\r\n"
					  "retry: 1500\n"
					  ": kelp-local-ready\n\n";

} // namespace bench
