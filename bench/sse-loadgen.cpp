// kelp-bench-loadgen: holds N event streams of a server on 127.0.0.1, parses every block and
// records the latency of each realtime event from the send time it carries to its arrival here.
// The same program reads our bus, the Node.js peer and the bare epoll server, so they are judged
// by one yardstick. It also measures the loopback round trip that end-to-end figures sit on.
//
//   kelp-bench-loadgen stream --port P --streams N --events M [--timeout S] [--hold [--reset]]
//   kelp-bench-loadgen rtt --count K
//
// Prints one JSON line. With --hold it prints the line once every stream has all M events, keeps
// the streams open until stdin closes, and exits; with --reset it then resets them all at once.

#include "bench-util.h"
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using bench::flag;
using bench::intArg;
using bench::nowNs;

const std::string &kOpening = bench::kStreamOpening;
const std::string kKelpPrefix = "event: kelp\ndata: ";
const std::string kConfigPrefix = "event: config\ndata: ";
const std::string kAssetPrefix = "event: asset\ndata: ";
// Opening connections at most this many at a time keeps every server's accept backlog short.
constexpr int kConnectWindow = 32;

[[noreturn]] void die(const char *what)
{
	std::fprintf(stderr, "kelp-bench-loadgen: %s: %s\n", what, std::strerror(errno));
	std::exit(1);
}

void raiseFileLimit()
{
	rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_NOFILE, &limit);
	}
}

// The integer after `"key":` in a flat JSON object, quoted or not; -1 when absent.
int64_t jsonInteger(const char *json, size_t size, const char *key)
{
	const std::string needle = std::string("\"") + key + "\":";
	const char *end = json + size;
	const char *at = std::search(json, end, needle.begin(), needle.end());
	if (at == end)
		return -1;
	at += needle.size();
	if (at < end && *at == '"')
		++at;
	if (at == end || *at < '0' || *at > '9')
		return -1;
	int64_t value = 0;
	for (; at < end && *at >= '0' && *at <= '9'; ++at)
		value = value * 10 + (*at - '0');
	return value;
}

struct Stream {
	int fd = -1;
	bool requested = false;
	bool opened = false; // the opening bytes arrived intact
	bool closed = false;
	std::string buffer;
	size_t consumed = 0;
	int64_t lastSeq = 0;
	int64_t events = 0;
	int64_t configs = 0;
};

struct Totals {
	int64_t events = 0;
	int64_t duplicates = 0; // a seq at or below one already seen on the same stream
	int64_t gaps = 0;       // seqs skipped over on a stream
	int64_t badBlocks = 0;  // neither a comment nor one of the three event kinds
	int64_t badOpenings = 0;
	int64_t configs = 0;
	int64_t firstSendNs = INT64_MAX;
	int64_t lastArrivalNs = 0;
	std::vector<int64_t> latenciesNs;
};

// Consumes every complete block in the stream's buffer.
void parseBlocks(Stream &stream, int64_t arrivalNs, Totals &totals)
{
	std::string &buf = stream.buffer;
	if (!stream.opened) {
		const size_t have = std::min(buf.size(), kOpening.size());
		if (buf.compare(0, have, kOpening, 0, have) != 0) {
			++totals.badOpenings;
			stream.closed = true;
			return;
		}
		if (buf.size() < kOpening.size())
			return;
		stream.opened = true;
		stream.consumed = kOpening.size();
	}
	for (;;) {
		const size_t end = buf.find("\n\n", stream.consumed);
		if (end == std::string::npos)
			break;
		const char *block = buf.data() + stream.consumed;
		const size_t size = end - stream.consumed;
		if (size > 0 && block[0] == ':') {
			// A comment such as the keepalive.
		} else if (buf.compare(stream.consumed, kKelpPrefix.size(), kKelpPrefix) == 0) {
			const char *json = block + kKelpPrefix.size();
			const size_t jsonSize = size - kKelpPrefix.size();
			const int64_t seq = jsonInteger(json, jsonSize, "seq");
			const int64_t sentNs = jsonInteger(json, jsonSize, "t_ns");
			if (seq <= 0 || sentNs <= 0 || std::memchr(json, '\n', jsonSize)) {
				++totals.badBlocks;
			} else if (seq <= stream.lastSeq) {
				++totals.duplicates;
			} else {
				totals.gaps += seq - stream.lastSeq - 1;
				stream.lastSeq = seq;
				++stream.events;
				++totals.events;
				totals.latenciesNs.push_back(arrivalNs - sentNs);
				totals.firstSendNs = std::min(totals.firstSendNs, sentNs);
				totals.lastArrivalNs = std::max(totals.lastArrivalNs, arrivalNs);
			}
		} else if (buf.compare(stream.consumed, kConfigPrefix.size(), kConfigPrefix) == 0) {
			++stream.configs;
			++totals.configs;
		} else if (buf.compare(stream.consumed, kAssetPrefix.size(), kAssetPrefix) == 0) {
			// Asset notices are legal on a stream but carry no realtime event.
		} else {
			++totals.badBlocks;
		}
		stream.consumed = end + 2;
	}
	if (stream.consumed > 64 * 1024 || stream.consumed == buf.size()) {
		buf.erase(0, stream.consumed);
		stream.consumed = 0;
	}
}

