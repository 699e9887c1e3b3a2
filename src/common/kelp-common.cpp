#include "common/kelp-common.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <cmath>
#include <limits>

#include <obs.h>

namespace {
constexpr char kCappedProperty[] = "kelpBodyCapped";
constexpr char kSendingProperty[] = "kelpSendingManager";

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

QNetworkAccessManager *sendingManager(QNetworkAccessManager *front)
{
	auto *renewed = qobject_cast<QNetworkAccessManager *>(front->property(kSendingProperty).value<QObject *>());
	return renewed ? renewed : front;
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
		const bool idle = std::none_of(replies.begin(), replies.end(), [reply](QNetworkReply *other) {
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
			// healthy: later requests go through a new manager, and this one is cleared once they end.
			auto *renewed = new QNetworkAccessManager(front);
			QObject::connect(renewed, &QNetworkAccessManager::finished, front,
					 &QNetworkAccessManager::finished);
			front->setProperty(kSendingProperty, QVariant::fromValue<QObject *>(renewed));
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
