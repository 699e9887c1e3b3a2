#pragma once

// Reading and routing of a request head, apart from any socket: LocalSseServer feeds it whatever
// each readyRead brings, and the fuzzers feed it arbitrary bytes in arbitrary pieces.

#include <QByteArray>
#include <QString>

enum class HeadProgress {
	Incomplete, // keep the bytes and wait for more
	Complete,   // the head is in; anything after it is ignored
	TooLarge,   // the peer went past the bound without ending its head
};

struct RequestHead {
	QByteArray method;
	QByteArray target; // "/" when the request line has no second piece
	QByteArray path;   // the target up to its first "?", undecoded
};

// Appends chunk to pending. On Complete fills head and empties pending; on TooLarge empties
// pending; on Incomplete keeps everything in pending, which then never exceeds maxHead bytes.
HeadProgress takeRequestHead(QByteArray *pending, const QByteArray &chunk, qsizetype maxHead, RequestHead *head);

enum class BusRoute {
	Preflight,    // OPTIONS on any path
	EventStream,  // GET /events
	WidgetPage,   // GET /widget/event-goal/ or .../index.html
	WidgetConfig, // GET /widget/config
	WidgetAsset,  // GET /widget/asset/<slot>
	Health,       // GET /health
	NotFound,
};

// Exact, case-sensitive byte comparisons, first match wins.
BusRoute routeRequest(const RequestHead &head);

// The slot a WidgetAsset path names: the bytes after "/widget/asset/", as UTF-8.
QString assetSlotOf(const QByteArray &path);
