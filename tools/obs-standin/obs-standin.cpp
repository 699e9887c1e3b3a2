#include "obs-standin.h"

#include "frontend-standin.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <obs-module.h>
#include <graphics/vec2.h>
#include <util/base.h>
#include <util/bmem.h>
#include <util/text-lookup.h>

struct obs_module {
	int unused = 0;
};

// Reference-counted host objects. `refs` is every reference; `hostRefs` the ones the host itself
// holds (a test's setup, a scene item, a source's own settings). The difference is what the module
// obtained and still owes a release for. Objects are never freed before reset(), so a release too
// many is reported instead of touching freed memory.
struct obs_data {
	struct Value {
		enum Type { String, Int, Bool } type = String;
		std::string text;
		long long number = 0;
		bool flag = false;
	};
	std::map<std::string, Value> values;
	std::string label;
	int refs = 1;
	int hostRefs = 0;
};

struct obs_scene_item {
	obs_scene *scene = nullptr;
	obs_source *source = nullptr;
	vec2 pos{};
};

struct obs_scene {
	obs_source *source = nullptr;
	std::vector<obs_scene_item *> items;
	bool refuseAdd = false;
};

struct obs_source {
	std::string id;
	std::string name;
	obs_data *settings = nullptr;
	obs_scene *scene = nullptr;
	int refs = 1;
	int hostRefs = 0;
	int updates = 0;
	bool alive = true;
};

struct text_lookup {
	QHash<QByteArray, QByteArray> strings;
};

namespace {

std::map<std::string, std::string> defaultSourceTypes()
{
	return {{"scene", "Scene"}, {"group", "Group"}, {"browser_source", "Browser"}};
}

struct Host {
	obs_module module;
	QString dataPath;
	QString configPath;
	std::string version = "30.2.3";
	bool hasVersion = true;
	QList<standin::LogEntry> log;
	std::function<void()> changed;
	int liveLookups = 0;
	int lookupsCreated = 0;

	// Every object handed out since the last reset, in creation order; live ones are found by name.
	std::vector<std::unique_ptr<obs_source>> sources;
	std::vector<std::unique_ptr<obs_scene>> scenes;
	std::vector<std::unique_ptr<obs_scene_item>> items;
	std::vector<std::unique_ptr<obs_data>> data;
	std::set<const void *> known;
	QStringList referenceErrors;
	// Source types a loaded plug-in (or libobs itself) registered, with their display names.
	std::map<std::string, std::string> sourceTypes = defaultSourceTypes();
	QString serviceOrigin;
	QString trustedAuthority;
};

// Blocks from bmalloc not yet given to bfree, as libobs counts them.
std::atomic<long> liveBlocks{0};

Host &host()
{
	static Host instance;
	return instance;
}

void notifyChanged()
{
	if (host().changed)
		host().changed();
}

char *duplicate(const QByteArray &bytes)
{
	char *copy = static_cast<char *>(bmalloc(static_cast<size_t>(bytes.size()) + 1));
	std::memcpy(copy, bytes.constData(), static_cast<size_t>(bytes.size()));
	copy[bytes.size()] = '\0';
	return copy;
}

// The key=value lines of an OBS locale file; quotes around a value are dropped, as OBS does. False
// when there is no such file.
bool loadLocaleFile(text_lookup *lookup, const QString &path)
{
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly))
		return false;
	const QList<QByteArray> lines = file.readAll().split('\n');
	for (QByteArray line : lines) {
		line = line.trimmed();
		const qsizetype eq = line.indexOf('=');
		if (line.isEmpty() || line.startsWith('#') || line.startsWith(';') || eq <= 0)
			continue;
		QByteArray value = line.mid(eq + 1).trimmed();
		if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
			value = value.mid(1, value.size() - 2);
		lookup->strings.insert(line.left(eq).trimmed(), value);
	}
	return true;
}

void referenceError(const QString &text)
{
	host().referenceErrors.append(text);
}

QString describe(const obs_source *source)
{
	return QStringLiteral("%1 \"%2\"")
		.arg(source->scene ? QStringLiteral("scene") : QStringLiteral("source"),
		     QString::fromStdString(source->name));
}

QString describe(const obs_data *data)
{
	return QStringLiteral("settings object (%1)").arg(QString::fromStdString(data->label));
}

bool isKnown(const void *object)
{
	return object && host().known.count(object);
}

