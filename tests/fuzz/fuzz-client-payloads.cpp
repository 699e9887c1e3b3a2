// The client's readers of the events and widget-state answers under arbitrary bodies.
//
// What the rest of the system relies on: every event handed on is one compact JSON object on one
// line (the bus frames it as a single SSE data field), its seq is never a resume position beyond
// what a JSON number holds exactly (which seq a given number gives is the client suite's table), a
// refused body yields nothing, and a widget state always names the three slots in order with a
// configuration that is a compact, single-line JSON object. Asset MIME types never carry a
// parameter or surrounding blanks.

#include "client/client-payloads.h"
#include "common/kelp-common.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void require(bool condition)
{
	if (!condition)
		abort();
}

bool isSingleLineObject(const QByteArray &json)
{
	if (json.contains('\n') || json.contains('\r'))
		return false;
	QJsonParseError error;
	const QJsonDocument document = QJsonDocument::fromJson(json, &error);
	return error.error == QJsonParseError::NoError && document.isObject() &&
	       document.toJson(QJsonDocument::Compact) == json;
}

void checkEvents(const QByteArray &body)
{
	QList<RealtimeEvent> events;
	events.append(RealtimeEvent{7, "stale"});
	const bool accepted = parseEventsBody(body, &events);
	if (!accepted) {
		require(events.isEmpty());
		return;
	}
	for (const RealtimeEvent &event : events) {
		require(isSingleLineObject(event.json));
		require(event.seq > -kMaxExactSeq && event.seq < kMaxExactSeq);
	}
}

void checkWidgetState(const QByteArray &body)
{
	WidgetState state;
	if (!parseWidgetStateBody(body, &state))
		return;
	require(isSingleLineObject(state.configJson));
	require(state.assets.size() == 3);
	for (int i = 0; i < 3; ++i) {
		require(state.assets.at(i).slot == QLatin1String(kWidgetAssetSlots[i]));
		require(state.assets.at(i).listed || state.assets.at(i).updatedAt.isEmpty());
	}
	require(shortRevision(state.revision).size() <= 8);
}

void checkMime(const QByteArray &contentType)
{
	const QByteArray mime = assetMimeType(contentType);
	require(!mime.isEmpty());
	require(!mime.contains(';'));
	require(mime == mime.trimmed());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
	checkEvents(body);
	checkWidgetState(body);
	checkMime(body);
	return 0;
}
