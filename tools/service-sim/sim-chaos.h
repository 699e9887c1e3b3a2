#pragma once

// Chaos mode: for a bounded time, every plug-in request gets a reply drawn from a seeded generator
// of bad replies (wrong statuses, broken or hostile bodies, stalls, floods, resets), then the
// simulator behaves again. The same seed draws the same replies for the same requests per route.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTimer>

#include <random>

namespace kelpsim {

class HttpConnection;

class Chaos {
public:
	Chaos();
	~Chaos();

	void start(quint64 seed, int durationMs);
	// Ends chaos at once; stalled, trickling and flooding answers are cut off.
	void stop();
	bool isActive() const;
	QJsonObject state() const;

	// True when chaos answered or took over the request; false leaves it to the normal route, whose
	// answer may still be reshaped on its way out.
	bool apply(HttpConnection *connection);

private:
	std::mt19937_64 &rngFor(const QByteArray &path);
	void hold(HttpConnection *connection);

	quint64 seed = 0;
	qint64 untilMs = 0;
	QTimer endTimer;
	QHash<QByteArray, std::mt19937_64> rngs;
	QMap<QString, qint64> drawn; // replies per kind, for the state
	QList<QPointer<HttpConnection>> held;
};

} // namespace kelpsim
