#include "libobs-session.h"

#include <QHash>
#include <QMutex>
#include <QTest>

#include <atomic>
#include <cstdio>

#include <obs.hpp>
#include <util/base.h>
#include <util/bmem.h>

namespace {

// libobs logs, creates and destroys from its own threads too.
QMutex lock;
QList<QPair<int, QString>> lines;
QByteArrayList types;
QHash<obs_source_t *, int> updateCounts;
std::atomic<int> destroyedInputs{0};
obs_scene_t *warmUp = nullptr;

void captureLog(int level, const char *format, va_list args, void *)
{
	if (level > LOG_INFO)
		return;
	char text[4096];
	std::vsnprintf(text, sizeof text, format, args);
	const QMutexLocker locker(&lock);
	lines.append({level, QString::fromUtf8(text)});
}

const char *inputName(void *typeData)
{
	return static_cast<const char *>(typeData);
}

void *inputCreate(obs_data_t *, obs_source_t *source)
{
	const QMutexLocker locker(&lock);
	updateCounts.insert(source, 0);
	return source;
}

// Runs on libobs's destruction thread, just before it frees the source itself.
void inputDestroy(void *source)
{
	const QMutexLocker locker(&lock);
	updateCounts.remove(static_cast<obs_source_t *>(source));
	++destroyedInputs;
}

void inputUpdate(void *source, obs_data_t *)
{
	const QMutexLocker locker(&lock);
	++updateCounts[static_cast<obs_source_t *>(source)];
}

} // namespace

bool libobs_session::start(const QString &configRoot, const QByteArrayList &inputTypes, QString *error)
{
	base_set_log_handler(captureLog, nullptr);
	if (!obs_startup("en-US", configRoot.toUtf8().constData(), nullptr)) {
		*error = QStringLiteral("obs_startup failed");
		return false;
	}
	types = inputTypes;
	for (const QByteArray &id : types) {
		obs_source_info input = {};
		input.id = id.constData();
		input.type = OBS_SOURCE_TYPE_INPUT;
		input.type_data = const_cast<char *>(id.constData());
		input.get_name = inputName;
		input.create = inputCreate;
		input.destroy = inputDestroy;
		input.update = inputUpdate;
		obs_register_source(&input);
	}

	// The first source, scene, scene item and freed source set up state that libobs keeps until
	// obs_shutdown: make them before anything counts.
	warmUp = obs_scene_create("warm-up");
	OBSSourceAutoRelease kept = obs_source_create(types.value(0).constData(), "warm-up input", nullptr, nullptr);
	obs_scene_add(warmUp, kept);
	obs_source_release(obs_source_create(types.value(0).constData(), "warm-up released", nullptr, nullptr));
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
	takeLog();
	return true;
}

QString libobs_session::stop()
{
	// A scene dies on libobs's destruction thread, and obs_shutdown frees the hotkeys its items still
	// unregister there (libobs aborts now and then): let the warm-up scene and its input go first.
	const int destroyedBefore = destroyedInputs;
	obs_scene_release(warmUp);
	long last = -1;
	const bool gone = QTest::qWaitFor(
		[&] {
			const long now = bnum_allocs();
			const bool still = destroyedInputs > destroyedBefore && now == last;
			last = now;
			return still;
		},
		5000);
	if (!gone)
		qWarning("the warm-up scene was not destroyed before obs_shutdown");
	obs_shutdown();
	const long left = bnum_allocs();
	base_set_log_handler(nullptr, nullptr);
	return left ? QStringLiteral("%1 allocation(s) left after obs_shutdown").arg(left) : QString();
}

QList<QPair<int, QString>> libobs_session::takeLog()
{
	const QMutexLocker locker(&lock);
	return std::exchange(lines, {});
}

int libobs_session::updates(obs_source_t *source)
{
	const QMutexLocker locker(&lock);
	return updateCounts.value(source);
}

bool libobs_session::settlesTo(long count)
{
	return QTest::qWaitFor([count] { return bnum_allocs() == count; }, 5000);
}