obs_data *newData(const std::string &label, bool hostOwned)
{
	Host &h = host();
	h.data.push_back(std::make_unique<obs_data>());
	obs_data *data = h.data.back().get();
	data->label = label;
	data->hostRefs = hostOwned ? 1 : 0;
	h.known.insert(data);
	return data;
}

// A release by the host of a reference it holds itself.
void releaseHostRef(obs_data *data)
{
	--data->hostRefs;
	--data->refs;
}

void destroySource(obs_source *source)
{
	source->alive = false;
	if (source->settings)
		releaseHostRef(source->settings);
	notifyChanged();
}

void releaseHostRef(obs_source *source)
{
	--source->hostRefs;
	if (--source->refs == 0)
		destroySource(source);
}

obs_source *newSource(const std::string &id, const std::string &name, obs_data *settings, bool hostOwned)
{
	Host &h = host();
	h.sources.push_back(std::make_unique<obs_source>());
	obs_source *source = h.sources.back().get();
	source->id = id;
	source->name = name;
	source->hostRefs = hostOwned ? 1 : 0;
	source->settings = settings;
	++settings->refs;
	++settings->hostRefs;
	h.known.insert(source);
	notifyChanged();
	return source;
}

obs_source *liveSource(const QString &name)
{
	const std::string key = name.toStdString();
	for (const auto &source : host().sources)
		if (source->alive && source->name == key)
			return source.get();
	return nullptr;
}

// A source the module passes in: null passes through, anything released or foreign is reported.
bool usable(const obs_source *source, const char *call)
{
	if (!source)
		return false;
	if (!isKnown(source)) {
		referenceError(QStringLiteral("%1 on an unknown source pointer").arg(QLatin1String(call)));
		return false;
	}
	if (!source->alive) {
		referenceError(QStringLiteral("%1 on released %2").arg(QLatin1String(call), describe(source)));
		return false;
	}
	return true;
}

bool usable(const obs_data *data, const char *call)
{
	if (!data)
		return false;
	if (!isKnown(data)) {
		referenceError(QStringLiteral("%1 on an unknown settings pointer").arg(QLatin1String(call)));
		return false;
	}
	if (data->refs <= 0) {
		referenceError(QStringLiteral("%1 on released %2").arg(QLatin1String(call), describe(data)));
		return false;
	}
	return true;
}

const obs_data::Value *findValue(obs_data *data, const char *name, obs_data::Value::Type type, const char *call)
{
	if (!usable(data, call) || !name)
		return nullptr;
	const auto found = data->values.find(name);
	return found != data->values.end() && found->second.type == type ? &found->second : nullptr;
}

void setValue(obs_data *data, const char *name, obs_data::Value value, const char *call)
{
	if (usable(data, call) && name) {
		data->values[name] = std::move(value);
		notifyChanged();
	}
}

obs_data::Value toValue(const QVariant &value)
{
	obs_data::Value converted;
	switch (value.typeId()) {
	case QMetaType::Bool:
		converted.type = obs_data::Value::Bool;
		converted.flag = value.toBool();
		break;
	case QMetaType::Int:
	case QMetaType::UInt:
	case QMetaType::LongLong:
	case QMetaType::ULongLong:
		converted.type = obs_data::Value::Int;
		converted.number = value.toLongLong();
		break;
	default:
		converted.type = obs_data::Value::String;
		converted.text = value.toString().toStdString();
		break;
	}
	return converted;
}

} // namespace

