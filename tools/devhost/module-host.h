#pragma once

#include <QLibrary>
#include <QString>

#include <cstdint>

struct obs_module;

// Loads the OBS module from its file and drives its exported entry points in the order OBS calls
// them: set_pointer, set_locale and load; unload and free_locale at the end.
class ModuleHost {
public:
	explicit ModuleHost(const QString &path);
	~ModuleHost();

	ModuleHost(const ModuleHost &) = delete;
	ModuleHost &operator=(const ModuleHost &) = delete;

	// False with a reason when the library or an entry point is missing, or the module refuses to
	// load.
	bool load(obs_module *handle, const QString &locale, QString *error);
	// Unloads a loaded module once; later calls do nothing.
	void unload();
	bool isLoaded() const { return loaded; }
	QString description() const;

private:
	using SetPointer = void (*)(obs_module *);
	using SetLocale = void (*)(const char *);
	using FreeLocale = void (*)();
	using Load = bool (*)();
	using Unload = void (*)();
	using Description = const char *(*)();

	// Never unloaded: objects that the module scheduled for deletion may outlive its unload call.
	QLibrary library;
	SetPointer setPointer = nullptr;
	SetLocale setLocale = nullptr;
	FreeLocale freeLocale = nullptr;
	Load moduleLoad = nullptr;
	Unload moduleUnload = nullptr;
	Description moduleDescription = nullptr;
	bool loaded = false;
};
