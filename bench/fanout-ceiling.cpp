// kelp-bench-ceiling: the same event streams as the bus, byte for byte, from a bare epoll loop with
// no framework at all: what this machine allows, against which the bus and the peer are read. Its
// sockets keep the kernel's defaults, as the bus's do.
//
//   kelp-bench-ceiling --port P --streams N --events M [--interval-ms K]
//
// Same behaviour as kelp-bench-bus: "listening <port>", then M events once N streams are open, one
// per turn of the loop (or one every K ms), then exit with the CPU time once every stream has
// closed.

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
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using bench::intArg;
using bench::nowNs;

const std::string kOpening = bench::kStreamOpening + "event: config\ndata: {}\n\n";

struct Conn {
	int fd = -1;
	bool stream = false;
	std::string head;
	std::string pending; // bytes the kernel did not take yet, from `sent` on
	size_t sent = 0;
};

int epollFd = -1;

void watch(Conn *conn, bool writable)
{
	epoll_event ev = {};
	ev.events = EPOLLIN | EPOLLRDHUP | (writable ? EPOLLOUT : 0u);
	ev.data.ptr = conn;
	epoll_ctl(epollFd, EPOLL_CTL_MOD, conn->fd, &ev);
}

// Writes what the kernel takes now and keeps the rest for EPOLLOUT; false when the peer is gone.
bool send(Conn *conn, const char *data, size_t size)
{
	if (conn->sent < conn->pending.size()) {
		conn->pending.append(data, size);
		return true;
	}
	while (size > 0) {
		const ssize_t put = write(conn->fd, data, size);
		if (put > 0) {
			data += put;
			size -= size_t(put);
		} else if (put < 0 && errno == EINTR) {
			continue;
		} else if (put < 0 && errno == EAGAIN) {
			conn->pending.assign(data, size);
			conn->sent = 0;
			watch(conn, true);
			return true;
		} else {
			return false;
		}
	}
	return true;
}

bool drain(Conn *conn)
{
	while (conn->sent < conn->pending.size()) {
		const ssize_t put =
			write(conn->fd, conn->pending.data() + conn->sent, conn->pending.size() - conn->sent);
		if (put > 0)
			conn->sent += size_t(put);
		else if (put < 0 && errno == EINTR)
			continue;
		else if (put < 0 && errno == EAGAIN)
			return true;
		else
			return false;
	}
	conn->pending.clear();
	conn->sent = 0;
	watch(conn, false);
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	const int port = intArg(argc, argv, "--port", 0);
	const int wanted = intArg(argc, argv, "--streams", 1);
	const int64_t events = intArg(argc, argv, "--events", 1000);
	const int64_t intervalNs = int64_t(intArg(argc, argv, "--interval-ms", 0)) * 1000000;

	rlimit limit;
	if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_NOFILE, &limit);
	}

	const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	const int one = 1;
	setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(uint16_t(port));
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(listener, 511) != 0) {
		std::fprintf(stderr, "kelp-bench-ceiling: cannot listen on %d: %s\n", port, std::strerror(errno));
		return 3;
	}
	epollFd = epoll_create1(0);
	epoll_event lev = {};
	lev.events = EPOLLIN;
	lev.data.ptr = nullptr;
	epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &lev);
	std::printf("listening %d\n", port);
	std::fflush(stdout);

	std::vector<Conn *> streams;
	int64_t produced = 0;
	bool started = false;
	int64_t nextDueNs = 0;
	const int64_t deadline = nowNs() + int64_t(300) * 1000000000;
	std::vector<epoll_event> ready(256);
	char buf[16 * 1024];

	auto closeConn = [&](Conn *conn) {
		epoll_ctl(epollFd, EPOLL_CTL_DEL, conn->fd, nullptr);
		close(conn->fd);
		if (conn->stream)
			streams.erase(std::find(streams.begin(), streams.end(), conn));
		delete conn;
	};

	while (nowNs() < deadline) {
		const bool producing = started && produced < events;
		int waitMs = producing ? 0 : 100;
		if (producing && nextDueNs > nowNs())
			waitMs = int((nextDueNs - nowNs() + 999999) / 1000000);
		if (started && produced == events && streams.empty())
			break;
		const int n = epoll_wait(epollFd, ready.data(), int(ready.size()), waitMs);
		for (int i = 0; i < n; ++i) {
			Conn *conn = static_cast<Conn *>(ready[size_t(i)].data.ptr);
			if (!conn) {
				for (;;) {
					const int fd =
						accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
					if (fd < 0)
						break;
					auto *c = new Conn;
					c->fd = fd;
					epoll_event ev = {};
					ev.events = EPOLLIN | EPOLLRDHUP;
					ev.data.ptr = c;
					epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
				}
				continue;
			}
			const uint32_t what = ready[size_t(i)].events;
			bool alive = true;
			if (what & EPOLLIN) {
				for (;;) {
					const ssize_t got = read(conn->fd, buf, sizeof buf);
					if (got > 0) {
						if (!conn->stream)
							conn->head.append(buf, size_t(got));
						continue;
					}
					if (got == 0 || (errno != EAGAIN && errno != EINTR))
						alive = false;
					break;
				}
				if (alive && !conn->stream && conn->head.find("\r\n\r\n") != std::string::npos) {
					if (conn->head.compare(0, 12, "GET /events ") != 0) {
						alive = false;
					} else {
						conn->stream = true;
						conn->head.clear();
						streams.push_back(conn);
						alive = send(conn, kOpening.data(), kOpening.size());
					}
				}
			}
			if (alive && (what & EPOLLOUT))
				alive = drain(conn);
			if (!alive || (what & (EPOLLERR | EPOLLHUP)))
				closeConn(conn);
		}
		if (!started && int(streams.size()) >= wanted) {
			started = true;
			nextDueNs = nowNs();
		}
		if (started && produced < events && nowNs() >= nextDueNs) {
			nextDueNs += intervalNs;
			++produced;
			char block[256];
			const int size =
				std::snprintf(block, sizeof block,
					      "event: kelp\ndata: {\"type\":\"donation\",\"provider\":\"bench\","
					      "\"amount\":250,\"currency\":\"RUB\",\"name\":\"Bench\","
					      "\"message\":\"Thanks for the stream!\",\"seq\":%lld,\"t_ns\":%lld}\n\n",
					      (long long)produced, (long long)nowNs());
			for (Conn *conn : std::vector<Conn *>(streams)) {
				if (!send(conn, block, size_t(size)))
					closeConn(conn);
			}
		}
	}

	std::printf("{\"cpu_ms\":%.1f,\"produced\":%lld}\n", bench::cpuMs(), (long long)produced);
	return 0;
}
