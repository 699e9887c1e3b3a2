#pragma once

// A local simulator of the KELP service: its plug-in HTTP API over real HTTP/1.1 on loopback,
// plus a control surface (this class, and the same operations over HTTP under "/_sim/").

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

namespace kelpsim {

// One request as the simulator received it.
struct RequestRecord {
	QByteArray method;
	QByteArray path;  // without the query
	QByteArray query; // raw, without the "?"
	QList<QPair<QByteArray, QByteArray>> headers;
	qint64 receivedMs = 0; // QDateTime::currentMSecsSinceEpoch() at arrival of the full head
	QByteArray header(const QByteArray &name) const; // case-insensitive, empty when absent
	QString queryItem(const QString &name) const;    // decoded, empty when absent
};

// A fault applied to the next matching requests of one endpoint.
struct Fault {
	enum Kind {
		Status,      // answer `status` with `body` (as is) instead of the real answer
		InvalidBody, // answer 200 with `body` (default "not json") instead of the real body
		Delay,       // hold the request for `delayMs`, then answer it normally
		Drop,        // close the connection without any answer
		DropMidBody, // send the real head and half the real body, then close
		ShortBody,   // send the real head, but only the first half of the body and close
		WrongBytes,  // answer normally but flip the bytes of the body (same length)
		Hang,        // never answer; the connection stays open until the client gives up
		Trickle,     // answer normally, but spread the body evenly over `delayMs` after the head
		Redirect,    // answer `status` (302 unless a 3xx) pointing to `body` + the request's path and query
	};
	QByteArray path; // exact path, or a prefix when it ends with '/' (e.g. "/runtime/files/")
	Kind kind = Status;
	int status = 500;
	QByteArray body;
	int delayMs = 0;
	int count = 1; // how many matching requests it applies to, after `skip`
	int skip = 0;  // matching requests let through untouched first (e.g. fail the Nth file)
		       // Also: a negative `count` applies until clearFaults(). A Drop also drops the one identical
		       // request that arrives within 500 ms (Qt's transparent re-send), without using up `count`.
};

// How an HTTPS listener treats a new connection's handshake.
enum class TlsHandshake {
	Complete,    // serves the request once the client accepts the certificate
	Stall,       // accepts the connection and never answers a byte
	CloseMidway, // sends its first handshake flight, then closes
};

class ServiceSim : public QObject {
	Q_OBJECT

public:
	explicit ServiceSim(QObject *parent = nullptr);
	~ServiceSim() override;

	// Listens on 127.0.0.1; port 0 picks a free one.
	bool listen(quint16 port = 0);
	void close();
	quint16 port() const;
	QString origin() const; // "http://127.0.0.1:<port>", or "https://..." once TLS is on

	// HTTPS from the next connection on, with a certificate chain and its key (PEM files); false
	// when either does not load. useTestTls() takes the build's test certificate for 127.0.0.1.
	bool setTlsCredentials(const QString &chainFile, const QString &keyFile);
	bool useTestTls();
	static QString testAuthorityFile(); // the PEM of the authority that signed the test certificate
	// Connections stalled until then stay open when it changes.
	void setTlsHandshake(TlsHandshake handshake);

	// Pairing. Codes are created by "/api/v26/plugin/pair/start" and wait for approval.
	QStringList pendingCodes() const;
	bool approveCode(const QString &code); // issues a device token for the code's device
	bool expireCode(const QString &code);
	// Pairs a device directly (no code) and returns its new token.
	QString issueToken(const QString &deviceId);
	QString tokenFor(const QString &deviceId) const;
	void revokeToken(const QString &deviceId); // later requests with the old token get 401

	// Realtime events: each queued event gets the device's next "seq" (1, 2, ...) and wakes a
	// long poll held for that device. An empty deviceId queues for every paired device.
	qint64 queueEvent(const QString &deviceId, const QJsonObject &event);
	qint64 lastSeq(const QString &deviceId) const;

	// The Event Goal widget state every paired device reads.
	void setWidgetState(const QString &widgetId, const QString &revision, const QJsonObject &config);
	void setAsset(const QString &slot, const QByteArray &mime, const QByteArray &data, const QString &updatedAt);
	void removeAsset(const QString &slot);

	// Runtime manifest: publishes every file below `folder` as version `version`, with its
	// "sha256" and "size" computed here and a download URL under "/runtime/files/<version>/".
	bool publishRuntime(const QString &version, const QString &folder, const QString &minPluginVersion = QString());
	// Keeps what a real service keeps across restarts in `file`: the devices with their tokens and
	// events, the widget state and its images, and every published runtime (pairing codes, faults and
	// the request log are left out). Loads the file now and writes it back shortly after each change
	// and on close(). False when the file exists but cannot be read or is malformed; the simulator
	// then starts empty and replaces it on the next change.
	bool setStateFile(const QString &file);

	// The folder that a publish through the control API uses when it names none (the dev host sets
	// the built-in runtime's folder, so the web page can publish it under a new version).
	void setDefaultRuntimeFolder(const QString &folder);
	// Replaces the manifest body wholesale (for malformed-manifest tests); empty restores the normal one.
	void setManifestOverride(const QByteArray &body);

	void addFault(const Fault &fault);
	void clearFaults();
	QList<Fault> faults() const; // those still armed, with their remaining count and skip

	// For `durationMs`, every plug-in request gets a reply drawn from a generator seeded with `seed`
	// (see sim-chaos.h); faults still apply to the requests it leaves to the normal route.
	void startChaos(quint64 seed, int durationMs);
	void stopChaos();
	bool isChaosActive() const;

	// Pending codes expire this long after their start request; 0 (the default) keeps them
	// until expireCode() or a newer start request of the same device.
	void setPairCodeLifetime(int ms);
	// The longest a long poll is held, whatever its "wait_ms" asks (default 30000).
	void setMaxWaitMs(int ms);
	// Long polls currently held open (for one device, or for all when deviceId is empty).
	int heldPollCount(const QString &deviceId = QString()) const;
	// A snapshot of pairings, devices, widget state, runtime and faults, as GET /_sim/state shows it.
	QJsonObject state() const;

	QList<RequestRecord> requests() const;
	QList<RequestRecord> requestsTo(const QByteArray &path) const;
	void clearRequests();

signals:
	void requestReceived(const kelpsim::RequestRecord &record);

private:
	class Private;
	Private *d;
};

} // namespace kelpsim