double percentileUs(std::vector<int64_t> &sorted, double p)
{
	if (sorted.empty())
		return 0;
	const size_t rank = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
	return double(sorted[rank]) / 1000.0;
}

int runStreams(int port, int streamCount, int64_t eventsPerStream, int timeoutS, bool hold, bool reset)
{
	raiseFileLimit();
	const int epoll = epoll_create1(0);
	if (epoll < 0)
		die("epoll_create1");

	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(uint16_t(port));
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	char request[128];
	const int requestSize = std::snprintf(request, sizeof request,
					      "GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
					      "Accept: text/event-stream\r\n\r\n",
					      port);

	std::vector<Stream> streams(static_cast<size_t>(streamCount));
	Totals totals;
	totals.latenciesNs.reserve(size_t(streamCount) * size_t(eventsPerStream));
	int started = 0;
	int opening = 0; // connected but the opening not yet complete
	const int64_t deadline = nowNs() + int64_t(timeoutS) * 1000000000;
	std::vector<char> chunk(256 * 1024);
	std::vector<epoll_event> ready(256);

	auto complete = [&] {
		for (const Stream &s : streams) {
			if (s.fd < 0 || (!s.closed && s.events < eventsPerStream) || (!s.opened && !s.closed))
				return false;
		}
		return true;
	};

	while (!complete() && nowNs() < deadline) {
		while (started < streamCount && opening < kConnectWindow) {
			Stream &s = streams[size_t(started)];
			s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
			if (s.fd < 0)
				die("socket");
			if (connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 &&
			    errno != EINPROGRESS)
				die("connect");
			epoll_event ev = {};
			ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
			ev.data.u64 = uint64_t(started);
			epoll_ctl(epoll, EPOLL_CTL_ADD, s.fd, &ev);
			++started;
			++opening;
		}
		const int n = epoll_wait(epoll, ready.data(), int(ready.size()), 100);
		if (n < 0 && errno != EINTR)
			die("epoll_wait");
		for (int i = 0; i < n; ++i) {
			Stream &s = streams[size_t(ready[size_t(i)].data.u64)];
			if (s.closed)
				continue;
			const bool wasOpened = s.opened;
			if ((ready[size_t(i)].events & EPOLLOUT) && !s.requested) {
				int error = 0;
				socklen_t len = sizeof error;
				getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len);
				if (error != 0) {
					errno = error;
					die("connect");
				}
				if (send(s.fd, request, size_t(requestSize), MSG_NOSIGNAL) != requestSize)
					die("send");
				s.requested = true;
				epoll_event ev = {};
				ev.events = EPOLLIN | EPOLLRDHUP;
				ev.data.u64 = ready[size_t(i)].data.u64;
				epoll_ctl(epoll, EPOLL_CTL_MOD, s.fd, &ev);
			}
			for (;;) {
				const ssize_t got = read(s.fd, chunk.data(), chunk.size());
				if (got > 0) {
					const int64_t arrival = nowNs();
					s.buffer.append(chunk.data(), size_t(got));
					parseBlocks(s, arrival, totals);
					if (s.closed)
						break;
					continue;
				}
				if (got == 0 || (errno != EAGAIN && errno != EINTR))
					s.closed = true;
				break;
			}
			if (s.closed)
				epoll_ctl(epoll, EPOLL_CTL_DEL, s.fd, nullptr);
			if ((s.opened && !wasOpened) || (s.closed && !wasOpened))
				--opening;
		}
	}

	int64_t closedEarly = 0;
	int64_t missing = 0;
	for (const Stream &s : streams) {
		if (s.closed && s.events < eventsPerStream)
			++closedEarly;
		missing += std::max<int64_t>(0, eventsPerStream - s.lastSeq);
	}
	std::vector<int64_t> &lat = totals.latenciesNs;
	std::sort(lat.begin(), lat.end());
	const double spanS = totals.events > 0 ? double(totals.lastArrivalNs - totals.firstSendNs) / 1e9 : 0;
	std::printf("{\"streams\":%d,\"opened\":%d,\"events\":%lld,\"expected\":%lld,\"lost\":%lld,"
		    "\"duplicates\":%lld,\"bad_blocks\":%lld,\"bad_openings\":%lld,\"closed_early\":%lld,"
		    "\"configs\":%lld,\"span_s\":%.6f,\"rate\":%.1f,\"p50_us\":%.1f,\"p99_us\":%.1f,\"max_us\":%.1f}\n",
		    streamCount,
		    int(std::count_if(streams.begin(), streams.end(), [](const Stream &s) { return s.opened; })),
		    (long long)totals.events, (long long)(int64_t(streamCount) * eventsPerStream),
		    (long long)(totals.gaps + missing), (long long)totals.duplicates, (long long)totals.badBlocks,
		    (long long)totals.badOpenings, (long long)closedEarly, (long long)totals.configs, spanS,
		    spanS > 0 ? double(totals.events) / spanS : 0.0, percentileUs(lat, 0.50), percentileUs(lat, 0.99),
		    lat.empty() ? 0.0 : double(lat.back()) / 1000.0);
	std::fflush(stdout);

	if (hold) {
		// The caller samples the server now; closing stdin (or its own exit) releases the streams.
		char byte;
		while (read(STDIN_FILENO, &byte, 1) > 0) {
		}
	}
	const linger abortive = {1, 0}; // a close that sends RST, as a crashed or killed reader's does
	for (Stream &s : streams) {
		if (s.fd >= 0 && reset)
			setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
	}
	for (Stream &s : streams) {
		if (s.fd >= 0)
			close(s.fd);
	}
	close(epoll);
	return totals.events == int64_t(streamCount) * eventsPerStream ? 0 : 3;
}

