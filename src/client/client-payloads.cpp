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

bool parseEventsBody(const QByteArray &body, QList<RealtimeEvent> *events)
{
	events->clear();
	QJsonObject object;
	if (!acceptedObject(body, &object))
		return false;
	const QJsonArray array = object.value(QStringLiteral("events")).toArray();
	for (const QJsonValue &element : array) {
		if (!element.isObject())
			continue;
		const QJsonObject event = element.toObject();
		const QJsonValue seq = event.value(QStringLiteral("seq"));
		RealtimeEvent parsed;
		// Counted like no seq at all: once stored, a huge one would drop every later event.
		const bool exact = seq.isDouble() && std::fabs(seq.toDouble()) < double(kMaxExactSeq);
		parsed.seq = exact ? truncateToInt64(seq.toDouble()) : 0;
		parsed.json = QJsonDocument(event).toJson(QJsonDocument::Compact);
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
