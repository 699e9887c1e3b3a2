#pragma once

// The simulator's listener: plain HTTP, or HTTPS once it has credentials. Connections are handed
// to the HTTP layer as soon as they are accepted; an HTTPS one reads as plain text once its
// handshake is done, and simply closes when the client refuses the certificate.

#include "service-sim.h"

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

namespace kelpsim {

class SimServer : public QTcpServer {
	Q_OBJECT

public:
	using QTcpServer::QTcpServer;

	bool isTls() const { return !m_chain.isEmpty(); }
	void setCredentials(const QList<QSslCertificate> &chain, const QSslKey &key)
	{
		m_chain = chain;
		m_key = key;
	}
	void setHandshake(TlsHandshake handshake) { m_handshake = handshake; }
	// Closes the connections that never reached the HTTP layer (stalled or cut-off handshakes).
	void abortUnserved();

protected:
	void incomingConnection(qintptr descriptor) override;

private:
	QList<QSslCertificate> m_chain;
	QSslKey m_key;
	TlsHandshake m_handshake = TlsHandshake::Complete;
};

} // namespace kelpsim
