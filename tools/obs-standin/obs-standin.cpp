#include "obs-standin.h"

#include "plugin/obs-frontend-compat.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QWidget>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <obs-module.h>
#include <util/base.h>
#include <util/bmem.h>
#include <util/text-lookup.h>

struct obs_module {
	int unused = 0;
};

struct text_lookup {
	QHash<QByteArray, QByteArray> strings;
};

namespace {

struct Dock {
	QString title;
	QPointer<QWidget> widget;
};

struct Host {
	obs_module module;
	QString dataPath;
	QString configPath;
	std::string version = "30.2.3";
	bool hasVersion = true;
	QList<standin::LogEntry> log;
	bool acceptDocks = true;
	std::map<QString, Dock> docks;
	QStringList removedDocks;
	std::function<void(const QString &, const QString &, QWidget *)> dockAdded;
	std::function<void(const QString &, QWidget *)> dockRemoved;
	int liveLookups = 0;
	int lookupsCreated = 0;
};

Host &host()
{
	static Host instance;
	return instance;
}

char *duplicate(const QByteArray &bytes)
{
	char *copy = static_cast<char *>(bmalloc(static_cast<size_t>(bytes.size()) + 1));
	std::memcpy(copy, bytes.constData(), static_cast<size_t>(bytes.size()));
	copy[bytes.size()] = '\0';
	return copy;
}

// The key=value lines of an OBS locale file; quotes around a value are dropped, as OBS does.
void loadLocaleFile(text_lookup *lookup, const QString &path)
{
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly))
		return;
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
}

} // namespace

extern "C" {

void *bmalloc(size_t size)
{
	void *ptr = std::malloc(size ? size : 1);
	if (!ptr)
		std::abort();
	return ptr;
}

void bfree(void *ptr)
{
	std::free(ptr);
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

char *obs_module_get_config_path(obs_module_t *module, const char *file)
{
	if (!module || host().configPath.isEmpty())
		return nullptr;
	return duplicate((host().configPath + QLatin1Char('/') + QString::fromUtf8(file ? file : "")).toUtf8());
}

lookup_t *obs_module_load_locale(obs_module_t *module, const char *default_locale, const char *locale)
{
	if (!module || !default_locale)
		return nullptr;
	auto *lookup = new text_lookup;
	const QString folder = host().dataPath + QStringLiteral("/locale/");
	loadLocaleFile(lookup, folder + QString::fromUtf8(default_locale) + QStringLiteral(".ini"));
	if (locale && std::strcmp(locale, default_locale) != 0)
		loadLocaleFile(lookup, folder + QString::fromUtf8(locale) + QStringLiteral(".ini"));
	++host().liveLookups;
	++host().lookupsCreated;
	return lookup;
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

bool obs_frontend_add_dock_by_id(const char *id, const char *title, void *widget)
{
	Host &h = host();
	const QString key = QString::fromUtf8(id);
	if (!h.acceptDocks || !widget || h.docks.count(key))
		return false;
	auto *dockWidget = static_cast<QWidget *>(widget);
	h.docks[key] = Dock{QString::fromUtf8(title), dockWidget};
	if (h.dockAdded)
		h.dockAdded(key, QString::fromUtf8(title), dockWidget);
	return true;
}

void obs_frontend_remove_dock(const char *id)
{
	Host &h = host();
	const QString key = QString::fromUtf8(id);
	h.removedDocks.append(key);
	const auto found = h.docks.find(key);
	if (found == h.docks.end())
		return;
	QPointer<QWidget> widget = found->second.widget;
	h.docks.erase(found);
	if (h.dockRemoved)
		h.dockRemoved(key, widget);
	delete widget.data();
}

} // extern "C"

namespace standin {

void reset()
{
	Host &h = host();
	for (auto &entry : h.docks)
		delete entry.second.widget.data();
	h.docks.clear();
	h.removedDocks.clear();
	h.log.clear();
	h.acceptDocks = true;
	h.version = "30.2.3";
	h.hasVersion = true;
	h.dockAdded = nullptr;
	h.dockRemoved = nullptr;
	h.lookupsCreated = 0;
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

void setAcceptDocks(bool accept)
{
	host().acceptDocks = accept;
}

QWidget *dock(const QString &id)
{
	const auto found = host().docks.find(id);
	return found == host().docks.end() ? nullptr : found->second.widget.data();
}

QStringList dockIds()
{
	QStringList ids;
	for (const auto &entry : host().docks)
		ids.append(entry.first);
	return ids;
}

QStringList removedDockIds()
{
	return host().removedDocks;
}

void setDockObserver(std::function<void(const QString &, const QString &, QWidget *)> added,
		     std::function<void(const QString &, QWidget *)> removed)
{
	host().dockAdded = std::move(added);
	host().dockRemoved = std::move(removed);
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
