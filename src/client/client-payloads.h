#pragma once

// Pure readers of the service's answers, kept apart from KelpClient so they can be exercised
// without a network (tests, fuzzers).

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

// The asset slots of the Event Goal widget, in the order they are examined.
inline constexpr const char *kWidgetAssetSlots[] = {"mask", "frame", "particle"};

// The magnitude up to which a JSON number (a double) holds every integer exactly: 2^53. A sequence
// number at or beyond it is no position to resume from: its successor no longer reads apart from it,
// so every later event would look like a duplicate.
inline constexpr qint64 kMaxExactSeq = qint64(1) << 53;

// One realtime event: its sequence number as the client reads it and the element re-serialised
// compactly.
struct RealtimeEvent {
	qint64 seq = 0; // "seq" truncated toward zero; 0 when absent, not a number or at or beyond kMaxExactSeq
	QByteArray json;
};

// An events answer counts only as a JSON object whose "ok" is true. Elements of "events" that are
// not objects are dropped; a missing or non-array "events" gives an empty batch.
bool parseEventsBody(const QByteArray &body, QList<RealtimeEvent> *events);

// The same answer in two steps, so a long batch can be read an event at a time: the raw "events"
// array (empty when missing or not an array), then each element (false for a non-object).
bool parseEventsArray(const QByteArray &body, QJsonArray *events);
bool readRealtimeEvent(const QJsonValue &element, RealtimeEvent *event);

struct WidgetAssetDescriptor {
	QString slot;
	bool listed = false; // "assets" holds the slot as an object
	QString updatedAt;   // empty when missing or not a string
};

struct WidgetState {
	QString widgetId;
	QString revision;
	QByteArray configJson;               // compact; "{}" when "config" is missing or not an object
	QList<WidgetAssetDescriptor> assets; // always the three slots, in examination order
};

// A widget-state answer counts only as a JSON object whose "ok" is true.
bool parseWidgetStateBody(const QByteArray &body, WidgetState *state);

// The MIME type of an asset: the Content-Type up to its first ";", trimmed, with
// "application/octet-stream" when nothing is left.
QByteArray assetMimeType(const QByteArray &contentType);

// The first eight characters of a revision (all of it when shorter), as the panel shows it.
QString shortRevision(const QString &revision);
