// Owns a real LocalSseServer for the browser tests and takes commands on stdin, one a line.
// Every command is answered with exactly one line on stdout: "ok[ value]" or "error <why>".
//
//   root <dir>                          serve the runtime in <dir>
//   config <revision> <json>            setWidgetConfig
//   asset <slot> <mime> <revision> <base64 data>
//   clear <slot>                        clearWidgetAsset
//   event <bytes>                       broadcastEvent, the rest of the line unchanged
//   stop | start                        stop or start the bus ("ok 1" when listening)
//   listening                           "ok 1" while the bus listens
//   clients                             the bus's clientCount()
//   delivered                           the bus's deliveredCount()
//   break-next-stream                   stop the bus and answer on its port, with a plain-text 503, until
//                                       an "/events" request got that answer; then start the bus again
//   quit

#include "bus/local-sse-server.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

void reply(const QByteArray &line)
{
	std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
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

// Stands in for a host that is up but not (yet) the bus, like OBS while it restarts: every request
// gets an answer that is not an event stream.
class NonStreamResponder : public QObject {
	Q_OBJECT

public:
	explicit NonStreamResponder(QObject *parent) : QObject(parent)
	{
		connect(&listener, &QTcpServer::newConnection, this, &NonStreamResponder::accept);
	}

	bool listen() { return listener.listen(QHostAddress::LocalHost, LocalSseServer::kPort); }

signals:
	void streamRefused();

private slots:
	void accept()
	{
		while (QTcpSocket *socket = listener.nextPendingConnection()) {
			// Owned by the driver, so the answer still goes out after this responder is gone.
			socket->setParent(parent());
			connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
			connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { answer(socket); });
			if (socket->bytesAvailable() > 0)
				answer(socket);
		}
	}

private:
	void answer(QTcpSocket *socket)
	{
		QByteArray head = socket->property("head").toByteArray() + socket->readAll();
		socket->setProperty("head", head);
		if (!head.contains("\r\n\r\n") || socket->property("answered").toBool())
			return;
		socket->setProperty("answered", true);
		const QByteArray body = "restarting\n";
		socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
			      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
		socket->disconnectFromHost();
		if (head.startsWith("GET /events")) {
			listener.close();
			emit streamRefused();
		}
	}

	QTcpServer listener;
};

class Driver : public QObject {
	Q_OBJECT

public:
	Driver() : notifier(STDIN_FILENO, QSocketNotifier::Read)
	{
		connect(&notifier, &QSocketNotifier::activated, this, &Driver::readInput);
	}

private slots:
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
		qsizetype newline;
		while ((newline = input.indexOf('\n')) >= 0) {
			const QByteArray line = input.left(newline);
			input.remove(0, newline + 1);
			run(line);
		}
	}

private:
	void run(QByteArray rest)
	{
		const QByteArray command = word(rest);
		if (command == "root") {
			bus.setWidgetRoot(QString::fromUtf8(rest.trimmed()));
			reply("ok");
		} else if (command == "config") {
			const QByteArray revision = word(rest);
			bus.setWidgetConfig(rest, QString::fromUtf8(revision));
			reply("ok");
		} else if (command == "asset") {
			const QString slot = QString::fromUtf8(word(rest));
			const QByteArray mime = word(rest);
			const QString revision = QString::fromUtf8(word(rest));
			bus.setWidgetAsset(slot, mime, QByteArray::fromBase64(rest.trimmed()), revision);
			reply("ok");
		} else if (command == "clear") {
			bus.clearWidgetAsset(QString::fromUtf8(word(rest)));
			reply("ok");
		} else if (command == "event") {
			bus.broadcastEvent(rest);
			reply("ok");
		} else if (command == "stop") {
			bus.stop();
			reply("ok");
		} else if (command == "start") {
			reply(bus.start() ? "ok 1" : "ok 0");
		} else if (command == "listening") {
			reply(bus.isListening() ? "ok 1" : "ok 0");
		} else if (command == "clients") {
			reply("ok " + QByteArray::number(bus.clientCount()));
		} else if (command == "delivered") {
			reply("ok " + QByteArray::number(bus.deliveredCount()));
		} else if (command == "break-next-stream") {
			breakNextStream();
		} else if (command == "quit") {
			reply("ok");
			QCoreApplication::quit();
		} else {
			reply("error unknown command " + command);
		}
	}

	void breakNextStream()
	{
		bus.stop();
		auto *responder = new NonStreamResponder(this);
		if (!responder->listen()) {
			delete responder;
			bus.start();
			reply("error port busy");
			return;
		}
		connect(responder, &NonStreamResponder::streamRefused, this, [this, responder]() {
			responder->deleteLater();
			// Another program on this machine may have taken the port in between; say so, the test will
			// fail.
			if (!bus.start())
				std::fputs("bus driver: could not bind port 4251 again\n", stderr);
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

#include "bus-driver.moc"
