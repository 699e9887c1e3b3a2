#pragma once

// What the contract table needs from a host beyond the libobs functions it checks: starting and
// stopping it, and what a host sets up and shows. One implementation drives the stand-in, the other
// the real libobs.

#include <QString>
#include <QStringList>

#include <obs-module.h>

namespace backend {

// The one input type registered besides libobs's own; its display name is its id.
inline constexpr char kInputType[] = "kelp_contract_input";
inline constexpr char kProbeModule[] = "kelp-contract-probe";

QString name();
// Whether the back end survives misuse and reports it through settle().
bool reportsMisuse();
// The host as a plug-in meets it when no other plug-in is loaded: besides "scene", "group" and
// kInputType no source type is registered. Module config folders go under configRoot.
bool start(const QString &configRoot, QString *error);
// Shut down; the reason when anything the host allocated was left over.
QString stop();

// A handle as libobs gives a loaded plug-in named kProbeModule whose data folder is dataPath.
obs_module_t *openModule(const QString &dataPath);

// A scene the host holds, as a loaded scene collection does, until settle().
void addScene(const char *name);
// The items of a live scene as "source@x,y", in order.
QStringList sceneItems(const char *sceneName);
// Lines logged since the last call that hold `needle`, as "<level>: <text>".
QStringList takeLog(const QString &needle);

// Marks what exists now as the host's own; settle() reports what outlives it.
void mark();
// Drops the host's scenes and waits for libobs to free what they held. The leftovers since mark(),
// one line each, or the releases the host rejected: empty when every reference was released once.
QStringList settle();

} // namespace backend
