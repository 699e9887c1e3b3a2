#include "module-host.h"

#include <QByteArray>

ModuleHost::ModuleHost(const QString &path) : library(path) {}

ModuleHost::~ModuleHost()
{
	unload();
}

bool ModuleHost::load(obs_module *handle, const QString &locale, QString *error)
{
	if (!library.load()) {
		*error = library.errorString();
		return false;
	}
	setPointer = reinterpret_cast<SetPointer>(library.resolve("obs_module_set_pointer"));
	setLocale = reinterpret_cast<SetLocale>(library.resolve("obs_module_set_locale"));
	freeLocale = reinterpret_cast<FreeLocale>(library.resolve("obs_module_free_locale"));
	moduleLoad = reinterpret_cast<Load>(library.resolve("obs_module_load"));
	moduleUnload = reinterpret_cast<Unload>(library.resolve("obs_module_unload"));
	moduleDescription = reinterpret_cast<Description>(library.resolve("obs_module_description"));
	if (!setPointer || !setLocale || !freeLocale || !moduleLoad || !moduleUnload || !moduleDescription) {
		*error = QStringLiteral("%1 lacks an OBS module entry point").arg(library.fileName());
		return false;
	}

	setPointer(handle);
	setLocale(locale.toUtf8().constData());
	if (!moduleLoad()) {
		freeLocale();
		*error = QStringLiteral("obs_module_load returned false");
		return false;
	}
	loaded = true;
	return true;
}

void ModuleHost::unload()
{
	if (!loaded)
		return;
	loaded = false;
	moduleUnload();
	freeLocale();
}

QString ModuleHost::description() const
{
	return moduleDescription ? QString::fromUtf8(moduleDescription()) : QString();
}
