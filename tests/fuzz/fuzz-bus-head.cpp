// The bus's request-head reader under arbitrary bytes in arbitrary segmentation.
//
// Input layout: byte 0 picks how many chunk lengths follow (0-15), each next byte is one length
// (1-256, used in turn), the rest is what the peer sends. Properties checked:
// - whatever the segmentation, the outcome and the parsed head equal those of one big read;
// - bytes held while a head is incomplete never exceed the bound;
// - an asset path of any bytes decodes to a slot without a sanitizer report.
// How a request line is split and routed is pinned by the bus suite's table of requests.

#include "bus/local-sse-server.h"
#include "bus/request-head.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {
void require(bool condition)
{
	if (!condition)
		abort();
}

struct Outcome {
	HeadProgress progress = HeadProgress::Incomplete;
	RequestHead head;
};

Outcome feed(const QByteArray &payload, const QList<int> &lengths, qsizetype maxHead)
{
	Outcome outcome;
	QByteArray pending;
	qsizetype at = 0;
	int turn = 0;
	while (at < payload.size() || (at == 0 && payload.isEmpty())) {
		const int length = lengths.isEmpty() ? int(payload.size()) : lengths.at(turn++ % lengths.size());
		const QByteArray chunk = payload.mid(at, length);
		at += qMax<qsizetype>(chunk.size(), 1);
		outcome.progress = takeRequestHead(&pending, chunk, maxHead, &outcome.head);
		if (outcome.progress != HeadProgress::Incomplete) {
			require(pending.isEmpty());
			return outcome;
		}
		require(pending.size() <= maxHead);
	}
	return outcome;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const int count = data[0] % 16;
	size_t offset = 1;
	QList<int> lengths;
	for (int i = 0; i < count && offset < size; ++i, ++offset)
		lengths.append(int(data[offset]) + 1);
	const QByteArray payload(reinterpret_cast<const char *>(data + offset), qsizetype(size - offset));

	// The real bound, and a small one so that bounded and unbounded paths both get exercised.
	for (const qsizetype maxHead : {qsizetype(LocalSseServer::kMaxRequestHead), qsizetype(64)}) {
		const Outcome pieces = feed(payload, lengths, maxHead);
		const Outcome whole = feed(payload, {}, maxHead);
		require(pieces.progress == whole.progress);
		if (pieces.progress != HeadProgress::Complete)
			continue;
		require(pieces.head.method == whole.head.method);
		require(pieces.head.target == whole.head.target);
		require(pieces.head.path == whole.head.path);
		const qsizetype end = payload.indexOf("\r\n\r\n");
		require(end >= 0 && end + 4 <= maxHead);
		// Any bytes at all reach the UTF-8 decoder here; the sanitizers watch it.
		if (routeRequest(pieces.head) == BusRoute::WidgetAsset)
			(void)assetSlotOf(pieces.head.path);
	}
	return 0;
}
