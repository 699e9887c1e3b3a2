#pragma once

// Control side of the libobs stand-in: tests and the dev host set the host up and inspect what
// the module did with it.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

#include <obs.h>

#if defined(_WIN32)
#if defined(KELP_STANDIN_BUILD)
#define KELP_STANDIN_API __declspec(dllexport)
#else
#define KELP_STANDIN_API __declspec(dllimport)
#endif
#else
#define KELP_STANDIN_API __attribute__((visibility("default")))
#endif

class QWidget;

namespace standin {

struct LogEntry {
	int level;
	QString text;
};

// Back to a fresh host: empty log, no docks, default answers. Docks still registered are deleted.
KELP_STANDIN_API void reset();

// The handle to pass to obs_module_set_pointer.
KELP_STANDIN_API obs_module_t *module();
// obs_find_module_file answers from this folder; obs_module_get_config_path builds paths under
// the other (an empty one makes it answer null).
KELP_STANDIN_API void setModuleDataPath(const QString &path);
KELP_STANDIN_API void setModuleConfigPath(const QString &path);
// Null makes obs_get_version_string answer null.
KELP_STANDIN_API void setVersionString(const char *version);

KELP_STANDIN_API QList<LogEntry> log();
KELP_STANDIN_API QStringList logTexts();

// Whether obs_frontend_add_dock_by_id accepts the next registrations.
KELP_STANDIN_API void setAcceptDocks(bool accept);
KELP_STANDIN_API QWidget *dock(const QString &id);
KELP_STANDIN_API QStringList dockIds();
// Ids in the order obs_frontend_remove_dock was called with them.
KELP_STANDIN_API QStringList removedDockIds();
// Called when a dock is registered or removed, so a host window can show it. Removing deletes the
// widget after the callback, as the frontend would.
KELP_STANDIN_API void
setDockObserver(std::function<void(const QString &id, const QString &title, QWidget *widget)> added,
		std::function<void(const QString &id, QWidget *widget)> removed);

// Locale lookups created by obs_module_load_locale and not yet destroyed.
KELP_STANDIN_API int liveLocaleLookups();
KELP_STANDIN_API int localeLookupsCreated();

} // namespace standin
