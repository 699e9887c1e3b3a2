#pragma once

#include <QByteArray>
#include <QString>

#include <obs.hpp>

// The Browser Source that shows the local Event Goal widget. The dock keeps no record of the
// sources it made: every operation finds the source again by name and URL.

// A "browser_source" whose url points at the local widget bus (127.0.0.1 or localhost, any case).
bool isKelpEventGoalSource(obs_source_t *source);
// The local Event Goal under its plain name or under "KELP Event Goal"; the holder releases the
// lookup's reference. Numbered names are never searched.
OBSSourceAutoRelease findEventGoalSource();
// The plain name, or the first free numbered one; a time-stamped one when those are all taken.
QString uniqueEventGoalName();

// The page URL for a runtime version; an empty version is the built-in runtime.
QString eventGoalRuntimeUrl(const QString &version);
// The Browser Source height that fits the config's text layout, or -1 when the config is not a
// JSON object.
int eventGoalHeightFromConfig(const QByteArray &configJson);
