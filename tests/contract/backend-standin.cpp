// The stand-in, set up as the real libobs is: no Browser Source type, the probe module's folders.

#include "contract-backend.h"

#include <obs-standin.h>

#include <util/bmem.h>

namespace {
QString configFolder;
qsizetype logSeen = 0;
long markedBlocks = 0;
int markedLookups = 0;

void prepare()
{
	standin::setSourceTypeRegistered(QStringLiteral("browser_source"), false);
	standin::setSourceTypeRegistered(QString::fromLatin1(backend::kInputType), true);
	logSeen = 0;
}
} // namespace

QString backend::name()
{
	return QStringLiteral("stand-in");
}

bool backend::reportsMisuse()
{
	return true;
}

bool backend::start(const QString &configRoot, QString *)
{
	configFolder = configRoot;
	standin::reset();
	prepare();
	return true;
}

QString backend::stop()
{
	standin::reset();
	return {};
}

obs_module_t *backend::openModule(const QString &dataPath)
{
	standin::setModuleDataPath(dataPath);
	standin::setModuleConfigPath(configFolder + QLatin1Char('/') + QLatin1String(kProbeModule));
	return standin::module();
}

void backend::addScene(const char *name)
{
	standin::addScene(QString::fromUtf8(name));
}

QStringList backend::sceneItems(const char *sceneName)
{
	QStringList items;
	for (const standin::SceneItem &item : standin::sceneItems(QString::fromUtf8(sceneName)))
		items.append(QStringLiteral("%1@%2,%3").arg(item.source).arg(double(item.x)).arg(double(item.y)));
	return items;
}

QStringList backend::takeLog(const QString &needle)
{
	QStringList matching;
	const QList<standin::LogEntry> log = standin::log();
	for (qsizetype i = logSeen; i < log.size(); ++i)
		if (log[i].text.contains(needle))
			matching.append(QStringLiteral("%1: %2").arg(log[i].level).arg(log[i].text));
	logSeen = log.size();
	return matching;
}

void backend::mark()
{
	markedBlocks = bnum_allocs();
	markedLookups = standin::liveLocaleLookups();
}

QStringList backend::settle()
{
	QStringList left = standin::outstandingReferences();
	if (bnum_allocs() != markedBlocks)
		left.append(QStringLiteral("%1 allocation(s) not freed").arg(bnum_allocs() - markedBlocks));
	if (standin::liveLocaleLookups() != markedLookups)
		left.append(QStringLiteral("%1 locale lookup(s) not destroyed")
				    .arg(standin::liveLocaleLookups() - markedLookups));
	standin::reset();
	prepare();
	return left;
}