extern "C" {

void *bmalloc(size_t size)
{
	void *ptr = std::malloc(size ? size : 1);
	if (!ptr)
		std::abort();
	++liveBlocks;
	return ptr;
}

void bfree(void *ptr)
{
	if (ptr)
		--liveBlocks;
	std::free(ptr);
}

long bnum_allocs(void)
{
	return liveBlocks;
}

void blogva(int log_level, const char *format, va_list args)
{
	va_list copy;
	va_copy(copy, args);
	const int length = std::vsnprintf(nullptr, 0, format, copy);
	va_end(copy);
	QByteArray text(length > 0 ? length : 0, '\0');
	if (length > 0)
		std::vsnprintf(text.data(), static_cast<size_t>(length) + 1, format, args);
	host().log.append({log_level, QString::fromUtf8(text)});
	notifyChanged();
}

void blog(int log_level, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	blogva(log_level, format, args);
	va_end(args);
}

const char *obs_get_version_string(void)
{
	return host().hasVersion ? host().version.c_str() : nullptr;
}

char *obs_find_module_file(obs_module_t *module, const char *file)
{
	if (!module || !file || host().dataPath.isEmpty())
		return nullptr;
	const QString path = host().dataPath + QLatin1Char('/') + QString::fromUtf8(file);
	if (!QFileInfo::exists(path))
		return nullptr;
	return duplicate(path.toUtf8());
}

// libobs dereferences the module: without one it crashes, so a call without one is reported.
char *obs_module_get_config_path(obs_module_t *module, const char *file)
{
	if (!module) {
		referenceError(QStringLiteral("obs_module_get_config_path without a module"));
		return nullptr;
	}
	if (host().configPath.isEmpty())
		return nullptr;
	return duplicate((host().configPath + QLatin1Char('/') + QString::fromUtf8(file ? file : "")).toUtf8());
}

// No lookup without the default locale's file; a locale without a file of its own falls back to it.
lookup_t *obs_module_load_locale(obs_module_t *module, const char *default_locale, const char *locale)
{
	if (!module || !default_locale || !locale)
		return nullptr;
	auto lookup = std::make_unique<text_lookup>();
	const QString folder = host().dataPath + QStringLiteral("/locale/");
	if (!loadLocaleFile(lookup.get(), folder + QString::fromUtf8(default_locale) + QStringLiteral(".ini")))
		return nullptr;
	if (std::strcmp(locale, default_locale) != 0)
		loadLocaleFile(lookup.get(), folder + QString::fromUtf8(locale) + QStringLiteral(".ini"));
	++host().liveLookups;
	++host().lookupsCreated;
	return lookup.release();
}

void text_lookup_destroy(lookup_t *lookup)
{
	if (!lookup)
		return;
	--host().liveLookups;
	delete lookup;
}

bool text_lookup_getstr(lookup_t *lookup, const char *lookup_val, const char **out)
{
	if (!lookup || !lookup_val || !out)
		return false;
	const auto found = lookup->strings.constFind(QByteArray(lookup_val));
	if (found == lookup->strings.constEnd())
		return false;
	*out = found->constData();
	return true;
}

obs_data_t *obs_data_create()
{
	return newData("obs_data_create #" + std::to_string(host().data.size() + 1), false);
}

void obs_data_addref(obs_data_t *data)
{
	if (usable(data, "obs_data_addref"))
		++data->refs;
}

void obs_data_release(obs_data_t *data)
{
	if (!data)
		return;
	if (!isKnown(data)) {
		referenceError(QStringLiteral("obs_data_release on an unknown settings pointer"));
		return;
	}
	if (data->refs <= data->hostRefs) {
		referenceError(QStringLiteral("%1 released once more than obtained").arg(describe(data)));
		return;
	}
	--data->refs;
}

void obs_data_set_string(obs_data_t *data, const char *name, const char *val)
{
	obs_data::Value value;
	value.type = obs_data::Value::String;
	value.text = val ? val : "";
	setValue(data, name, std::move(value), "obs_data_set_string");
}

void obs_data_set_int(obs_data_t *data, const char *name, long long val)
{
	obs_data::Value value;
	value.type = obs_data::Value::Int;
	value.number = val;
	setValue(data, name, std::move(value), "obs_data_set_int");
}

void obs_data_set_bool(obs_data_t *data, const char *name, bool val)
{
	obs_data::Value value;
	value.type = obs_data::Value::Bool;
	value.flag = val;
	setValue(data, name, std::move(value), "obs_data_set_bool");
}

// As in libobs, a missing member or one of another type reads as the type's empty value.
const char *obs_data_get_string(obs_data_t *data, const char *name)
{
	const obs_data::Value *value = findValue(data, name, obs_data::Value::String, "obs_data_get_string");
	return value ? value->text.c_str() : "";
}

long long obs_data_get_int(obs_data_t *data, const char *name)
{
	const obs_data::Value *value = findValue(data, name, obs_data::Value::Int, "obs_data_get_int");
	return value ? value->number : 0;
}

bool obs_data_get_bool(obs_data_t *data, const char *name)
{
	const obs_data::Value *value = findValue(data, name, obs_data::Value::Bool, "obs_data_get_bool");
	return value ? value->flag : false;
}

obs_source_t *obs_get_source_by_name(const char *name)
{
	obs_source *source = name ? liveSource(QString::fromUtf8(name)) : nullptr;
	if (source)
		++source->refs;
	return source;
}

obs_source_t *obs_source_get_ref(obs_source_t *source)
{
	if (!usable(source, "obs_source_get_ref"))
		return nullptr;
	++source->refs;
	return source;
}

const char *obs_source_get_id(const obs_source_t *source)
{
	return usable(source, "obs_source_get_id") ? source->id.c_str() : nullptr;
}

const char *obs_source_get_name(const obs_source_t *source)
{
	return usable(source, "obs_source_get_name") ? source->name.c_str() : nullptr;
}

// A new reference to the source's own settings object, as libobs hands out.
obs_data_t *obs_source_get_settings(const obs_source_t *source)
{
	if (!usable(source, "obs_source_get_settings"))
		return nullptr;
	++source->settings->refs;
	return source->settings;
}

// Null for a type no plug-in registered.
const char *obs_source_get_display_name(const char *id)
{
	const auto found = id ? host().sourceTypes.find(id) : host().sourceTypes.end();
	return found == host().sourceTypes.end() ? nullptr : found->second.c_str();
}

// libobs keeps the caller's settings object as the source's own (a new reference to it). A type no
// plug-in registered does not fail: it gets a placeholder source that never renders.
obs_source_t *obs_source_create(const char *id, const char *name, obs_data_t *settings, obs_data_t *hotkey_data)
{
	(void)hotkey_data;
	if (!id)
		return nullptr;
	if (!obs_source_get_display_name(id))
		blog(LOG_ERROR, "Source ID '%s' not found", id);
	if (settings && !usable(settings, "obs_source_create"))
		return nullptr;
	obs_data *own = settings ? settings : newData(std::string("settings of ") + (name ? name : ""), false);
	obs_source *source = newSource(id, name ? name : "", own, false);
	if (!settings)
		obs_data_release(own);
	return source;
}

// Merges the given members into the source's settings; members not given keep their values.
void obs_source_update(obs_source_t *source, obs_data_t *settings)
{
	if (!usable(source, "obs_source_update") || !usable(settings, "obs_source_update"))
		return;
	for (const auto &entry : settings->values)
		source->settings->values[entry.first] = entry.second;
	++source->updates;
	notifyChanged();
}

void obs_source_release(obs_source_t *source)
{
	if (!source)
		return;
	if (!isKnown(source)) {
		referenceError(QStringLiteral("obs_source_release on an unknown source pointer"));
		return;
	}
	if (source->refs <= source->hostRefs) {
		referenceError(QStringLiteral("%1 released once more than obtained").arg(describe(source)));
		return;
	}
	if (--source->refs == 0)
		destroySource(source);
}

// No new reference: the scene lives as long as its source.
obs_scene_t *obs_scene_from_source(const obs_source_t *source)
{
	return usable(source, "obs_scene_from_source") ? source->scene : nullptr;
}

// The item belongs to the scene and holds its own reference to the source; the caller gets none.
obs_sceneitem_t *obs_scene_add(obs_scene_t *scene, obs_source_t *source)
{
	if (!scene || !isKnown(scene) || !usable(scene->source, "obs_scene_add") || !usable(source, "obs_scene_add"))
		return nullptr;
	if (scene->refuseAdd || source == scene->source)
		return nullptr;
	Host &h = host();
	h.items.push_back(std::make_unique<obs_scene_item>());
	obs_scene_item *item = h.items.back().get();
	item->scene = scene;
	item->source = source;
	++source->refs;
	++source->hostRefs;
	scene->items.push_back(item);
	h.known.insert(item);
	notifyChanged();
	return item;
}

void obs_sceneitem_set_pos(obs_sceneitem_t *item, const struct vec2 *pos)
{
	if (item && isKnown(item) && pos) {
		item->pos = *pos;
		notifyChanged();
	}
}

} // extern "C"

