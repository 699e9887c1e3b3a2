#include "runtime/runtime-updater.h"

#include "common/kelp-common.h"
#include "plugin/module-handle.h"
#include "runtime/manifest-rules.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

#include <obs-module.h>
#include <util/util.hpp>

namespace {
const QString kVersionKey = QStringLiteral("runtime/event_goal_version");

QString resolveCacheRoot()
{
	BPtr<char> configured = obs_module_get_config_path(kelpModuleHandle(), "runtime/event-goal");
	QString root = configured ? QString::fromUtf8(configured.Get()) : QString();
	if (root.isEmpty())
		root = QDir::tempPath() + QStringLiteral("/kelp-obs-runtime/event-goal");
	// Absolute once, so later containment checks do not depend on the working directory.
	return QDir::cleanPath(QFileInfo(root).absoluteFilePath());
}

bool removeTree(const QString &path)
{
	const QFileInfo info(path);
	if (info.isDir() && !info.isSymLink())
		return QDir(path).removeRecursively();
	if (info.exists() || info.isSymLink())
		return QFile::remove(path);
	return true;
}
} // namespace

RuntimeUpdater::RuntimeUpdater(QObject *parent)
    : QObject(parent), network(this), checkTimer(this),
      settings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication), this)
{
	checkTimer.setObjectName(QStringLiteral("checkTimer"));
	dropStalledConnections(&network);
	cacheRoot = resolveCacheRoot();
	QDir().mkpath(cacheRoot);
	checkTimer.setInterval(kCheckIntervalMs);
	connect(&checkTimer, &QTimer::timeout, this, &RuntimeUpdater::checkForUpdate);
}

RuntimeUpdater::~RuntimeUpdater()
{
	// Replies die with the access manager after this body; none may call back into a half-destroyed
	// updater on the way.
	const auto replies = network.findChildren<QNetworkReply *>();
	for (QNetworkReply *reply : replies)
		reply->disconnect(this);
	// Unloaded mid-download: nothing would ever finish or remove the staging folder.
	if (downloading && isStrictlyBelowCacheRoot(stagingPath))
		removeTree(stagingPath);
}

void RuntimeUpdater::start()
{
	removeLeftOverWorkFolders();
	loadCachedRuntime();
	checkTimer.start();
	QTimer::singleShot(kFirstCheckDelayMs, this, &RuntimeUpdater::checkForUpdate);
}

bool RuntimeUpdater::isBusy() const
{
	return checking || downloading;
}

QString RuntimeUpdater::statusText() const
{
	return statusLine;
}

QString RuntimeUpdater::activeVersion() const
{
	return currentVersion;
}

void RuntimeUpdater::setStatus(const QString &text)
{
	if (text == statusLine)
		return;
	statusLine = text;
	emit stateChanged();
}

bool RuntimeUpdater::isStrictlyBelowCacheRoot(const QString &path) const
{
	if (path.isEmpty() || cacheRoot.isEmpty())
		return false;
	const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
	const QString prefix = cacheRoot.endsWith(QLatin1Char('/')) ? cacheRoot : cacheRoot + QLatin1Char('/');
	return target.size() > prefix.size() && target.startsWith(prefix);
}

QString RuntimeUpdater::versionDirectory(const QString &version) const
{
	return cacheRoot + QLatin1Char('/') + version;
}

bool RuntimeUpdater::hasVersionRuntime(const QString &version) const
{
	// Where names ignore case, "V1" opens the folder of "v1", whose files were verified for another
	// version, and a link opens any folder: only a real folder listed under exactly this name, as a
	// download leaves it, is this version's.
	return hasRuntimeIndex(versionDirectory(version)) &&
	       QDir(cacheRoot)
		       .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks)
		       .contains(version);
}

QString RuntimeUpdater::newWorkFolder(const QString &name, const QString &kind) const
{
	return cacheRoot +
	       QStringLiteral("/.%1.%2-%3").arg(name, kind, QUuid::createUuid().toString(QUuid::WithoutBraces));
}

void RuntimeUpdater::removeLeftOverWorkFolders()
{
	// What a crash left behind: every download and every move aside takes a new name, so these
	// would otherwise stay for good.
	const QStringList names =
		QDir(cacheRoot).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
	for (const QString &name : names) {
		if (isRuntimeWorkFolder(name))
			removeTree(cacheRoot + QLatin1Char('/') + name);
	}
}

