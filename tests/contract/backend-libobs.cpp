// The real libobs, started headless with no plug-in loaded but the probe.

#include "contract-backend.h"
#include "libobs-session.h"

#include <vector>

#include <obs.hpp>
#include <util/bmem.h>

namespace {
QStringList logLines;
std::vector<obs_scene_t *> scenes;
long marked = 0;
} // namespace

QString backend::name()
{
	return QStringLiteral("libobs %1").arg(QString::fromUtf8(obs_get_version_string()));
}

bool backend::reportsMisuse()
{
	return false;
}

bool backend::start(const QString &configRoot, QString *error)
{
	return libobs_session::start(configRoot, {kInputType}, error);
}

QString backend::stop()
{
	return libobs_session::stop();
}

obs_module_t *backend::openModule(const QString &dataPath)
{
	obs_module_t *module = nullptr;
	return obs_open_module(&module, KELP_PROBE_MODULE, dataPath.toUtf8().constData()) == MODULE_SUCCESS ? module
													    : nullptr;
}

void backend::addScene(const char *name)
{
	scenes.push_back(obs_scene_create(name));
}

QStringList backend::sceneItems(const char *sceneName)
{
	QStringList items;
	OBSSourceAutoRelease source = obs_get_source_by_name(sceneName);
	const auto describe = [](obs_scene_t *, obs_sceneitem_t *item, void *list) {
		vec2 pos;
		obs_sceneitem_get_pos(item, &pos);
		static_cast<QStringList *>(list)->append(
			QStringLiteral("%1@%2,%3")
				.arg(obs_source_get_name(obs_sceneitem_get_source(item)))
				.arg(double(pos.x))
				.arg(double(pos.y)));
		return true;
	};
	obs_scene_enum_items(obs_scene_from_source(source), describe, &items);
	return items;
}

QStringList backend::takeLog(const QString &needle)
{
	QStringList matching;
	for (const auto &line : libobs_session::takeLog())
		if (line.second.contains(needle))
			matching.append(QStringLiteral("%1: %2").arg(line.first).arg(line.second));
	return matching;
}

void backend::mark()
{
	marked = bnum_allocs();
}

QStringList backend::settle()
{
	for (obs_scene_t *scene : scenes)
		obs_scene_release(scene);
	scenes.clear();
	if (libobs_session::settlesTo(marked))
		return {};
	return {QStringLiteral("%1 allocation(s) not freed").arg(bnum_allocs() - marked)};
}
