#include "common/kelp-common.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QNetworkRequest>

#include <algorithm>
#include <cmath>
#include <limits>

#include <obs.h>

namespace {
constexpr char kCappedProperty[] = "kelpBodyCapped";
constexpr char kDroppedProperty[] = "kelpConnectionDropped";

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

void dropStalledConnections(QNetworkAccessManager *manager)
{
	QObject::connect(manager, &QNetworkAccessManager::finished, manager, [manager](QNetworkReply *reply) {
		// Qt numbers network-level failures below its proxy errors; HTTP and protocol errors mean
		// the connection worked. A capped body was cut off here; a reply ended below had its turn.
		const QNetworkReply::NetworkError error = reply->error();
		if (error == QNetworkReply::NoError || error >= QNetworkReply::ProxyConnectionRefusedError ||
		    replyBodyCapped(reply) || reply->property(kDroppedProperty).toBool())
			return;
		// Dropping the connections ends every transfer on them. One sent before this reply may be
		// on a working connection: it decides when it ends. One sent since was queued behind the
		// same stall; it ends now, so that its owner retries on a new connection at once.
		QList<QPointer<QNetworkReply>> queued;
		bool older = true;
		for (QObject *child : manager->children()) {
			auto *other = qobject_cast<QNetworkReply *>(child);
			if (other == reply) {
				older = false;
			} else if (other && !other->isFinished()) {
				if (older)
					return;
				queued.append(other);
			}
		}
		manager->clearConnectionCache();
		for (const QPointer<QNetworkReply> &other : queued) {
			if (!other)
				continue;
			other->setProperty(kDroppedProperty, true);
			other->abort();
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
