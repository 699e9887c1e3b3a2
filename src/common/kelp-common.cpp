#include "common/kelp-common.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QDeadlineTimer>

#include <algorithm>
#include <cmath>
#include <limits>

#include <obs.h>

namespace {
constexpr char kCappedProperty[] = "kelpBodyCapped";
constexpr char kSendingProperty[] = "kelpSendingManager";
constexpr char kSentProperty[] = "kelpRequestSent";
constexpr char kMadeProperty[] = "kelpRequestMadeMs";

QString &originOverride()
{
	static QString origin;
	return origin;
}
} // namespace

QString kelpServiceOrigin()
{
	const QString &origin = originOverride();
	return origin.isEmpty() ? QStringLiteral(KELP_SERVICE_ORIGIN) : origin;
}

void setKelpServiceOrigin(const QString &origin)
{
	QString value = origin;
	while (value.endsWith(QLatin1Char('/')))
		value.chop(1);
	originOverride() = value;
}

QString kelpHostVersion()
{
	const char *version = obs_get_version_string();
	return version ? QString::fromLatin1(version) : QString();
}

void capReplyBody(QNetworkReply *reply, qint64 maxBytes)
{
	QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, maxBytes] {
		if (reply->bytesAvailable() > maxBytes) {
			reply->setProperty(kCappedProperty, true);
			reply->abort();
		}
	});
}

bool replyBodyCapped(const QNetworkReply *reply)
{
	return reply->property(kCappedProperty).toBool();
}

namespace {
// A request that has not gone out this long after it was made waits behind a connection that does
// not answer: on a working network handshakes and requests go out within milliseconds.
constexpr qint64 kUnsentStuckMs = 10000;

QNetworkAccessManager *sendingManager(QNetworkAccessManager *front)
{
	auto *renewed = qobject_cast<QNetworkAccessManager *>(front->property(kSendingProperty).value<QObject *>());
	return renewed ? renewed : front;
}

// Whether `reply` is open and its request has not gone out within `waitedMs` of being made.
bool waitsUnsent(const QNetworkReply *reply, qint64 now, qint64 waitedMs)
{
	const QVariant made = reply->property(kMadeProperty);
	return made.isValid() && !reply->isFinished() && !reply->property(kSentProperty).toBool() &&
	       now - made.toLongLong() >= waitedMs;
}

// Later requests of `front` go through a new manager. The open replies of `manager` whose request
// has waited `waitedMs` without going out wait behind a connection that does not answer: they end
// on the next turn of the event loop, so that their owners retry through the new manager at once.
QNetworkAccessManager *renew(QNetworkAccessManager *front, QNetworkAccessManager *manager, qint64 waitedMs)
{
	auto *fresh = new QNetworkAccessManager(front);
	QObject::connect(fresh, &QNetworkAccessManager::finished, front, &QNetworkAccessManager::finished);
	front->setProperty(kSendingProperty, QVariant::fromValue<QObject *>(fresh));
	const qint64 now = QDeadlineTimer::current().deadline();
	for (QNetworkReply *other : manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly)) {
		if (waitsUnsent(other, now, waitedMs))
			QMetaObject::invokeMethod(other, &QNetworkReply::abort, Qt::QueuedConnection);
	}
	return fresh;
}
} // namespace

QNetworkReply *sendGet(QNetworkAccessManager *front, const QNetworkRequest &request)
{
	QNetworkAccessManager *manager = sendingManager(front);
	const qint64 now = QDeadlineTimer::current().deadline();
	const QList<QNetworkReply *> replies =
		manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
	if (std::any_of(replies.begin(), replies.end(),
			[now](const QNetworkReply *other) { return waitsUnsent(other, now, kUnsentStuckMs); }))
		manager = renew(front, manager, kUnsentStuckMs);
	QNetworkReply *reply = manager->get(request);
	reply->setProperty(kMadeProperty, now);
	QObject::connect(reply, &QNetworkReply::requestSent, reply,
			 [reply] { reply->setProperty(kSentProperty, true); });
	return reply;
}

void dropStalledConnections(QNetworkAccessManager *front)
{
	QObject::connect(front, &QNetworkAccessManager::finished, front, [front](QNetworkReply *reply) {
		QNetworkAccessManager *manager = reply->manager();
		const bool current = manager == sendingManager(front);
		// Qt numbers network-level failures below its proxy errors; HTTP and protocol errors mean
		// the connection worked. A capped body was cut off here.
		const QNetworkReply::NetworkError error = reply->error();
		const bool failed = error != QNetworkReply::NoError &&
				    error < QNetworkReply::ProxyConnectionRefusedError && !replyBodyCapped(reply);
		const QList<QNetworkReply *> replies =
			manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly);
		const bool idle = std::none_of(replies.begin(), replies.end(), [reply](const QNetworkReply *other) {
			return other != reply && !other->isFinished();
		});
		if (idle && (failed || !current)) {
			// Nothing else rides on its connections now.
			if (manager == front || current)
				manager->clearConnectionCache();
			else
				manager->deleteLater();
		} else if (failed && current) {
			// Dropping the connections would end the transfers still open on them, which may be
			// healthy; this manager is cleared once they end.
			renew(front, manager, 0);
		}
	});
}

QString networkErrorText(QNetworkReply *reply)
{
	if (!reply)
		return QStringLiteral("unknown network error");
	const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
	if (status < 1)
		return reply->errorString();
	return QStringLiteral("HTTP %1 · %2").arg(status).arg(reply->errorString());
}

qint64 truncateToInt64(double value)
{
	if (std::isnan(value))
		return 0;
	// 2^63 is exactly representable; anything at or beyond it would overflow the cast.
	constexpr double limit = 9223372036854775808.0;
	if (value >= limit)
		return std::numeric_limits<qint64>::max();
	if (value < -limit)
		return std::numeric_limits<qint64>::min();
	return static_cast<qint64>(value);
}

bool hasControlCharacter(const QString &text)
{
	return std::any_of(text.begin(), text.end(), isControlCharacter);
}
