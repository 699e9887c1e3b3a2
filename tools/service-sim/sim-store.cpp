// What the simulated service keeps across restarts, as one JSON file: without it a dev host that
// kept its device token would meet a service that no longer knows it.

#include "service-sim-p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace kelpsim {

namespace {

constexpr int kFormat = 1;
// Changes come in bursts (a publish, an upload, a run of events); one write covers a burst.
constexpr int kSaveDelayMs = 200;
// The file is the simulator's own, but a damaged or foreign one must not take the process down.
constexpr qint64 kMaxStateBytes = 512 * 1024 * 1024;

QString base64(const QByteArray &data)
{
	return QString::fromLatin1(data.toBase64());
}

bool fromBase64(const QJsonValue &value, QByteArray *data)
{
	if (!value.isString())
		return false;
	const auto result =
		QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
	if (!result)
		return false;
	*data = *result;
	return true;
}

} // namespace

void ServiceSim::Private::markChanged()
{
	if (!stateFile.isEmpty() && !saveTimer.isActive())
		saveTimer.start();
}

bool ServiceSim::Private::saveState()
{
	saveTimer.stop();
	if (stateFile.isEmpty())
		return true;

	QJsonArray deviceArray;
	for (const Device &device : devices) {
		QJsonArray events;
		for (const QJsonObject &event : device.events)
			events.append(event);
		deviceArray.append(QJsonObject{{"device_id", device.deviceId},
					       {"device_name", device.name},
					       {"token", device.token},
					       {"seq", device.seq},
					       {"events", events}});
	}
	QJsonObject assetObjects;
	for (auto it = assets.constBegin(); it != assets.constEnd(); ++it)
		assetObjects.insert(it.key(), QJsonObject{{"content_type", QString::fromLatin1(it->mime)},
							  {"updated_at", it->updatedAt},
							  {"data", base64(it->data)}});
	QJsonArray runtimeArray;
	for (const Runtime &runtime : runtimes) {
		QJsonArray files;
		for (const RuntimeFile &file : runtime.files)
			files.append(QJsonObject{{"path", file.path}, {"data", base64(file.data)}});
		runtimeArray.append(QJsonObject{{"version", runtime.version},
						{"min_plugin_version", runtime.minPluginVersion},
						{"files", files}});
	}
	const QJsonObject root{
		{"format", kFormat},
		{"devices", deviceArray},
		{"widget",
		 QJsonObject{{"widget_id", widgetId}, {"revision", widgetRevision}, {"config", widgetConfig}}},
		{"assets", assetObjects},
		{"runtimes", runtimeArray},
		{"current_runtime", currentRuntime},
	};

	QDir().mkpath(QFileInfo(stateFile).absolutePath());
	QSaveFile file(stateFile);
	if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson(QJsonDocument::Compact)) < 0 ||
	    !file.commit()) {
		qWarning("kelp-service-sim: could not write %s", qPrintable(stateFile));
		return false;
	}
	return true;
}

// All or nothing: a file that fails any check leaves the simulator as it was.
bool ServiceSim::Private::loadState(const QByteArray &bytes)
{
	const QJsonDocument document = QJsonDocument::fromJson(bytes);
	const QJsonObject root = document.object();
	if (root.value("format").toInt() != kFormat)
		return false;

	QMap<QString, Device> loadedDevices;
	for (const QJsonValue &value : root.value("devices").toArray()) {
		const QJsonObject object = value.toObject();
		Device device;
		device.deviceId = object.value("device_id").toString();
		device.name = object.value("device_name").toString();
		device.token = object.value("token").toString();
		device.seq = object.value("seq").toInteger(-1);
		if (device.deviceId.isEmpty() || device.seq < 0)
			return false;
		for (const QJsonValue &event : object.value("events").toArray()) {
			const qint64 seq = event.toObject().value("seq").toInteger(-1);
			if (seq <= 0 || seq > device.seq)
				return false;
			device.events.append(event.toObject());
		}
		loadedDevices.insert(device.deviceId, device);
	}

	const QJsonObject widget = root.value("widget").toObject();
	if (!widget.value("widget_id").isString() || !widget.value("revision").isString() ||
	    !widget.value("config").isObject())
		return false;

	QMap<QString, Asset> loadedAssets;
	const QJsonObject assetObjects = root.value("assets").toObject();
	for (auto it = assetObjects.constBegin(); it != assetObjects.constEnd(); ++it) {
		const QJsonObject object = it.value().toObject();
		Asset asset;
		asset.mime = object.value("content_type").toString().toLatin1();
		asset.updatedAt = object.value("updated_at").toString();
		if (it.key().isEmpty() || !fromBase64(object.value("data"), &asset.data))
			return false;
		loadedAssets.insert(it.key(), asset);
	}

	QHash<QString, Runtime> loadedRuntimes;
	for (const QJsonValue &value : root.value("runtimes").toArray()) {
		const QJsonObject object = value.toObject();
		Runtime runtime;
		runtime.version = object.value("version").toString();
		runtime.minPluginVersion = object.value("min_plugin_version").toString();
		for (const QJsonValue &fileValue : object.value("files").toArray()) {
			RuntimeFile file;
			file.path = fileValue.toObject().value("path").toString();
			if (file.path.isEmpty() || !fromBase64(fileValue.toObject().value("data"), &file.data))
				return false;
			file.sha256 = QCryptographicHash::hash(file.data, QCryptographicHash::Sha256).toHex();
			runtime.files.append(file);
		}
		if (runtime.version.isEmpty() || runtime.files.isEmpty())
			return false;
		loadedRuntimes.insert(runtime.version, runtime);
	}
	const QString current = root.value("current_runtime").toString();
	if (!current.isEmpty() && !loadedRuntimes.contains(current))
		return false;

	devices = loadedDevices;
	widgetId = widget.value("widget_id").toString();
	widgetRevision = widget.value("revision").toString();
	widgetConfig = widget.value("config").toObject();
	assets = loadedAssets;
	runtimes = loadedRuntimes;
	currentRuntime = current;
	return true;
}

bool ServiceSim::setStateFile(const QString &file)
{
	d->saveState(); // what the previous file, if any, has not seen yet
	d->stateFile = file;
	if (file.isEmpty())
		return true;
	if (!d->saveTimer.isSingleShot()) {
		d->saveTimer.setSingleShot(true);
		d->saveTimer.setInterval(kSaveDelayMs);
		connect(&d->saveTimer, &QTimer::timeout, this, [this] { d->saveState(); });
	}
	QFile in(file);
	if (!in.exists())
		return true;
	if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxStateBytes)
		return false;
	return d->loadState(in.readAll());
}

} // namespace kelpsim
