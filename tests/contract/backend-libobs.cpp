// The real libobs, started headless with no plug-in loaded but the probe.

#include "contract-backend.h"

#include <QMutex>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <vector>

#include <obs.hpp>
#include <util/base.h>
#include <util/bmem.h>

namespace {

// libobs logs from its own threads too.
QMutex logLock;
QStringList logLines;
std::vector<obs_scene_t *> scenes;
long marked = 0;
obs_scene_t *warmUp = nullptr;

void captureLog(int level, const char *format, va_list args, void *)
{
	if (level > LOG_INFO)
		return;
	char text[4096];
	std::vsnprintf(text, sizeof text, format, args);
	const QMutexLocker lock(&logLock);
	logLines.append(QStringLiteral("%1: %2").arg(level).arg(QString::fromUtf8(text)));
}

const char *inputName(void *)
{
	return backend::kInputType;
}

void *inputCreate(obs_data_t *, obs_source_t *source)
{
	return source;
}

std::atomic<int> destroyedInputs{0};

// Runs on libobs's destruction thread, before it frees the source itself.
void inputDestroy(void *)
{
	++destroyedInputs;
}

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
	base_set_log_handler(captureLog, nullptr);
	if (!obs_startup("en-US", configRoot.toUtf8().constData(), nullptr)) {
		*error = QStringLiteral("obs_startup failed");
		return false;
	}
	obs_source_info input = {};
	input.id = kInputType;
	input.type = OBS_SOURCE_TYPE_INPUT;
	input.get_name = inputName;
	input.create = inputCreate;
	input.destroy = inputDestroy;
	obs_register_source(&input);

	// The first source, scene, scene item and freed source set up state that libobs keeps until
	// obs_shutdown. Make them once, before any row counts, so what a row leaves behind is its own.
	warmUp = obs_scene_create("warm-up");
	OBSSourceAutoRelease kept = obs_source_create(kInputType, "warm-up input", nullptr, nullptr);
	obs_scene_add(warmUp, kept);
	obs_source_release(obs_source_create(kInputType, "warm-up released", nullptr, nullptr));
	// The destruction thread frees the source just after its type's destroy.
	long last = -1;
	const auto freed = [&last] {
		const long now = bnum_allocs();
		const bool still = destroyedInputs == 1 && now == last;
		last = now;
		return still;
	};
	if (!QTest::qWaitFor(freed, 5000)) {
		*error = QStringLiteral("libobs did not free a released source");
		return false;
	}
	return true;
}

QString backend::stop()
{
	obs_scene_release(warmUp);
	obs_shutdown();
	const long left = bnum_allocs();
	base_set_log_handler(nullptr, nullptr);
	return left ? QStringLiteral("%1 allocation(s) left after obs_shutdown").arg(left) : QString();
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
	const QMutexLocker lock(&logLock);
	const QStringList matching = logLines.filter(needle);
	logLines.clear();
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
	// libobs frees a released source on its destruction thread.
	if (QTest::qWaitFor([] { return bnum_allocs() == marked; }, 5000))
		return {};
	return {QStringLiteral("%1 allocation(s) not freed").arg(bnum_allocs() - marked)};
}
