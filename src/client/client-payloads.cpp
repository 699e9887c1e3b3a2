#include "client/client-payloads.h"

#include "common/kelp-common.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {
bool acceptedObject(const QByteArray &body, QJsonObject *object)
{
	const QJsonDocument document = QJsonDocument::fromJson(body);
	if (!document.isObject())
		return false;
	*object = document.object();
	return object->value(QStringLiteral("ok")).toBool();
}
} // namespace

bool parseEventsArray(const QByteArray &body, QJsonArray *events)
{
	*events = QJsonArray();
	QJsonObject object;
	if (!acceptedObject(body, &object))
		return false;
	*events = object.value(QStringLiteral("events")).toArray();
	return true;
}

bool readRealtimeEvent(const QJsonValue &element, RealtimeEvent *event)
{
	if (!element.isObject())
		return false;
	const QJsonObject object = element.toObject();
	const QJsonValue seq = object.value(QStringLiteral("seq"));
	// Counted like no seq at all: once stored, a huge one would drop every later event.
	const bool exact = seq.isDouble() && std::fabs(seq.toDouble()) < double(kMaxExactSeq);
	event->seq = exact ? truncateToInt64(seq.toDouble()) : 0;
	event->json = QJsonDocument(object).toJson(QJsonDocument::Compact);
	return true;
}

bool parseEventsBody(const QByteArray &body, QList<RealtimeEvent> *events)
{
	events->clear();
	QJsonArray array;
	if (!parseEventsArray(body, &array))
		return false;
	for (const QJsonValue &element : std::as_const(array)) {
		RealtimeEvent parsed;
		if (readRealtimeEvent(element, &parsed))
			events->append(parsed);
	}
	return true;
}

bool parseWidgetStateBody(const QByteArray &body, WidgetState *state)
{
	QJsonObject object;
	if (!acceptedObject(body, &object))
		return false;
	state->widgetId = object.value(QStringLiteral("widget_id")).toString();
	state->revision = object.value(QStringLiteral("revision")).toString();
	state->configJson =
		QJsonDocument(object.value(QStringLiteral("config")).toObject()).toJson(QJsonDocument::Compact);
	const QJsonObject assets = object.value(QStringLiteral("assets")).toObject();
	state->assets.clear();
	for (const char *slot : kWidgetAssetSlots) {
		WidgetAssetDescriptor descriptor;
		descriptor.slot = QLatin1String(slot);
		const QJsonValue value = assets.value(descriptor.slot);
		descriptor.listed = value.isObject();
		if (descriptor.listed)
			descriptor.updatedAt = value.toObject().value(QStringLiteral("updated_at")).toString();
		state->assets.append(descriptor);
	}
	return true;
}

QByteArray assetMimeType(const QByteArray &contentType)
{
	const qsizetype cut = contentType.indexOf(';');
	const QByteArray mime = (cut < 0 ? contentType : contentType.left(cut)).trimmed();
	return mime.isEmpty() ? QByteArrayLiteral("application/octet-stream") : mime;
}

QString shortRevision(const QString &revision)
{
	return revision.left(8);
}