namespace standin {

void reset()
{
	Host &h = host();
	resetFrontend();
	h.log.clear();
	h.version = "30.2.3";
	h.hasVersion = true;
	h.changed = nullptr;
	h.lookupsCreated = 0;
	h.items.clear();
	h.scenes.clear();
	h.sources.clear();
	h.data.clear();
	h.known.clear();
	h.referenceErrors.clear();
	h.sourceTypes = defaultSourceTypes();
	h.serviceOrigin.clear();
	h.trustedAuthority.clear();
}

obs_module_t *module()
{
	return &host().module;
}

void setModuleDataPath(const QString &path)
{
	host().dataPath = path;
}

void setModuleConfigPath(const QString &path)
{
	host().configPath = path;
}

void setVersionString(const char *version)
{
	host().hasVersion = version != nullptr;
	host().version = version ? version : "";
}

void setServiceOrigin(const QString &origin)
{
	host().serviceOrigin = origin;
}

QString serviceOrigin()
{
	return host().serviceOrigin;
}

void setTrustedAuthority(const QString &pemFile)
{
	host().trustedAuthority = pemFile;
}

QString trustedAuthority()
{
	return host().trustedAuthority;
}

QList<LogEntry> log()
{
	return host().log;
}

QStringList logTexts()
{
	QStringList texts;
	for (const LogEntry &entry : host().log)
		texts.append(entry.text);
	return texts;
}

void setChangeObserver(std::function<void()> changed)
{
	host().changed = std::move(changed);
}

void addSource(const QString &name, const QString &typeId, const QVariantMap &settings)
{
	obs_data *data = newData("settings of " + name.toStdString(), true);
	for (auto it = settings.cbegin(); it != settings.cend(); ++it)
		data->values[it.key().toStdString()] = toValue(it.value());
	newSource(typeId.toStdString(), name.toStdString(), data, true);
	releaseHostRef(data);
}

void addScene(const QString &name)
{
	Host &h = host();
	addSource(name, QStringLiteral("scene"));
	h.scenes.push_back(std::make_unique<obs_scene>());
	obs_scene *scene = h.scenes.back().get();
	scene->source = h.sources.back().get();
	scene->source->scene = scene;
	h.known.insert(scene);
}

bool setSourceTypeRegistered(const QString &typeId, bool registered)
{
	const std::string id = typeId.toStdString();
	if (!registered)
		host().sourceTypes.erase(id);
	else if (!host().sourceTypes.count(id))
		host().sourceTypes[id] = id;
	return true;
}

bool setSceneRefusesAdd(const QString &sceneName, bool refuse)
{
	obs_source *source = liveSource(sceneName);
	if (source && source->scene)
		source->scene->refuseAdd = refuse;
	return true;
}

QStringList sourceNames()
{
	QStringList names;
	for (const auto &source : host().sources)
		if (source->alive)
			names.append(QString::fromStdString(source->name));
	return names;
}

QString sourceTypeId(const QString &name)
{
	const obs_source *source = liveSource(name);
	return source ? QString::fromStdString(source->id) : QString();
}

QVariantMap sourceSettings(const QString &name)
{
	QVariantMap settings;
	const obs_source *source = liveSource(name);
	if (!source)
		return settings;
	for (const auto &entry : source->settings->values) {
		const obs_data::Value &value = entry.second;
		const QString key = QString::fromStdString(entry.first);
		if (value.type == obs_data::Value::String)
			settings.insert(key, QString::fromStdString(value.text));
		else if (value.type == obs_data::Value::Int)
			settings.insert(key, value.number);
		else
			settings.insert(key, value.flag);
	}
	return settings;
}

int sourceUpdateCount(const QString &name)
{
	const obs_source *source = liveSource(name);
	return source ? source->updates : 0;
}

QList<SceneItem> sceneItems(const QString &sceneName)
{
	QList<SceneItem> items;
	const obs_source *source = liveSource(sceneName);
	if (!source || !source->scene)
		return items;
	for (const obs_scene_item *item : source->scene->items)
		items.append({QString::fromStdString(item->source->name), item->pos.x, item->pos.y});
	return items;
}

QStringList outstandingReferences()
{
	const Host &h = host();
	QStringList outstanding = h.referenceErrors;
	for (const auto &source : h.sources)
		if (source->refs > source->hostRefs)
			outstanding.append(QStringLiteral("%1: %2 reference(s) not released")
						   .arg(describe(source.get()))
						   .arg(source->refs - source->hostRefs));
	for (const auto &data : h.data)
		if (data->refs > data->hostRefs)
			outstanding.append(QStringLiteral("%1: %2 reference(s) not released")
						   .arg(describe(data.get()))
						   .arg(data->refs - data->hostRefs));
	return outstanding;
}

int liveLocaleLookups()
{
	return host().liveLookups;
}

int localeLookupsCreated()
{
	return host().lookupsCreated;
}

} // namespace standin