void RuntimeUpdater::loadCachedRuntime()
{
	const QString version = settings.value(kVersionKey).toString();
	if (version.isEmpty())
		return;
	const QString directory = versionDirectory(version);
	// The store can be edited by hand, so the remembered name gets the manifest's version rule too.
	if (isValidRuntimeVersion(version) && isStrictlyBelowCacheRoot(directory) && hasVersionRuntime(version)) {
		currentVersion = version;
		currentRoot = directory;
		setStatus(QStringLiteral("Runtime: %1 · cached").arg(version));
		emit runtimeActivated(currentRoot, currentVersion, false);
		return;
	}
	settings.remove(kVersionKey);
	settings.sync();
}

QNetworkRequest RuntimeUpdater::makeRequest(const QUrl &url) const
{
	QNetworkRequest request(url);
	request.setHeader(QNetworkRequest::UserAgentHeader,
			  QStringLiteral("KELP-OBS/%1 RuntimeUpdater").arg(QLatin1String(kKelpModuleVersion)));
	request.setRawHeader("Accept", "application/json, application/octet-stream;q=0.9, */*;q=0.1");
	request.setTransferTimeout(kTransferTimeoutMs);
	return request;
}

void RuntimeUpdater::checkForUpdate()
{
	if (checking || downloading || manifestReply || fileReply)
		return;
	checking = true;
	setStatus(currentVersion.isEmpty() ? QStringLiteral("Runtime: checking for updates…")
					   : QStringLiteral("Runtime %1 · checking…").arg(currentVersion));

	QUrl url(kelpServiceOrigin() + QStringLiteral("/api/v40/runtime/manifest"));
	QUrlQuery query;
	query.addQueryItem(QStringLiteral("widget"), QStringLiteral("event-goal"));
	query.addQueryItem(QStringLiteral("channel"), QStringLiteral("stable"));
	query.addQueryItem(QStringLiteral("plugin_version"), QString::fromLatin1(kKelpModuleVersion));
	url.setQuery(query);

	QNetworkReply *reply = sendGet(&network, makeRequest(url));
	capReplyBody(reply, kMaxAnswerBytes);
	manifestReply = reply;
	connect(reply, &QNetworkReply::finished, this, [this, reply] { onManifestFinished(reply); });
}

void RuntimeUpdater::onManifestFinished(QNetworkReply *reply)
{
	// An aborted reply (transfer timeout) is already closed and has nothing left to read.
	const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
	const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
	const QNetworkReply::NetworkError error = reply->error();
	if (manifestReply == reply)
		manifestReply = nullptr;
	reply->deleteLater();
	checking = false;

	if (error != QNetworkReply::NoError || status != 200) {
		setStatus(currentVersion.isEmpty()
				  ? QStringLiteral("Runtime: update server unavailable")
				  : QStringLiteral("Runtime %1 · update check delayed").arg(currentVersion));
		emit logLine(QStringLiteral("Runtime update check failed: %1").arg(networkErrorText(reply)));
		return;
	}

	const QJsonDocument document = QJsonDocument::fromJson(body);
	const QJsonValue ok = document.object().value(QStringLiteral("ok"));
	if (!document.isObject() || !ok.isBool() || !ok.toBool()) {
		setStatus(currentVersion.isEmpty()
				  ? QStringLiteral("Runtime: invalid manifest")
				  : QStringLiteral("Runtime %1 · manifest retry later").arg(currentVersion));
		emit logLine(QStringLiteral("Runtime update manifest was invalid."));
		return;
	}

	const QJsonObject manifest = document.object();
	QString refusal;
	const QString version = manifest.value(QStringLiteral("runtime_version")).toString();
	const QString directory = versionDirectory(version);
	if (validateManifest(manifest, &refusal) && !isStrictlyBelowCacheRoot(directory))
		refusal = QStringLiteral("invalid runtime version");
	if (!refusal.isEmpty()) {
		setStatus(QStringLiteral("Runtime: %1").arg(refusal));
		emit logLine(QStringLiteral("Runtime update skipped: %1").arg(refusal));
		return;
	}

	if (version == currentVersion && hasVersionRuntime(version)) {
		setStatus(QStringLiteral("Runtime %1 · up to date").arg(currentVersion));
		return;
	}
	if (hasVersionRuntime(version)) {
		currentVersion = version;
		currentRoot = directory;
		settings.setValue(kVersionKey, currentVersion);
		settings.sync();
		setStatus(QStringLiteral("Runtime %1 · activated").arg(currentVersion));
		emit runtimeActivated(currentRoot, currentVersion, true);
		return;
	}
	beginDownload(manifest);
}

