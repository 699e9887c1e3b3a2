#include "module-host.h"

#include <QByteArray>

namespace {
template <typename Function>
bool resolve(QLibrary &library, const char *name, Function *out)
{
	*out = reinterpret_cast<Function>(library.resolve(name));
	return *out != nullptr;
}
} // namespace

ModuleHost::ModuleHost(const QString &path) : library(path) {}

ModuleHost::~ModuleHost()
{
	unload();
}

bool ModuleHost::open(QString *error)
{
	if (opened)
		return true;
	if (!library.load()) {
		*error = library.errorString();
		return false;
	}
	ModuleEntryPoints found;
	if (!resolve(library, "obs_module_set_pointer", &found.setPointer) ||
	    !resolve(library, "obs_module_ver", &found.ver) ||
	    !resolve(library, "obs_module_set_locale", &found.setLocale) ||
	    !resolve(library, "obs_module_free_locale", &found.freeLocale) ||
	    !resolve(library, "obs_module_get_string", &found.getString) ||
	    !resolve(library, "obs_module_load", &found.load) ||
	    !resolve(library, "obs_module_unload", &found.unload) ||
	    !resolve(library, "obs_module_description", &found.description)) {
		*error = QStringLiteral("%1 lacks an OBS module entry point").arg(library.fileName());
		return false;
	}
	entry = found;
	opened = true;
	return true;
}

bool ModuleHost::load(obs_module *handle, const QString &locale, QString *error)
{
	if (loaded)
		return true;
	if (!open(error))
		return false;
	entry.setPointer(handle);
	entry.setLocale(locale.toUtf8().constData());
	if (!entry.load()) {
		entry.freeLocale();
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
	entry.unload();
	entry.freeLocale();
}

QString ModuleHost::description() const
{
	return entry.description ? QString::fromUtf8(entry.description()) : QString();
}
