#include "dock/event-goal-source.h"

#include "dock/kelp-dock.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cmath>

#include <graphics/vec2.h>
#include <obs-frontend-api.h>

namespace {
const char kBrowserSourceId[] = "browser_source";
const char kLocalName[] = "KELP Event Goal (Local)";
const char kPlainName[] = "KELP Event Goal";
constexpr int kMaxReportedUrl = 120;
constexpr int kWidth = 1000;
constexpr int kInitialHeight = 1600;
constexpr int kMinHeight = 1600;
constexpr int kMaxHeight = 12000;
// The layout content at which the height reaches its maximum (5500 × 2 + 1000 = 12000).
constexpr double kMaxContent = 5500;
constexpr double kMinContent = 300;

QString numberedName(qint64 n)
{
	return QStringLiteral("KELP Event Goal (Local %1)").arg(n);
}

QString settingsUrl(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	const char *url = settings ? obs_data_get_string(settings, "url") : nullptr;
	return url ? QString::fromUtf8(url) : QString();
}

// Members that point the page at a runtime; both the install and the runtime refresh write them.
void writeRuntimeSettings(obs_data_t *settings, const QString &version)
{
	obs_data_set_bool(settings, "is_local_file", false);
	obs_data_set_string(settings, "url", eventGoalRuntimeUrl(version).toUtf8().constData());
}

double layoutNumber(const QJsonObject &layout, const char *key, double fallback)
{
	const QJsonValue value = layout.value(QLatin1String(key));
	return value.isDouble() ? value.toDouble() : fallback;
}
} // namespace

bool isKelpEventGoalSource(obs_source_t *source)
{
	if (!source)
		return false;
	const char *id = obs_source_get_id(source);
	if (!id || QString::fromUtf8(id) != QLatin1String(kBrowserSourceId))
		return false;
	const QString url = settingsUrl(source);
	return url.startsWith(QLatin1String("http://127.0.0.1:4251/widget/event-goal/"), Qt::CaseInsensitive) ||
	       url.startsWith(QLatin1String("http://localhost:4251/widget/event-goal/"), Qt::CaseInsensitive);
}

OBSSourceAutoRelease findEventGoalSource()
{
	for (const char *name : {kLocalName, kPlainName}) {
		OBSSourceAutoRelease source = obs_get_source_by_name(name);
		if (isKelpEventGoalSource(source))
			return source;
	}
	return nullptr;
}

QString uniqueEventGoalName()
{
	QString name = QString::fromUtf8(kLocalName);
	for (int n = 2; n <= 99; ++n) {
		OBSSourceAutoRelease taken = obs_get_source_by_name(name.toUtf8().constData());
		if (!taken)
			return name;
		name = numberedName(n);
	}
	return numberedName(QDateTime::currentMSecsSinceEpoch());
}

QString eventGoalRuntimeUrl(const QString &version)
{
	return QStringLiteral("http://127.0.0.1:4251/widget/event-goal/?runtime=%1")
		.arg(version.isEmpty() ? QStringLiteral("bundled") : version);
}

int eventGoalHeightFromConfig(const QByteArray &configJson)
{
	QJsonParseError error;
	const QJsonDocument document = QJsonDocument::fromJson(configJson, &error);
	if (error.error != QJsonParseError::NoError || !document.isObject())
		return -1;
	const QJsonObject layout = document.object().value(QStringLiteral("text_layout")).toObject();
	const double offsetY = layoutNumber(layout, "offset_y", 0);
	const double titleSize = layoutNumber(layout, "title_size", 22);
	const double valueSize = layoutNumber(layout, "value_size", 30);
	const double content = std::ceil(std::abs(offsetY) + 2 * valueSize + 3 * titleSize + 120);
	// Members near the double's limit can sum to infinities of both signs; no height follows.
	if (std::isnan(content))
		return -1;
	// Bounded while still a double: a huge (or hugely negative) layout must not overflow the int.
	const int bounded = static_cast<int>(std::clamp(content, kMinContent, kMaxContent));
	return std::clamp(bounded * 2 + 1000, kMinHeight, kMaxHeight);
}