void RuntimeUpdater::beginDownload(const QJsonObject &manifest)
{
	pendingFiles = manifest.value(QStringLiteral("files")).toArray();
	nextFileIndex = 0;
	pendingVersion = manifest.value(QStringLiteral("runtime_version")).toString();
	stagingPath = newWorkFolder(pendingVersion, QStringLiteral("staging"));

	if (!isStrictlyBelowCacheRoot(stagingPath) || !removeTree(stagingPath) || !QDir().mkpath(stagingPath)) {
		failUpdate(QStringLiteral("could not create staging directory"));
		return;
	}
	downloading = true;
	setStatus(QStringLiteral("Runtime %1 · downloading 0/%2").arg(pendingVersion).arg(pendingFiles.size()));
	emit logLine(QStringLiteral("Runtime %1 update found. Downloading…").arg(pendingVersion));
	downloadNextFile();
}

void RuntimeUpdater::downloadNextFile()
{
	if (!downloading)
		return;
	if (nextFileIndex >= pendingFiles.size()) {
		finishDownload();
		return;
	}
	const QJsonObject entry = pendingFiles.at(nextFileIndex).toObject();
	QNetworkRequest request = makeRequest(QUrl(entry.value(QStringLiteral("url")).toString(), QUrl::TolerantMode));
	request.setRawHeader("Accept", "*/*");

	const QJsonValue sizeValue = entry.value(QStringLiteral("size"));
	const qint64 declaredSize = sizeValue.isDouble() ? truncateToInt64(sizeValue.toDouble()) : -1;

	QNetworkReply *reply = sendGet(&network, request);
	fileReply = reply;
	connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply, entry] { guardFileStatus(reply, entry); });
	connect(reply, &QNetworkReply::readyRead, this, [this, reply, entry] { guardFileSize(reply, entry); });
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, entry, declaredSize] { onFileFinished(reply, entry, declaredSize); });
}

void RuntimeUpdater::guardFileSize(QNetworkReply *reply, const QJsonObject &entry)
{
	// Everything buffered so far stays unread until the end, so bytesAvailable is the body's length.
	// Only the caps, the file's and what is left of the runtime's, end a transfer early: they bound
	// memory and disk whatever the manifest declares. Every other verdict waits for the whole answer,
	// so that status, digest and length are judged in that order.
	const qint64 cap = qMin(kMaxFileBytes, kMaxRuntimeBytes - stagedBytes);
	if (reply != fileReply || reply->bytesAvailable() <= cap)
		return;
	abandonFile(reply, QStringLiteral("%1 failed: %2")
				   .arg(entry.value(QStringLiteral("path")).toString(),
					cap == kMaxFileBytes ? QStringLiteral("file is larger than 64 MiB")
							     : QStringLiteral("runtime is larger than 128 MiB")));
}

void RuntimeUpdater::guardFileStatus(QNetworkReply *reply, const QJsonObject &entry)
{
	// The status is the first verdict and is known at the head: reading an error page on would cost
	// up to the cap at every check for as long as the host keeps failing. A redirect is followed.
	const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
	if (reply != fileReply || status == 0 || status == 200 || (status >= 300 && status < 400))
		return;
	QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
	for (QChar &c : reason) {
		if (isControlCharacter(c))
			c = QLatin1Char(' ');
	}
	// Worded as the network layer words a whole error answer, so the line reads as it always did.
	const QString text = QStringLiteral("%1 failed: HTTP %2 · Error transferring %3 - server replied: %4")
				     .arg(entry.value(QStringLiteral("path")).toString())
				     .arg(status)
				     .arg(reply->url().toString(), reason.left(80));
	// Queued: the reply is still delivering this head and may report its error right after it.
	QMetaObject::invokeMethod(
		this,
		[this, guarded = QPointer<QNetworkReply>(reply), text] {
			if (guarded && guarded == fileReply)
				abandonFile(guarded, text);
		},
		Qt::QueuedConnection);
}

void RuntimeUpdater::abandonFile(QNetworkReply *reply, const QString &reason)
{
	fileReply = nullptr;
	reply->disconnect(this);
	reply->abort();
	reply->deleteLater();
	failUpdate(reason);
}

