// Owns a real LocalSseServer serving the widget folder given as its argument, for the browser tests.
// Takes commands on stdin, one a line, each answered with one line on stdout: "ok[ value]" or
// "error <why>". Commands: config <revision> <json>; asset <slot> <mime> <revision> <base64>;
// clear <slot>; event <rest of the line>; stop; start and clients (answered with the bus's state);
// break-next-stream. It quits when stdin closes.

#include "bus/local-sse-server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

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
	explicit Driver(const QString &root) : notifier(STDIN_FILENO, QSocketNotifier::Read)
	{
		bus.setWidgetRoot(root);
		connect(&notifier, &QSocketNotifier::activated, this, [this] {
			char chunk[65536];
			const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
			if (n <= 0)
				return QCoreApplication::quit();
			input.append(chunk, n);
			for (qsizetype newline; (newline = input.indexOf('\n')) >= 0; input.remove(0, newline + 1)) {
				const QByteArray answer = run(input.left(newline));
				std::printf("%s\n", answer.constData());
				std::fflush(stdout);
			}
		});
	}

private:
	QByteArray run(QByteArray rest)
	{
		const QByteArray command = word(rest);
		if (command == "config") {
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
			return bus.start() ? "ok 1" : "ok 0";
		} else if (command == "clients") {
			return "ok " + QByteArray::number(bus.clientCount());
		} else if (command == "break-next-stream") {
			return breakNextStream();
		} else {
			return "error unknown command " + command;
		}
		return "ok";
	}

	// Stands in for a host that is up but not (yet) the bus, like OBS while it restarts: requests get
	// an answer that is not an event stream, until the first stream request has had one.
	QByteArray breakNextStream()
	{
		bus.stop();
		auto *responder = new QTcpServer(this);
		if (!responder->listen(QHostAddress::LocalHost, LocalSseServer::kPort))
			return "error port busy";
		connect(responder, &QTcpServer::newConnection, this, [this, responder] {
			while (QTcpSocket *socket = responder->nextPendingConnection()) {
				// Owned by the driver, so the answer still goes out after the responder is gone.
				socket->setParent(this);
				connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
				connect(socket, &QTcpSocket::readyRead, responder, [this, responder, socket] {
					socket->disconnect(responder);
					const bool stream = socket->readAll().startsWith("GET /events");
					socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
						      "Connection: close\r\n\r\n");
					socket->disconnectFromHost();
					if (!stream)
						return;
					responder->deleteLater();
					responder->close();
					if (!bus.start())
						std::fputs("bus driver: could not bind port 4251 again\n", stderr);
				});
			}
		});
		return "ok";
	}

	LocalSseServer bus;
	QSocketNotifier notifier;
	QByteArray input;
};

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	Driver driver(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString());
	return app.exec();
}
