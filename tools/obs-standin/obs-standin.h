#pragma once

// Control side of the libobs stand-in: tests and the dev host set the host up and inspect what
// the module did with it. tests/contract implements the part the dock test uses on the real libobs.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

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

struct SceneItem {
	QString source;
	float x;
	float y;
};

// Back to a fresh host: empty log, no docks, no sources or scenes, default answers. Docks still
// registered are deleted.
KELP_STANDIN_API void reset();

// The handle to pass to obs_module_set_pointer.
KELP_STANDIN_API obs_module_t *module();
// obs_find_module_file answers from this folder; obs_module_get_config_path builds paths under
// the other (an empty one makes it answer null).
KELP_STANDIN_API void setModuleDataPath(const QString &path);
KELP_STANDIN_API void setModuleConfigPath(const QString &path);
// Null makes obs_get_version_string answer null.
KELP_STANDIN_API void setVersionString(const char *version);
// The service origin that the module's stand-in build adopts when it is loaded; empty keeps the
// origin it was built with. Only a load after the call sees it.
KELP_STANDIN_API void setServiceOrigin(const QString &origin);
KELP_STANDIN_API QString serviceOrigin();
// A PEM file of one more certificate authority that the module's stand-in build trusts for HTTPS
// (the simulator's test authority), on top of the system's; empty adds none. Read at load, as the
// origin is.
KELP_STANDIN_API void setTrustedAuthority(const QString &pemFile);
KELP_STANDIN_API QString trustedAuthority();

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

// Called after anything a host window shows has changed (the log, sources and their settings,
// scenes and their items), so the window can redraw instead of polling. It runs inside the libobs
// call that made the change: defer any real work.
KELP_STANDIN_API void setChangeObserver(std::function<void()> changed);

// Sources and scenes that the host itself holds, as a scene collection would. Settings values
// become string, int (any integer type) or bool members.
KELP_STANDIN_API void addSource(const QString &name, const QString &typeId, const QVariantMap &settings = {});
KELP_STANDIN_API void addScene(const QString &name);
// What obs_frontend_get_current_scene answers: the live source of that name (a scene or not), or
// null for an empty or unknown name.
KELP_STANDIN_API void setCurrentScene(const QString &name);
// Registers a source type or takes it away, as loading a plug-in or leaving it out would. Fresh
// hosts have "scene", "group" and "browser_source". For a type that is not registered,
// obs_source_get_display_name answers null and obs_source_create a placeholder that never renders.
// False when the host cannot do it (the real libobs never forgets a type).
KELP_STANDIN_API bool setSourceTypeRegistered(const QString &typeId, bool registered);
// Makes obs_scene_add on that scene answer null; false when the host cannot (the real libobs).
KELP_STANDIN_API bool setSceneRefusesAdd(const QString &sceneName, bool refuse);

// Live sources (scenes included) in creation order; the settings and type of the first live
// source of a name (empty when there is none).
KELP_STANDIN_API QStringList sourceNames();
KELP_STANDIN_API QString sourceTypeId(const QString &name);
KELP_STANDIN_API QVariantMap sourceSettings(const QString &name);
// How often obs_source_update was applied to the source.
KELP_STANDIN_API int sourceUpdateCount(const QString &name);
KELP_STANDIN_API QList<SceneItem> sceneItems(const QString &sceneName);

// One line for every source, scene or settings reference the module obtained and has not
// released, and for every release or use of an object it no longer held. Empty when clean.
KELP_STANDIN_API QStringList outstandingReferences();

// Locale lookups created by obs_module_load_locale and not yet destroyed.
KELP_STANDIN_API int liveLocaleLookups();
KELP_STANDIN_API int localeLookupsCreated();

} // namespace standin