void RuntimeUpdater::onFileFinished(QNetworkReply *reply, const QJsonObject &entry, qint64 declaredSize)
{
	// An aborted reply (transfer timeout) is already closed and has nothing left to read.
	const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
	const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
	const QNetworkReply::NetworkError error = reply->error();
	const QString errorText = networkErrorText(reply);
	if (fileReply == reply)
		fileReply = nullptr;
	reply->deleteLater();

	const QString path = entry.value(QStringLiteral("path")).toString();
	if (error != QNetworkReply::NoError || status != 200) {
		failUpdate(QStringLiteral("%1 failed: %2").arg(path, errorText));
		return;
	}

	const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
	const QByteArray expected = entry.value(QStringLiteral("sha256")).toString().toLatin1().toLower();
	if (digest != expected) {
		failUpdate(QStringLiteral("%1 SHA256 mismatch").arg(path));
		return;
	}

	if (declaredSize >= 0 && declaredSize != body.size()) {
		failUpdate(QStringLiteral("%1 size mismatch").arg(path));
		return;
	}

	const QString target = stagingPath + QLatin1Char('/') + path;
	if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
		failUpdate(QStringLiteral("could not create directory for %1").arg(path));
		return;
	}
	QSaveFile file(target);
	if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
		failUpdate(QStringLiteral("could not save %1").arg(path));
		return;
	}

	++nextFileIndex;
	stagedBytes += body.size();
	setStatus(QStringLiteral("Runtime %1 · downloading %2/%3")
			  .arg(pendingVersion)
			  .arg(nextFileIndex)
			  .arg(pendingFiles.size()));
	downloadNextFile();
}

void RuntimeUpdater::finishDownload()
{
	if (!hasRuntimeIndex(stagingPath)) {
		failUpdate(QStringLiteral("downloaded runtime is incomplete"));
		return;
	}
	activateStaging(kActivateRetries);
}

void RuntimeUpdater::activateStaging(int retriesLeft)
{
	const QString target = versionDirectory(pendingVersion);
	if (!isStrictlyBelowCacheRoot(target)) {
		failUpdate(QStringLiteral("could not activate runtime directory"));
		return;
	}
	QString previous;
	if (!moveStagingTo(target, &previous)) {
		// The download stays busy meanwhile, so no check starts over the staging folder.
		if (retriesLeft > 0) {
			QTimer::singleShot(kActivateRetryMs, this,
					   [this, retriesLeft] { activateStaging(retriesLeft - 1); });
			return;
		}
		failUpdate(QStringLiteral("could not activate runtime directory"));
		return;
	}

	downloading = false;
	currentVersion = pendingVersion;
	currentRoot = target;
	settings.setValue(kVersionKey, currentVersion);
	settings.sync();
	setStatus(QStringLiteral("Runtime %1 · active").arg(currentVersion));
	emit logLine(QStringLiteral("Runtime %1 verified and activated.").arg(currentVersion));
	emit runtimeActivated(currentRoot, currentVersion, true);
	// Only now that nothing serves it: where names ignore case, it may have been the active version.
	if (!previous.isEmpty())
		removeTree(previous);
	resetDownloadState();
}

bool RuntimeUpdater::moveStagingTo(const QString &target, QString *previous)
{
	const QFileInfo existing(target);
	if (!existing.exists() && !existing.isSymLink())
		return QDir().rename(stagingPath, target);
	// Whatever answers for the target (a broken folder of this version or, where names ignore case,
	// another version's, the active one's perhaps) is moved aside and put back should the move in
	// fail, so the active runtime is never missing. Back under its own name as listed, which may
	// differ in case from the target's.
	const QStringList names =
		QDir(cacheRoot).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
	QString name = pendingVersion;
	if (!names.contains(name)) {
		for (const QString &listed : names) {
			if (listed.compare(pendingVersion, Qt::CaseInsensitive) == 0)
				name = listed;
		}
	}
	const QString held = versionDirectory(name);
	const QString aside = newWorkFolder(name, QStringLiteral("previous"));
	if (!QDir().rename(held, aside))
		return false;
	if (!QDir().rename(stagingPath, target)) {
		QDir().rename(aside, held);
		return false;
	}
	*previous = aside;
	return true;
}

void RuntimeUpdater::failUpdate(const QString &reason)
{
	if (fileReply) {
		QNetworkReply *reply = fileReply;
		fileReply = nullptr;
		reply->disconnect(this);
		reply->abort();
		reply->deleteLater();
	}
	if (!stagingPath.isEmpty() && isStrictlyBelowCacheRoot(stagingPath))
		removeTree(stagingPath);
	checking = false;
	downloading = false;
	resetDownloadState();
	setStatus(currentVersion.isEmpty() ? QStringLiteral("Runtime: update failed · bundled fallback")
					   : QStringLiteral("Runtime %1 · update failed").arg(currentVersion));
	emit logLine(QStringLiteral("Runtime update failed safely: %1").arg(reason));
}

void RuntimeUpdater::resetDownloadState()
{
	pendingFiles = QJsonArray();
	pendingVersion.clear();
	stagingPath.clear();
	nextFileIndex = 0;
	stagedBytes = 0;
}
