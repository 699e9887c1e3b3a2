#pragma once

// The real libobs, started headless for a test: log captured, a few input types registered, and
// warmed up so that allocation counts taken afterwards belong to the test alone.

#include <QByteArrayList>
#include <QList>
#include <QPair>
#include <QString>

#include <obs.h>

namespace libobs_session {

// Starts libobs with module config folders under configRoot and registers each input type (its
// display name is its id). Runs once per process.
bool start(const QString &configRoot, const QByteArrayList &inputTypes, QString *error);
// Shuts libobs down; the reason when it still held allocations.
QString stop();
// Level and text of every line logged (debug lines aside) since the last call.
QList<QPair<int, QString>> takeLog();
// How often obs_source_update reached a source of a registered type.
int updates(obs_source_t *source);
// Waits for libobs's destruction thread to bring the allocation count to `count`.
bool settlesTo(long count);

} // namespace libobs_session
