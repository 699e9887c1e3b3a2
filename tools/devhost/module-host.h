#pragma once

#include <QLibrary>
#include <QString>

#include <cstdint>

struct obs_module;

// The eight functions an OBS module exports.
struct ModuleEntryPoints {
	void (*setPointer)(obs_module *) = nullptr;
	uint32_t (*ver)() = nullptr;
	void (*setLocale)(const char *) = nullptr;
	void (*freeLocale)() = nullptr;
	bool (*getString)(const char *, const char **) = nullptr;
	bool (*load)() = nullptr;
	void (*unload)() = nullptr;
	const char *(*description)() = nullptr;
};

// Loads the OBS module from its file and drives its exported entry points in the order OBS calls
// them: set_pointer, set_locale and load; unload and free_locale at the end.
class ModuleHost {
public:
	explicit ModuleHost(const QString &path);
	~ModuleHost();

	ModuleHost(const ModuleHost &) = delete;
	ModuleHost &operator=(const ModuleHost &) = delete;

	// Loads the library and resolves every entry point; false with a reason when the library or
	// one of them is missing. Done once; load() does it when it was not.
	bool open(QString *error);
	// False with a reason when open() fails or the module refuses to load; the locale is freed
	// again then. A module that failed may be loaded again.
	bool load(obs_module *handle, const QString &locale, QString *error);
	// Unloads a loaded module once; later calls do nothing.
	void unload();
	bool isLoaded() const { return loaded; }
	QString description() const;
	// Null members until open() succeeded.
	const ModuleEntryPoints &entryPoints() const { return entry; }

private:
	// Never unloaded: objects that the module scheduled for deletion may outlive its unload call.
	QLibrary library;
	ModuleEntryPoints entry;
	bool opened = false;
	bool loaded = false;
};
