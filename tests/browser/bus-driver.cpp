// Owns a real LocalSseServer for the browser tests and takes commands on stdin, one a line, each
// answered with one line on stdout: "ok[ value]" or "error <why>". Commands: root <dir>;
// config <revision> <json>; asset <slot> <mime> <revision> <base64>; clear <slot>; event <rest of
// the line>; stop; start and clients (answered with the bus's state); break-next-stream; quit.

#include "bus/local-sse-server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

void reply(const QByteArray &line)
{
	std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
	std::fputc('\n', stdout);
	std::fflush(stdout);
}

QByteArray word(QByteArray &rest)
{
	rest = rest.trimmed();
	const qsizetype space = rest.indexOf(' ');
	const QByteArray first = space < 0 ? rest : rest.left(space);
	rest = space < 0 ? QByteArray() : rest.mid(space + 1);
	return first;
}

class Driver : public QObject {
public:
	Driver() : notifier(STDIN_FILENO, QSocketNotifier::Read)
	{
		connect(&notifier, &QSocketNotifier::activated, this, &Driver::readInput);
	}

private:
	void readInput()
	{
		char chunk[65536];
		const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
		if (n <= 0) {
			notifier.setEnabled(false);
			QCoreApplication::quit();
			return;
		}
		input.append(chunk, n);
		for (qsizetype newline; (newline = input.indexOf('\n')) >= 0; input.remove(0, newline + 1))
			run(input.left(newline));
	}

	void run(QByteArray rest)
	{
		const QByteArray command = word(rest);
		if (command == "root") {
			bus.setWidgetRoot(QString::fromUtf8(rest.trimmed()));
		} else if (command == "config") {
			const QByteArray revision = word(rest);
			bus.setWidgetConfig(rest, QString::fromUtf8(revision));
		} else if (command == "asset") {
			const QString slot = QString::fromUtf8(word(rest));
			const QByteArray mime = word(rest);
			const QString revision = QString::fromUtf8(word(rest));
			bus.setWidgetAsset(slot, mime, QByteArray::fromBase64(rest.trimmed()), revision);
		} else if (command == "clear") {
			bus.clearWidgetAsset(QString::fromUtf8(word(rest)));
		} else if (command == "event") {
			bus.broadcastEvent(rest);
		} else if (command == "stop") {
			bus.stop();
		} else if (command == "start") {
			return reply(bus.start() ? "ok 1" : "ok 0");
		} else if (command == "clients") {
			return reply("ok " + QByteArray::number(bus.clientCount()));
		} else if (command == "break-next-stream") {
			return breakNextStream();
		} else if (command == "quit") {
			QCoreApplication::quit();
		} else {
			return reply("error unknown command " + command);
		}
		reply("ok");
	}

	// Stands in for a host that is up but not (yet) the bus, like OBS while it restarts: every
	// request gets an answer that is not an event stream.
	void breakNextStream()
	{
		bus.stop();
		auto *responder = new QTcpServer(this);
		if (!responder->listen(QHostAddress::LocalHost, LocalSseServer::kPort)) {
			delete responder;
			bus.start();
			return reply("error port busy");
		}
		connect(responder, &QTcpServer::newConnection, this, [this, responder] {
			while (QTcpSocket *socket = responder->nextPendingConnection()) {
				// Owned by the driver, so the answer still goes out after the responder is gone.
				socket->setParent(this);
				connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
				connect(socket, &QTcpSocket::readyRead, responder, [this, responder, socket] {
					const QByteArray head =
						socket->property("head").toByteArray() + socket->readAll();
					socket->setProperty("head", head);
					if (!head.contains("\r\n\r\n"))
						return;
					socket->disconnect(responder);
					socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
						      "Content-Length: 11\r\nConnection: close\r\n\r\nrestarting\n");
					socket->disconnectFromHost();
					if (!head.startsWith("GET /events"))
						return;
					responder->close();
					responder->deleteLater();
					// Another program may have taken the port in between; say so, the test will
					// fail.
					if (!bus.start())
						std::fputs("bus driver: could not bind port 4251 again\n", stderr);
				});
			}
		});
		reply("ok");
	}

	LocalSseServer bus;
	QSocketNotifier notifier;
	QByteArray input;
};

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	Driver driver;
	return app.exec();
}
