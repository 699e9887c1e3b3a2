// The part of the stand-in's control API that the dock test uses, on the real libobs, so the dock's
// Event Goal paths meet libobs's own scenes, settings and references. Only the frontend stays stood
// in. libobs fixes a module's folders when it opens the module, so they are links that follow
// setModuleDataPath and setModuleConfigPath.

#include "libobs-session.h"

#include <frontend-standin.h>
#include <obs-standin.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

#include <obs.hpp>
#include <util/bmem.h>

namespace {

struct Host {
	QTemporaryDir root;
	obs_module_t *module = nullptr;
	std::vector<obs_source_t *> sources; // what the host holds, scenes' sources included
	QList<standin::LogEntry> log;
	long baseline = 0;
};

void stop();

Host &host()
{
	static Host *instance = [] {
		auto *h = new Host;
		QString error;
		QDir(h->root.path()).mkpath(QStringLiteral("config"));
		if (!libobs_session::start(h->root.filePath(QStringLiteral("config")), {"browser_source"}, &error))
			qFatal("%s", qPrintable(error));
		QFile::link(h->root.path(), h->root.filePath(QStringLiteral("data")));
		if (obs_open_module(&h->module, KELP_PROBE_MODULE,
				    h->root.filePath(QStringLiteral("data")).toUtf8().constData()) != MODULE_SUCCESS)
			qFatal("cannot open %s", KELP_PROBE_MODULE);
		// libobs's own threads (the hotkey thread's display connection among them) may still be
		// allocating: count from where they have come to rest.
		for (int i = 0; i < 10; ++i) {
			const long before = bnum_allocs();
			QTest::qWait(300);
			if (bnum_allocs() == before)
				break;
		}
		h->baseline = bnum_allocs();
		qAddPostRoutine(stop);
		return h;
	}();
	return *instance;
}

void relink(const QString &link, const QString &target)
{
	QFile::remove(link);
	if (!QFile::link(target, link))
		qFatal("cannot link %s", qPrintable(link));
}

const QList<standin::LogEntry> &collectLog()
{
	for (const auto &line : libobs_session::takeLog())
		host().log.append({line.first, line.second});
	return host().log;
}

void releaseHostObjects()
{
	for (obs_source_t *source : host().sources)
		obs_source_release(source);
	host().sources.clear();
}

void stop()
{
	releaseHostObjects();
	const QString left = libobs_session::stop();
	if (!left.isEmpty())
		qWarning("%s", qPrintable(left));
	// The host outlives every destructor (it is never deleted), so its folder goes here.
	host().root.remove();
}

QVariantMap toMap(obs_data_t *data)
{
	QVariantMap map;
	for (obs_data_item_t *item = obs_data_first(data); item; obs_data_item_next(&item)) {
		const QString key = QString::fromUtf8(obs_data_item_get_name(item));
		switch (obs_data_item_gettype(item)) {
		case OBS_DATA_STRING:
			map.insert(key, QString::fromUtf8(obs_data_item_get_string(item)));
			break;
		case OBS_DATA_NUMBER:
			map.insert(key, obs_data_item_get_int(item));
			break;
		case OBS_DATA_BOOLEAN:
			map.insert(key, obs_data_item_get_bool(item));
			break;
		default:
			break;
		}
	}
	return map;
}

OBSSourceAutoRelease byName(const QString &name)
{
	return obs_get_source_by_name(name.toUtf8().constData());
}

} // namespace

namespace standin {

void reset()
{
	releaseHostObjects();
	libobs_session::settlesTo(host().baseline);
	resetFrontend();
	collectLog();
	host().log.clear();
	host().baseline = bnum_allocs();
}

obs_module_t *module()
{
	return host().module;
}

void setModuleDataPath(const QString &path)
{
	relink(host().root.filePath(QStringLiteral("data")), path);
}

void setModuleConfigPath(const QString &path)
{
	relink(host().root.filePath(QStringLiteral("config/kelp-contract-probe")), path);
}

QStringList logTexts()
{
	QStringList texts;
	for (const LogEntry &entry : collectLog())
		texts.append(entry.text);
	return texts;
}

void addSource(const QString &name, const QString &typeId, const QVariantMap &settings)
{
	OBSDataAutoRelease data = obs_data_create();
	for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
		const QByteArray key = it.key().toUtf8();
		if (it.value().typeId() == QMetaType::Bool)
			obs_data_set_bool(data, key, it.value().toBool());
		else if (it.value().typeId() == QMetaType::Int || it.value().typeId() == QMetaType::LongLong)
			obs_data_set_int(data, key, it.value().toLongLong());
		else
			obs_data_set_string(data, key, it.value().toString().toUtf8().constData());
	}
	host().sources.push_back(
		obs_source_create(typeId.toUtf8().constData(), name.toUtf8().constData(), data, nullptr));
}

void addScene(const QString &name)
{
	host().sources.push_back(obs_scene_get_source(obs_scene_create(name.toUtf8().constData())));
}

bool setSourceTypeRegistered(const QString &typeId, bool registered)
{
	return registered == (obs_source_get_display_name(typeId.toUtf8().constData()) != nullptr);
}

bool setSceneRefusesAdd(const QString &, bool refuse)
{
	return !refuse;
}

QStringList sourceNames()
{
	QStringList names;
	const auto collect = [](void *list, obs_source_t *source) {
		static_cast<QStringList *>(list)->append(QString::fromUtf8(obs_source_get_name(source)));
		return true;
	};
	obs_enum_scenes(collect, &names);
	obs_enum_sources(collect, &names);
	names.sort();
	return names;
}

QString sourceTypeId(const QString &name)
{
	OBSSourceAutoRelease source = byName(name);
	return source ? QString::fromUtf8(obs_source_get_id(source)) : QString();
}

QVariantMap sourceSettings(const QString &name)
{
	OBSSourceAutoRelease source = byName(name);
	OBSDataAutoRelease settings = source ? obs_source_get_settings(source) : nullptr;
	return toMap(settings);
}

int sourceUpdateCount(const QString &name)
{
	OBSSourceAutoRelease source = byName(name);
	return libobs_session::updates(source);
}

QList<SceneItem> sceneItems(const QString &sceneName)
{
	QList<SceneItem> items;
	OBSSourceAutoRelease source = byName(sceneName);
	const auto collect = [](obs_scene_t *, obs_sceneitem_t *item, void *list) {
		vec2 pos;
		obs_sceneitem_get_pos(item, &pos);
		static_cast<QList<SceneItem> *>(list)->append(
			{QString::fromUtf8(obs_source_get_name(obs_sceneitem_get_source(item))), pos.x, pos.y});
		return true;
	};
	obs_scene_enum_items(obs_scene_from_source(source), collect, &items);
	return items;
}

// The host lets go of what it holds: libobs must then free everything down to the last reset.
QStringList outstandingReferences()
{
	releaseHostObjects();
	if (libobs_session::settlesTo(host().baseline))
		return {};
	return {QStringLiteral("%1 allocation(s) not freed").arg(bnum_allocs() - host().baseline)};
}

} // namespace standin