void KelpDock::installEventGoal()
{
	OBSSourceAutoRelease sceneSource = obs_frontend_get_current_scene();
	if (!sceneSource) {
		appendLog(QStringLiteral("No active OBS scene is available."));
		return;
	}
	obs_scene_t *scene = obs_scene_from_source(sceneSource);
	if (!scene) {
		appendLog(QStringLiteral("Current OBS source is not a scene."));
		return;
	}

	{
		// Another service's widget under the plain name is only reported, never changed.
		OBSSourceAutoRelease plain = obs_get_source_by_name(kPlainName);
		if (plain && !isKelpEventGoalSource(plain))
			appendLog(QStringLiteral("Existing external Event Goal left untouched: %1")
					  .arg(settingsUrl(plain).left(kMaxReportedUrl)));
	}

	OBSSourceAutoRelease existing = findEventGoalSource();
	const QString activeVersion = updater.activeVersion();
	const QString version = activeVersion.isEmpty() ? QStringLiteral("bundled") : activeVersion;

	OBSDataAutoRelease settings = obs_data_create();
	writeRuntimeSettings(settings, version);
	obs_data_set_int(settings, "width", kWidth);
	obs_data_set_int(settings, "height", kInitialHeight);
	obs_data_set_bool(settings, "shutdown", false);
	obs_data_set_bool(settings, "restart_when_active", false);
	obs_data_set_bool(settings, "reroute_audio", false);

	if (existing) {
		// Refreshed where it is: neither moved nor added to the current scene.
		obs_source_update(existing, settings);
		appendLog(QStringLiteral(
			"Existing KELP-local Event Goal refreshed. StreamElements source was not changed."));
		client.syncWidgetState();
		return;
	}

	const QString name = uniqueEventGoalName();
	// Without the Browser plug-in libobs still creates a source: a placeholder that never renders.
	// Only a registered type has a display name.
	OBSSourceAutoRelease created =
		obs_source_get_display_name(kBrowserSourceId)
			? obs_source_create(kBrowserSourceId, name.toUtf8().constData(), settings, nullptr)
			: nullptr;
	settings = nullptr;
	if (!created) {
		appendLog(QStringLiteral(
			"Could not create KELP-local Browser Source. Make sure OBS Browser is installed."));
		return;
	}
	// The scene item holds its own reference; ours goes when `created` does.
	obs_sceneitem_t *item = obs_scene_add(scene, created);
	if (!item) {
		appendLog(QStringLiteral("Could not add KELP-local Event Goal to the current scene."));
		return;
	}
	vec2 origin;
	vec2_zero(&origin);
	obs_sceneitem_set_pos(item, &origin);
	created = nullptr;
	sceneSource = nullptr;
	appendLog(QStringLiteral("Added %1 with runtime %2. Existing StreamElements widgets remain untouched.")
			  .arg(name, version));
	client.syncWidgetState();
}

void KelpDock::refreshEventGoalRuntime(const QString &version)
{
	OBSSourceAutoRelease existing = findEventGoalSource();
	if (!existing)
		return;
	OBSDataAutoRelease settings = obs_source_get_settings(existing);
	writeRuntimeSettings(settings, version);
	obs_data_set_bool(settings, "shutdown", false);
	obs_data_set_bool(settings, "restart_when_active", false);
	obs_source_update(existing, settings);
}

void KelpDock::resizeEventGoalFromConfig(const QByteArray &configJson)
{
	const int height = eventGoalHeightFromConfig(configJson);
	if (height < 0)
		return;
	OBSSourceAutoRelease existing = findEventGoalSource();
	if (!existing)
		return;
	OBSDataAutoRelease settings = obs_source_get_settings(existing);
	obs_data_set_int(settings, "width", kWidth);
	obs_data_set_int(settings, "height", height);
	obs_source_update(existing, settings);
}
