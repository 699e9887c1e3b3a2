#pragma once

#include <QChar>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Module version sent to the service, logged, and compared against runtime manifests. The CMake
// project version is its one source, so it cannot drift from the package or the Windows resource.
#ifndef KELP_MODULE_VERSION
#error "KELP_MODULE_VERSION comes from the CMake project version (a compile definition of kelp-core)"
#endif
inline constexpr char kKelpModuleVersion[] = KELP_MODULE_VERSION;

// The store that the client and the updater open separately.
inline constexpr char kKelpSettingsOrganization[] = "KELP Ziziru";
inline constexpr char kKelpSettingsApplication[] = "KELP OBS Plugin";

// The most either engine holds of one downloaded body (a runtime file, a widget image): bodies are
// read whole into memory, so this bounds what a service can make OBS hold, whatever it declares.
inline constexpr qint64 kMaxDownloadBytes = 64 * 1024 * 1024;
// The most either engine holds of one JSON answer (pairing, heartbeat, events, widget state,
// manifest): far beyond any real one, and a service that floods one stays out of OBS's memory.
inline constexpr qint64 kMaxAnswerBytes = 4 * 1024 * 1024;

// The service origin fixed at build time. Tests and the dev host may replace it in-process before
// they construct an engine; the shipped module never calls the setter.
QString kelpServiceOrigin();
void setKelpServiceOrigin(const QString &origin);

// The host's version string as Latin-1, empty when the host gives none.
QString kelpHostVersion();

// Cuts the reply off, as a broken transfer, once more than maxBytes of its body wait to be read.
void capReplyBody(QNetworkReply *reply, qint64 maxBytes);
// Whether capReplyBody cut this reply off: an answer too large to read, not a broken network.
bool replyBodyCapped(const QNetworkReply *reply);

// From now on, after a reply sent through `front` fails at the network level (time-out, refused or
// dropped connection, TLS), the connections kept for reuse are dropped: one that a server or a
// middlebox holds open without answering would otherwise hold every later request. While other
// replies are still open, later requests go through a new manager instead (send them with
// sendGet); every reply's finished signal reaches `front`'s either way.
void dropStalledConnections(QNetworkAccessManager *front);
QNetworkReply *sendGet(QNetworkAccessManager *front, const QNetworkRequest &request);

// One-line wording of a failed reply, shared by the client and the updater.
QString networkErrorText(QNetworkReply *reply);

// A JSON number truncated toward zero to 64 bits; NaN gives 0 and out-of-range values saturate
// instead of being undefined.
qint64 truncateToInt64(double value);

// C0 controls and DEL: a line break or another control character in a value read from the service
// would split the header, file name, status or log line it ends up in.
inline bool isControlCharacter(QChar c)
{
	return c.unicode() < 0x20 || c.unicode() == 0x7f;
}
bool hasControlCharacter(const QString &text);