// Round trips of a 64-byte message over loopback TCP to a forked echo process: the least one hop
// between two processes on this machine costs.
int runRoundTrips(int count)
{
	const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof addr;
	if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
	    listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
		die("listen");
	const pid_t child = fork();
	if (child < 0)
		die("fork");
	char message[64];
	std::memset(message, 'k', sizeof message);
	const int one = 1;
	if (child == 0) {
		const int peer = accept(listener, nullptr, nullptr);
		setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
		char buf[sizeof message];
		for (;;) {
			size_t have = 0;
			while (have < sizeof buf) {
				const ssize_t got = read(peer, buf + have, sizeof buf - have);
				if (got <= 0)
					_exit(0);
				have += size_t(got);
			}
			if (write(peer, buf, sizeof buf) != ssize_t(sizeof buf))
				_exit(1);
		}
	}
	close(listener);
	const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
		die("connect");
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	std::vector<int64_t> trips;
	trips.reserve(size_t(count));
	for (int i = 0; i < count; ++i) {
		const int64_t start = nowNs();
		if (write(fd, message, sizeof message) != ssize_t(sizeof message))
			die("write");
		size_t have = 0;
		char buf[sizeof message];
		while (have < sizeof buf) {
			const ssize_t got = read(fd, buf + have, sizeof buf - have);
			if (got <= 0)
				die("read");
			have += size_t(got);
		}
		trips.push_back(nowNs() - start);
		// Paced like the end-to-end events, so the echo process sleeps between trips as the
		// dock does between events.
		poll(nullptr, 0, 2);
	}
	close(fd);
	waitpid(child, nullptr, 0);
	std::sort(trips.begin(), trips.end());
	std::printf("{\"count\":%d,\"p50_us\":%.1f,\"p99_us\":%.1f,\"max_us\":%.1f}\n", count,
		    percentileUs(trips, 0.50), percentileUs(trips, 0.99), double(trips.back()) / 1000.0);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	const std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "stream") {
		const int port = intArg(argc, argv, "--port", 0);
		const int streams = intArg(argc, argv, "--streams", 1);
		const int events = intArg(argc, argv, "--events", 0);
		if (port <= 0 || streams <= 0 || events < 0) {
			std::fprintf(stderr, "kelp-bench-loadgen stream: needs --port, --streams and --events\n");
			return 2;
		}
		return runStreams(port, streams, events, intArg(argc, argv, "--timeout", 60),
				  flag(argc, argv, "--hold"), flag(argc, argv, "--reset"));
	}
	if (mode == "rtt")
		return runRoundTrips(std::max(1, intArg(argc, argv, "--count", 1000)));
	std::fprintf(stderr, "usage: kelp-bench-loadgen stream --port P --streams N --events M [--timeout S] [--hold [--reset]]\n"
			     "       kelp-bench-loadgen rtt [--count K]\n");
	return 2;
}
