#include "frontend-standin.h"

#include "obs-standin.h"

#include "plugin/obs-frontend-compat.h"

#include <QPointer>
#include <QWidget>

#include <map>

#include <obs-frontend-api.h>

namespace {

struct Dock {
	QString title;
	QPointer<QWidget> widget;
};

struct Frontend {
	bool acceptDocks = true;
	std::map<QString, Dock> docks;
	QStringList removedDocks;
	std::function<void(const QString &, const QString &, QWidget *)> dockAdded;
	std::function<void(const QString &, QWidget *)> dockRemoved;
	QString currentScene;
};

Frontend &frontend()
{
	static Frontend instance;
	return instance;
}

} // namespace

extern "C" {

bool obs_frontend_add_dock_by_id(const char *id, const char *title, void *widget)
{
	Frontend &f = frontend();
	const QString key = QString::fromUtf8(id);
	if (!f.acceptDocks || !widget || f.docks.count(key))
		return false;
	auto *dockWidget = static_cast<QWidget *>(widget);
	f.docks[key] = Dock{QString::fromUtf8(title), dockWidget};
	if (f.dockAdded)
		f.dockAdded(key, QString::fromUtf8(title), dockWidget);
	return true;
}

void obs_frontend_remove_dock(const char *id)
{
	Frontend &f = frontend();
	const QString key = QString::fromUtf8(id);
	f.removedDocks.append(key);
	const auto found = f.docks.find(key);
	if (found == f.docks.end())
		return;
	QPointer<QWidget> widget = found->second.widget;
	f.docks.erase(found);
	if (f.dockRemoved)
		f.dockRemoved(key, widget);
	delete widget.data();
}

// A new reference to the current scene's source, or null when there is none.
obs_source_t *obs_frontend_get_current_scene(void)
{
	const QString &name = frontend().currentScene;
	return name.isEmpty() ? nullptr : obs_get_source_by_name(name.toUtf8().constData());
}

} // extern "C"

namespace standin {

void resetFrontend()
{
	Frontend &f = frontend();
	for (auto &entry : f.docks)
		delete entry.second.widget.data();
	f = Frontend();
}

void setAcceptDocks(bool accept)
{
	frontend().acceptDocks = accept;
}

QWidget *dock(const QString &id)
{
	const auto found = frontend().docks.find(id);
	return found == frontend().docks.end() ? nullptr : found->second.widget.data();
}

QStringList dockIds()
{
	QStringList ids;
	for (const auto &entry : frontend().docks)
		ids.append(entry.first);
	return ids;
}

QStringList removedDockIds()
{
	return frontend().removedDocks;
}

void setDockObserver(std::function<void(const QString &, const QString &, QWidget *)> added,
		     std::function<void(const QString &, QWidget *)> removed)
{
	frontend().dockAdded = std::move(added);
	frontend().dockRemoved = std::move(removed);
}

void setCurrentScene(const QString &name)
{
	frontend().currentScene = name;
}

} // namespace standin
