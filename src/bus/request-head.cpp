#include "bus/request-head.h"

#include <QList>

namespace {
const QByteArray kHeadEnd = QByteArrayLiteral("\r\n\r\n");
const QByteArray kAssetPrefix = QByteArrayLiteral("/widget/asset/");
} // namespace

HeadProgress takeRequestHead(QByteArray *pending, const QByteArray &chunk, qsizetype maxHead, RequestHead *head)
{
	// Only the tail of what we already hold can start a terminator that this chunk completes.
	const qsizetype from = qMax<qsizetype>(0, pending->size() - (kHeadEnd.size() - 1));
	pending->append(chunk);
	const qsizetype headEnd = pending->indexOf(kHeadEnd, from);
	if (headEnd < 0 ? pending->size() > maxHead : headEnd + kHeadEnd.size() > maxHead) {
		pending->clear();
		return HeadProgress::TooLarge;
	}
	if (headEnd < 0)
		return HeadProgress::Incomplete;

	const QByteArray requestLine = pending->left(pending->indexOf("\r\n"));
	pending->clear();
	const QList<QByteArray> pieces = requestLine.split(' ');
	head->method = pieces.value(0);
	head->target = pieces.size() > 1 ? pieces.at(1) : QByteArrayLiteral("/");
	const qsizetype query = head->target.indexOf('?');
	head->path = query < 0 ? head->target : head->target.left(query);
	return HeadProgress::Complete;
}

BusRoute routeRequest(const RequestHead &head)
{
	if (head.method == "OPTIONS")
		return BusRoute::Preflight;
	if (head.method != "GET")
		return BusRoute::NotFound;
	const QByteArray &path = head.path;
	if (path == "/events")
		return BusRoute::EventStream;
	if (path == "/widget/event-goal/" || path == "/widget/event-goal/index.html")
		return BusRoute::WidgetPage;
	if (path == "/widget/config")
		return BusRoute::WidgetConfig;
	if (path.startsWith(kAssetPrefix))
		return BusRoute::WidgetAsset;
	if (path == "/health")
		return BusRoute::Health;
	return BusRoute::NotFound;
}

QString assetSlotOf(const QByteArray &path)
{
	return QString::fromUtf8(path.mid(kAssetPrefix.size()));
}
