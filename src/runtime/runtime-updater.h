#pragma once

#include "common/kelp-common.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSettings>
#include <QString>
#include <QTimer>

class QNetworkReply;
class QNetworkRequest;
class QUrl;

// Keeps the Event Goal widget runtime current: checks the service's manifest every minute,
// downloads a new version into a staging folder, verifies every file and activates it by rename.
// Failures keep whatever runtime was active.
class RuntimeUpdater : public QObject {
	Q_OBJECT

public:
	static constexpr int kFirstCheckDelayMs = 1200;
	static constexpr int kCheckIntervalMs = 60000;
	static constexpr int kTransferTimeoutMs = 20000;
	// Files are held whole in memory, so each is capped whatever size its manifest declares.
	static constexpr qint64 kMaxFileBytes = kMaxDownloadBytes;
	// A scanner or indexer on Windows may hold a new file for a moment; the final move into place is
	// tried this many times more, this far apart, before the download counts as failed.
	static constexpr int kActivateRetries = 5;
	static constexpr int kActivateRetryMs = 200;

	explicit RuntimeUpdater(QObject *parent = nullptr);
	~RuntimeUpdater() override;

	void start();
	void checkForUpdate();

	bool isBusy() const;
	QString statusText() const;
	QString activeVersion() const;

signals:
	void stateChanged();
	void logLine(const QString &line);
	void runtimeActivated(const QString &root, const QString &version, bool changed);

private:
	void setStatus(const QString &text);
	void loadCachedRuntime();
	QNetworkRequest makeRequest(const QUrl &url) const;
	void onManifestFinished(QNetworkReply *reply);
	bool isStrictlyBelowCacheRoot(const QString &path) const;
	QString versionDirectory(const QString &version) const;
	bool hasVersionRuntime(const QString &version) const;
	QString newWorkFolder(const QString &name, const QString &kind) const;
	void removeLeftOverWorkFolders();

	void beginDownload(const QJsonObject &manifest);
	void downloadNextFile();
	void guardFileSize(QNetworkReply *reply, const QJsonObject &entry);
	void guardFileStatus(QNetworkReply *reply, const QJsonObject &entry);
	void abandonFile(QNetworkReply *reply, const QString &reason);
	void onFileFinished(QNetworkReply *reply, const QJsonObject &entry, qint64 declaredSize);
	void finishDownload();
	void activateStaging(int retriesLeft);
	bool moveStagingTo(const QString &target, QString *previous);
	void failUpdate(const QString &reason);
	void resetDownloadState();

	QNetworkAccessManager network;
	QTimer checkTimer;
	QSettings settings;
	QPointer<QNetworkReply> manifestReply;
	QPointer<QNetworkReply> fileReply;
	QString cacheRoot;
	QString currentRoot;
	QString currentVersion;
	QString statusLine = QStringLiteral("Runtime: bundled");
	QJsonArray pendingFiles;
	int nextFileIndex = 0;
	qint64 stagedBytes = 0;
	QString pendingVersion;
	QString stagingPath;
	bool checking = false;
	bool downloading = false;
};
