#include "sim-tls.h"

#include <QSslConfiguration>
#include <QSslSocket>

namespace kelpsim {

void SimServer::incomingConnection(qintptr descriptor)
{
	if (!isTls()) {
		QTcpServer::incomingConnection(descriptor);
		return;
	}
	if (m_handshake == TlsHandshake::Stall) {
		// Accepted, read from, never answered: the client's own time-out has to end it.
		auto *socket = new QTcpSocket(this);
		if (!socket->setSocketDescriptor(descriptor)) {
			delete socket;
			return;
		}
		connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
		connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
		return;
	}

	auto *socket = new QSslSocket(this);
	if (!socket->setSocketDescriptor(descriptor)) {
		delete socket;
		return;
	}
	QSslConfiguration config = QSslConfiguration::defaultConfiguration();
	config.setLocalCertificateChain(m_chain);
	config.setPrivateKey(m_key);
	config.setPeerVerifyMode(QSslSocket::VerifyNone);
	socket->setSslConfiguration(config);
	if (m_handshake == TlsHandshake::CloseMidway) {
		// The server's first flight (hello, certificate) goes out, then the connection drops.
		connect(socket, &QSslSocket::encryptedBytesWritten, socket, [socket] {
			socket->abort();
			socket->deleteLater();
		});
		socket->startServerEncryption();
		return;
	}
	socket->startServerEncryption();
	addPendingConnection(socket);
}

void SimServer::abortUnserved()
{
	// Sockets handed to the HTTP layer were re-parented there; what remains stalls or is being
	// cut off.
	const QList<QTcpSocket *> sockets = findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
	for (QTcpSocket *socket : sockets)
		delete socket;
}

} // namespace kelpsim
