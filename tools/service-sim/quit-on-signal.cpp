#include "quit-on-signal.h"

#include <QCoreApplication>

#ifdef Q_OS_WIN
// Windows ends a console program on Ctrl+C by itself; the simulator there serves only tests.
bool quitOnTerminationSignals(QCoreApplication &)
{
	return false;
}
#else
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
	const char byte = 1;
	// Only async-signal-safe work here; the event loop reads the byte and quits.
	[[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}
} // namespace

bool quitOnTerminationSignals(QCoreApplication &app)
{
	if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
		return false;
	auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
	QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
		char byte = 0;
		[[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
		QCoreApplication::quit();
	});
	struct sigaction action = {};
	action.sa_handler = onSignal;
	sigemptyset(&action.sa_mask);
	action.sa_flags = SA_RESTART;
	sigaction(SIGINT, &action, nullptr);
	sigaction(SIGTERM, &action, nullptr);
	return true;
}
#endif
