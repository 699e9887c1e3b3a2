#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "runtime/manifest-rules.h"
#include "runtime/runtime-updater.h"
#include "service-sim.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using kelpsim::Fault;
using kelpsim::ServiceSim;

namespace {
const QString kVersionKey = QStringLiteral("runtime/event_goal_version");
const QByteArray kManifestPath = QByteArrayLiteral("/api/v40/runtime/manifest");
const QByteArray kFilesPrefix = QByteArrayLiteral("/runtime/files/");

using FileMap = QMap<QString, QByteArray>;

bool writeFile(const QString &path, const QByteArray &data)
{
	if (!QDir().mkpath(QFileInfo(path).absolutePath()))
		return false;
	QFile file(path);
	return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

bool writeTree(const QString &root, const FileMap &files)
{
	for (auto it = files.cbegin(); it != files.cend(); ++it) {
		if (!writeFile(root + QLatin1Char('/') + it.key(), it.value()))
			return false;
	}
	return true;
}

// Every entry below root (hidden ones included) with the bytes of each file, to prove a tree untouched.
FileMap snapshot(const QString &root)
{
	FileMap tree;
	QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
			QDirIterator::Subdirectories);
	while (it.hasNext()) {
		const QString path = it.next();
		const QFileInfo info(path);
		QByteArray content = QByteArrayLiteral("<dir>");
		if (info.isFile()) {
			QFile file(path);
			content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArrayLiteral("<unreadable>");
		}
		tree.insert(QDir(root).relativeFilePath(path), content);
	}
	return tree;
}

QStringList stagingFolders(const QString &root)
{
	return QDir(root).entryList({QStringLiteral(".*.staging-*")}, QDir::Dirs | QDir::Hidden);
}

QByteArray sha256Hex(const QByteArray &data)
{
	return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString storedVersion()
{
	QSettings settings(QString::fromLatin1(kKelpSettingsOrganization),
			   QString::fromLatin1(kKelpSettingsApplication));
	return settings.value(kVersionKey).toString();
}

void storeVersion(const QString &version)
{
	QSettings settings(QString::fromLatin1(kKelpSettingsOrganization),
			   QString::fromLatin1(kKelpSettingsApplication));
	settings.setValue(kVersionKey, version);
	settings.sync();
}

// Answers every request with an endless body and no length, counting what it managed to send.
class EndlessServer : public QObject {
public:
	static constexpr qint64 kChunk = 256 * 1024;

	explicit EndlessServer(qint64 cap) : cap(cap)
	{
		listener.listen(QHostAddress::LocalHost, 0);
		connect(&listener, &QTcpServer::newConnection, this, [this] {
			while (QTcpSocket *socket = listener.nextPendingConnection()) {
				socket->setParent(this);
				connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
					socket->readAll();
					if (headSent)
						return;
					headSent = true;
					socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
						      "Connection: close\r\n\r\n");
					pump(socket);
				});
				connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] { pump(socket); });
				connect(socket, &QTcpSocket::disconnected, this, [this] { peerClosed = true; });
			}
		});
	}
	QString url() const { return QStringLiteral("http://127.0.0.1:%1/endless.bin").arg(listener.serverPort()); }

	qint64 cap;
	qint64 sent = 0;
	bool headSent = false;
	bool peerClosed = false;

private:
	void pump(QTcpSocket *socket)
	{
		while (socket->bytesToWrite() < 2 * kChunk && sent < cap &&
		       socket->state() == QTcpSocket::ConnectedState) {
			socket->write(QByteArray(kChunk, 'x'));
			sent += kChunk;
		}
	}
	QTcpServer listener;
};
} // namespace

class TestRuntimeUpdater : public QObject {
	Q_OBJECT

private slots:
	void initTestCase();
	void init();
	void cleanup();

	void firstStartWithoutKey();
	void cachedRuntimeAtStart_data();
	void cachedRuntimeAtStart();
	void transportFailures_data();
	void transportFailures();
	void invalidManifests_data();
	void invalidManifests();
	void refusals_data();
	void refusals();
	void upToDateAndLostIndex();
	void olderVersionOnDiskActivates();
	void threeFileDownload();
	void acceptedEntries_data();
	void acceptedEntries();
	void downloadFailures_data();
	void downloadFailures();
	void failureWithoutActiveRuntime();
	void activationFailureKeepsRuntime();
	void stagingCannotBeCreated();
	void samePathTwice();
	void leftoverVersionFolderReplaced();
	void checkRefusedWhileBusy();
	void interruptedDownloadDoesNotBlockNext();
	void bodyBeyondDeclaredSizeAbandoned();
	void fileSizeCapped_data();
	void fileSizeCapped();
	void stalledTransferTimesOut();

private:
	RuntimeUpdater *makeUpdater();
	QString cacheRoot() const { return configDir->path() + QStringLiteral("/runtime/event-goal"); }
	QString publish(const QString &version, const FileMap &files);
	QJsonObject entry(const QString &version, const QString &path, const QByteArray &data) const;
	QByteArray manifestWith(const QString &version, const QJsonArray &files) const;
	bool runCheck();
	bool activateFromDisk(const QString &version);

	std::unique_ptr<QTemporaryDir> settingsDir;
	std::unique_ptr<QTemporaryDir> configDir;
	std::unique_ptr<QTemporaryDir> sourceDir;
	std::unique_ptr<ServiceSim> sim;
	std::unique_ptr<RuntimeUpdater> updater;
	std::unique_ptr<QSignalSpy> activated;
	QStringList statuses;
	QStringList logs;
};

void TestRuntimeUpdater::initTestCase()
{
	setKelpModuleHandle(standin::module());
}

void TestRuntimeUpdater::init()
{
	settingsDir = std::make_unique<QTemporaryDir>();
	configDir = std::make_unique<QTemporaryDir>();
	sourceDir = std::make_unique<QTemporaryDir>();
	QVERIFY(settingsDir->isValid() && configDir->isValid() && sourceDir->isValid());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir->path());
	QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir->path());
	standin::setModuleConfigPath(configDir->path());
	sim = std::make_unique<ServiceSim>();
	QVERIFY(sim->listen());
	setKelpServiceOrigin(sim->origin());
	statuses.clear();
	logs.clear();
}

void TestRuntimeUpdater::cleanup()
{
	activated.reset();
	updater.reset();
	sim.reset();
}

RuntimeUpdater *TestRuntimeUpdater::makeUpdater()
{
	updater = std::make_unique<RuntimeUpdater>();
	RuntimeUpdater *u = updater.get();
	connect(u, &RuntimeUpdater::stateChanged, u, [this, u] { statuses.append(u->statusText()); });
	connect(u, &RuntimeUpdater::logLine, u, [this](const QString &line) { logs.append(line); });
	activated = std::make_unique<QSignalSpy>(u, &RuntimeUpdater::runtimeActivated);
	return u;
}

QString TestRuntimeUpdater::publish(const QString &version, const FileMap &files)
{
	const QString folder = sourceDir->path() + QLatin1Char('/') + version;
	if (!writeTree(folder, files) || !sim->publishRuntime(version, folder))
		return QString();
	return folder;
}

QJsonObject TestRuntimeUpdater::entry(const QString &version, const QString &path, const QByteArray &data) const
{
	return QJsonObject{
		{QStringLiteral("path"), path},
		{QStringLiteral("url"), sim->origin() + QStringLiteral("/runtime/files/%1/%2").arg(version, path)},
		{QStringLiteral("sha256"), QString::fromLatin1(sha256Hex(data))},
		{QStringLiteral("size"), qint64(data.size())}};
}

QByteArray TestRuntimeUpdater::manifestWith(const QString &version, const QJsonArray &files) const
{
	const QJsonObject manifest{{QStringLiteral("ok"), true},
				   {QStringLiteral("widget"), QStringLiteral("event-goal")},
				   {QStringLiteral("runtime_version"), version},
				   {QStringLiteral("files"), files}};
	return QJsonDocument(manifest).toJson(QJsonDocument::Compact);
}

bool TestRuntimeUpdater::runCheck()
{
	updater->checkForUpdate();
	if (!updater->isBusy())
		return false;
	return QTest::qWaitFor([this] { return !updater->isBusy(); }, 30000);
}

// Makes `version` the active downloaded runtime without a download: its folder is already on disk.
bool TestRuntimeUpdater::activateFromDisk(const QString &version)
{
	if (publish(version, {{QStringLiteral("index.html"), "served " + version.toUtf8()}}).isEmpty())
		return false;
	if (!writeFile(cacheRoot() + QLatin1Char('/') + version + QStringLiteral("/index.html"), "on disk"))
		return false;
	if (!runCheck() || updater->activeVersion() != version)
		return false;
	statuses.clear();
	logs.clear();
	activated->clear();
	return true;
}

void TestRuntimeUpdater::firstStartWithoutKey()
{
	RuntimeUpdater *u = makeUpdater();
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: bundled"));
	QVERIFY(QFileInfo(cacheRoot()).isDir());

	const qint64 started = QDateTime::currentMSecsSinceEpoch();
	u->start();
	QCOMPARE(activated->count(), 0);
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: bundled"));
	QVERIFY(sim->requestsTo(kManifestPath).isEmpty());

	QTRY_COMPARE_WITH_TIMEOUT(sim->requestsTo(kManifestPath).size(), 1, 5000);
	const kelpsim::RequestRecord request = sim->requestsTo(kManifestPath).constFirst();
	QVERIFY2(request.receivedMs - started >= 1200, qPrintable(QString::number(request.receivedMs - started)));
	QCOMPARE(request.method, QByteArray("GET"));
	QCOMPARE(request.query, QByteArray("widget=event-goal&channel=stable&plugin_version=0.4.2"));
	QCOMPARE(request.header("User-Agent"), QByteArray("KELP-OBS/0.4.2 RuntimeUpdater"));
	QCOMPARE(request.header("Accept"), QByteArray("application/json, application/octet-stream;q=0.9, */*;q=0.1"));
	QVERIFY(request.header("Authorization").isEmpty());

	// Nothing is published: the simulator answers 404.
	QTRY_VERIFY(!u->isBusy());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: update server unavailable"));

	auto *timer = u->findChild<QTimer *>(QStringLiteral("checkTimer"));
	QVERIFY(timer);
	QVERIFY(timer->isActive());
	QCOMPARE(timer->interval(), 60000);
	QVERIFY(!timer->isSingleShot());
	QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
	QTRY_COMPARE(sim->requestsTo(kManifestPath).size(), 2);
	QTRY_VERIFY(!u->isBusy());
	QCOMPARE(storedVersion(), QString());
}

void TestRuntimeUpdater::cachedRuntimeAtStart_data()
{
	QTest::addColumn<QString>("key");
	QTest::addColumn<QString>("indexAt"); // relative to the cache root, empty for none
	QTest::addColumn<bool>("used");

	QTest::newRow("intact") << "1.0.0"
				<< "1.0.0/index.html" << true;
	QTest::newRow("index missing") << "1.0.0"
				       << "" << false;
	QTest::newRow("index only nested") << "1.0.0"
					   << "1.0.0/sub/index.html" << false;
	QTest::newRow("dots name the parent") << ".."
					      << "../index.html" << false;
	QTest::newRow("escapes the cache") << "../elsewhere"
					   << "../elsewhere/index.html" << false;
	QTest::newRow("names the root itself") << "."
					       << "index.html" << false;
}

void TestRuntimeUpdater::cachedRuntimeAtStart()
{
	QFETCH(QString, key);
	QFETCH(QString, indexAt);
	QFETCH(bool, used);

	storeVersion(key);
	QVERIFY(QDir().mkpath(cacheRoot()));
	if (!indexAt.isEmpty())
		QVERIFY(writeFile(cacheRoot() + QLatin1Char('/') + indexAt, "cached"));

	RuntimeUpdater *u = makeUpdater();
	u->start();
	// Emitted inside start, before anything else can run.
	QCOMPARE(activated->count(), used ? 1 : 0);
	if (used) {
		const QList<QVariant> args = activated->constFirst();
		QCOMPARE(args.at(0).toString(), cacheRoot() + QLatin1Char('/') + key);
		QCOMPARE(args.at(1).toString(), key);
		QCOMPARE(args.at(2).toBool(), false);
		QCOMPARE(u->statusText(), QStringLiteral("Runtime: %1 · cached").arg(key));
		QCOMPARE(u->activeVersion(), key);
		QCOMPARE(storedVersion(), key);
	} else {
		QCOMPARE(u->statusText(), QStringLiteral("Runtime: bundled"));
		QCOMPARE(u->activeVersion(), QString());
		QCOMPARE(storedVersion(), QString());
	}
	QVERIFY(logs.isEmpty());
}

void TestRuntimeUpdater::transportFailures_data()
{
	QTest::addColumn<int>("kind");
	QTest::addColumn<int>("status");
	QTest::addColumn<bool>("withActive");
	QTest::addColumn<QString>("logPrefix");

	for (const bool active : {false, true}) {
		const char *column = active ? ", active" : ", bundled";
		QTest::addRow("HTTP 500%s", column)
			<< int(Fault::Status) << 500 << active << "Runtime update check failed: HTTP 500 · ";
		QTest::addRow("HTTP 204%s", column)
			<< int(Fault::Status) << 204 << active << "Runtime update check failed: HTTP 204 · ";
		QTest::addRow("HTTP 304%s", column)
			<< int(Fault::Status) << 304 << active << "Runtime update check failed: HTTP 304 · ";
		QTest::addRow("dropped%s", column)
			<< int(Fault::Drop) << 0 << active << "Runtime update check failed: ";
		// The head arrived, so the status is known even though the body did not.
		QTest::addRow("cut mid body%s", column)
			<< int(Fault::DropMidBody) << 0 << active << "Runtime update check failed: HTTP 200 · ";
	}
}

void TestRuntimeUpdater::transportFailures()
{
	QFETCH(int, kind);
	QFETCH(int, status);
	QFETCH(bool, withActive);
	QFETCH(QString, logPrefix);

	RuntimeUpdater *u = makeUpdater();
	if (withActive)
		QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	else
		QVERIFY(!publish(QStringLiteral("1.0.0"), {{QStringLiteral("index.html"), "x"}}).isEmpty());
	const FileMap before = snapshot(configDir->path());

	Fault fault;
	fault.path = kManifestPath;
	fault.kind = Fault::Kind(kind);
	fault.status = status;
	sim->addFault(fault);
	QVERIFY(runCheck());

	const QString expected = withActive ? QStringLiteral("Runtime 1.0.0 · update check delayed")
					    : QStringLiteral("Runtime: update server unavailable");
	QCOMPARE(u->statusText(), expected);
	QCOMPARE(logs.size(), 1);
	QVERIFY2(logs.constFirst().startsWith(logPrefix), qPrintable(logs.constFirst()));
	QVERIFY(logs.constFirst().size() > logPrefix.size());
	if (kind == int(Fault::Drop))
		QVERIFY2(!logs.constFirst().contains(QStringLiteral("HTTP")), qPrintable(logs.constFirst()));
	QCOMPARE(activated->count(), 0);
	QCOMPARE(snapshot(configDir->path()), before);
	QCOMPARE(storedVersion(), withActive ? QStringLiteral("1.0.0") : QString());
}

void TestRuntimeUpdater::invalidManifests_data()
{
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<bool>("withActive");

	for (const bool active : {false, true}) {
		const char *column = active ? ", active" : ", bundled";
		QTest::addRow("ok false%s", column) << QByteArray(R"({"ok":false,"widget":"event-goal"})") << active;
		QTest::addRow("ok a string%s", column) << QByteArray(R"({"ok":"true"})") << active;
		QTest::addRow("ok missing%s", column) << QByteArray(R"({"widget":"event-goal"})") << active;
		QTest::addRow("array%s", column) << QByteArray(R"([{"ok":true}])") << active;
		QTest::addRow("not json%s", column) << QByteArray("<html>") << active;
	}
}

void TestRuntimeUpdater::invalidManifests()
{
	QFETCH(QByteArray, body);
	QFETCH(bool, withActive);

	RuntimeUpdater *u = makeUpdater();
	if (withActive)
		QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	const FileMap before = snapshot(configDir->path());
	sim->setManifestOverride(body);
	QVERIFY(runCheck());

	QCOMPARE(u->statusText(), withActive ? QStringLiteral("Runtime 1.0.0 · manifest retry later")
					     : QStringLiteral("Runtime: invalid manifest"));
	QCOMPARE(logs, QStringList{QStringLiteral("Runtime update manifest was invalid.")});
	QCOMPARE(activated->count(), 0);
	QCOMPARE(snapshot(configDir->path()), before);
}

void TestRuntimeUpdater::refusals_data()
{
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<bool>("withActive");
	QTest::addColumn<QString>("message");

	const QByteArray file =
		R"({"path":"index.html","url":"http://127.0.0.1:1/i","sha256":")" + QByteArray(64, 'a') + R"("})";
	const auto manifest = [&](const QByteArray &widget, const QByteArray &version, const QByteArray &extra,
				  const QByteArray &files) {
		return R"({"ok":true,"widget":")" + widget + R"(","runtime_version":")" + version + '"' + extra +
		       R"(,"files":)" + files + "}";
	};
	for (const bool active : {false, true}) {
		const char *column = active ? ", active" : ", bundled";
		QTest::addRow("wrong widget%s", column)
			<< manifest("Event-Goal", "2.0.0", "", "[" + file + "]") << active << "wrong widget manifest";
		QTest::addRow("version with plus%s", column)
			<< manifest("event-goal", "1.2.3+build", "", "[" + file + "]") << active
			<< "invalid runtime version";
		QTest::addRow("version dot dot%s", column)
			<< manifest("event-goal", "..", "", "[" + file + "]") << active << "invalid runtime version";
		QTest::addRow("version dot%s", column)
			<< manifest("event-goal", ".", "", "[" + file + "]") << active << "invalid runtime version";
		QTest::addRow("plugin too old%s", column)
			<< manifest("event-goal", "2.0.0", R"(,"min_plugin_version":"0.4.10")", "[" + file + "]")
			<< active << "plugin 0.4.10+ required";
		QTest::addRow("no files%s", column)
			<< manifest("event-goal", "2.0.0", "", "[]") << active << "manifest has no files";
		QTest::addRow("entry not an object%s", column)
			<< manifest("event-goal", "2.0.0", "", "[1]") << active << "invalid file entry";
		QTest::addRow("unsafe path%s", column)
			<< manifest("event-goal", "2.0.0", "",
				    R"([{"path":"../index.html","url":"http://x/","sha256":")" + QByteArray(64, 'a') +
					    "\"}]")
			<< active << "unsafe runtime file entry";
	}
}

void TestRuntimeUpdater::refusals()
{
	QFETCH(QByteArray, body);
	QFETCH(bool, withActive);
	QFETCH(QString, message);

	RuntimeUpdater *u = makeUpdater();
	if (withActive)
		QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	// The cache root's parent (the config folder) and everything in it must come through untouched.
	QVERIFY(writeFile(configDir->path() + QStringLiteral("/runtime/index.html"), "parent of the cache root"));
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/index.html"), "the cache root itself"));
	const FileMap before = snapshot(configDir->path());
	sim->setManifestOverride(body);
	QVERIFY(runCheck());

	QCOMPARE(u->statusText(), QStringLiteral("Runtime: %1").arg(message));
	QCOMPARE(logs, QStringList{QStringLiteral("Runtime update skipped: %1").arg(message)});
	QCOMPARE(activated->count(), 0);
	QCOMPARE(snapshot(configDir->path()), before);
	QVERIFY(sim->requestsTo("/i").isEmpty());
}

void TestRuntimeUpdater::upToDateAndLostIndex()
{
	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · up to date"));
	QVERIFY(logs.isEmpty());
	QCOMPARE(activated->count(), 0);
	QVERIFY(sim->requests().size() > 0);
	for (const kelpsim::RequestRecord &request : sim->requests())
		QVERIFY(!request.path.startsWith(kFilesPrefix));

	// The active version's folder lost its page: the same version is fetched again.
	QVERIFY(QFile::remove(cacheRoot() + QStringLiteral("/1.0.0/index.html")));
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · active"));
	QCOMPARE(activated->count(), 1);
	QFile page(cacheRoot() + QStringLiteral("/1.0.0/index.html"));
	QVERIFY(page.open(QIODevice::ReadOnly));
	QCOMPARE(page.readAll(), QByteArray("served 1.0.0"));
}

void TestRuntimeUpdater::olderVersionOnDiskActivates()
{
	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("2.0.0")));
	// Versions are never ordered: an older one still on disk simply becomes active.
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/1.0.0/index.html"), "older"));
	QVERIFY(!publish(QStringLiteral("1.0.0"), {{QStringLiteral("index.html"), "served 1.0.0"}}).isEmpty());
	QVERIFY(runCheck());

	QCOMPARE(statuses, QStringList({QStringLiteral("Runtime 2.0.0 · checking…"),
					QStringLiteral("Runtime 1.0.0 · activated")}));
	QVERIFY(logs.isEmpty());
	QCOMPARE(activated->count(), 1);
	QCOMPARE(activated->constFirst(),
		 QVariantList({cacheRoot() + QStringLiteral("/1.0.0"), QStringLiteral("1.0.0"), true}));
	QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
	QCOMPARE(u->activeVersion(), QStringLiteral("1.0.0"));
	// Activated as found on disk, without downloading.
	QFile page(cacheRoot() + QStringLiteral("/1.0.0/index.html"));
	QVERIFY(page.open(QIODevice::ReadOnly));
	QCOMPARE(page.readAll(), QByteArray("older"));
	for (const kelpsim::RequestRecord &request : sim->requests())
		QVERIFY(!request.path.startsWith(kFilesPrefix));
}

void TestRuntimeUpdater::threeFileDownload()
{
	const FileMap files{{QStringLiteral("css/style.css"), "body{}"},
			    {QStringLiteral("index.html"), "<html>v2</html>"},
			    {QStringLiteral("js/app.js"), QByteArray(300000, 'j')}};
	QVERIFY(!publish(QStringLiteral("2.0.0"), files).isEmpty());
	RuntimeUpdater *u = makeUpdater();
	QVERIFY(runCheck());

	QCOMPARE(statuses, QStringList({QStringLiteral("Runtime: checking for updates…"),
					QStringLiteral("Runtime 2.0.0 · downloading 0/3"),
					QStringLiteral("Runtime 2.0.0 · downloading 1/3"),
					QStringLiteral("Runtime 2.0.0 · downloading 2/3"),
					QStringLiteral("Runtime 2.0.0 · downloading 3/3"),
					QStringLiteral("Runtime 2.0.0 · active")}));
	QCOMPARE(logs, QStringList({QStringLiteral("Runtime 2.0.0 update found. Downloading…"),
				    QStringLiteral("Runtime 2.0.0 verified and activated.")}));
	QCOMPARE(activated->count(), 1);
	QCOMPARE(activated->constFirst(),
		 QVariantList({cacheRoot() + QStringLiteral("/2.0.0"), QStringLiteral("2.0.0"), true}));
	QCOMPARE(storedVersion(), QStringLiteral("2.0.0"));
	QCOMPARE(u->activeVersion(), QStringLiteral("2.0.0"));
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/2.0.0")),
		 FileMap({{QStringLiteral("css"), "<dir>"},
			  {QStringLiteral("css/style.css"), files.value(QStringLiteral("css/style.css"))},
			  {QStringLiteral("index.html"), files.value(QStringLiteral("index.html"))},
			  {QStringLiteral("js"), "<dir>"},
			  {QStringLiteral("js/app.js"), files.value(QStringLiteral("js/app.js"))}}));
	QCOMPARE(QDir(cacheRoot()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
		 QStringList{QStringLiteral("2.0.0")});

	QStringList fetched;
	for (const kelpsim::RequestRecord &request : sim->requests()) {
		if (!request.path.startsWith(kFilesPrefix))
			continue;
		fetched.append(QString::fromLatin1(request.path.mid(kFilesPrefix.size())));
		QCOMPARE(request.header("Accept"), QByteArray("*/*"));
		QCOMPARE(request.header("User-Agent"), QByteArray("KELP-OBS/0.4.2 RuntimeUpdater"));
	}
	QCOMPARE(fetched, QStringList({QStringLiteral("2.0.0/css/style.css"), QStringLiteral("2.0.0/index.html"),
				       QStringLiteral("2.0.0/js/app.js")}));
}

void TestRuntimeUpdater::acceptedEntries_data()
{
	QTest::addColumn<QString>("sha256");
	QTest::addColumn<QJsonValue>("size");

	const QString digest = QString::fromLatin1(sha256Hex("twelve bytes"));
	QTest::newRow("uppercase digest") << digest.toUpper() << QJsonValue(12);
	QTest::newRow("fractional size truncated") << digest << QJsonValue(12.9);
	QTest::newRow("size absent") << digest << QJsonValue(QJsonValue::Undefined);
	QTest::newRow("size negative") << digest << QJsonValue(-1);
	QTest::newRow("size a string") << digest << QJsonValue(QStringLiteral("3"));
}

void TestRuntimeUpdater::acceptedEntries()
{
	QFETCH(QString, sha256);
	QFETCH(QJsonValue, size);

	QVERIFY(!publish(QStringLiteral("src"), {{QStringLiteral("index.html"), "twelve bytes"}}).isEmpty());
	QJsonObject file = entry(QStringLiteral("src"), QStringLiteral("index.html"), "twelve bytes");
	file.insert(QStringLiteral("sha256"), sha256);
	if (size.isUndefined())
		file.remove(QStringLiteral("size"));
	else
		file.insert(QStringLiteral("size"), size);
	sim->setManifestOverride(manifestWith(QStringLiteral("2.0.0"), {file}));

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(activated->count(), 1);
}

void TestRuntimeUpdater::downloadFailures_data()
{
	QTest::addColumn<QByteArray>("manifest"); // empty: the published 2.0.0
	QTest::addColumn<int>("faultKind");       // -1: none
	QTest::addColumn<int>("faultSkip");
	QTest::addColumn<QString>("reason");   // a regular expression
	QTest::addColumn<int>("fileRequests"); // distinct file URLs requested

	const auto file = [](const QString &path, const QString &served, const QByteArray &data) {
		return QJsonObject{{QStringLiteral("path"), path},
				   {QStringLiteral("url"), QStringLiteral("$ORIGIN/runtime/files/2.0.0/") + served},
				   {QStringLiteral("sha256"), QString::fromLatin1(sha256Hex(data))},
				   {QStringLiteral("size"), qint64(data.size())}};
	};
	const auto with = [](QJsonObject entry, const QString &key, const QJsonValue &value) {
		entry.insert(key, value);
		return entry;
	};
	const auto manifest = [](const QJsonArray &files) {
		return QJsonDocument(QJsonObject{{QStringLiteral("ok"), true},
						 {QStringLiteral("widget"), QStringLiteral("event-goal")},
						 {QStringLiteral("runtime_version"), QStringLiteral("2.0.0")},
						 {QStringLiteral("files"), files}})
			.toJson(QJsonDocument::Compact);
	};
	const QJsonObject css = file(QStringLiteral("css/style.css"), QStringLiteral("css/style.css"), "body{}");
	const QJsonObject index = file(QStringLiteral("index.html"), QStringLiteral("index.html"), "<html>v2</html>");
	const QJsonObject app = file(QStringLiteral("js/app.js"), QStringLiteral("js/app.js"), "app()");
	const int none = -1;

	QTest::newRow("second of three answers 404")
		<< QByteArray() << int(Fault::Status) << 1 << "index\\.html failed: HTTP 404 · .+" << 2;
	QTest::newRow("connection dropped")
		<< QByteArray() << int(Fault::Drop) << 0 << "css/style\\.css failed: .+" << 1;
	QTest::newRow("cut mid body") << QByteArray() << int(Fault::DropMidBody) << 2 << "js/app\\.js failed: .+" << 3;
	QTest::newRow("short body") << QByteArray() << int(Fault::ShortBody) << 0
				    << "css/style\\.css failed: .+|css/style\\.css SHA256 mismatch" << 1;
	QTest::newRow("wrong bytes") << QByteArray() << int(Fault::WrongBytes) << 1 << "index\\.html SHA256 mismatch"
				     << 2;
	QTest::newRow("digest not hex") << manifest({css, with(index, "sha256", QString(64, 'z')), app}) << none << 0
					<< "index\\.html SHA256 mismatch" << 2;
	QTest::newRow("size zero for a non-empty file")
		<< manifest({with(css, "size", 0), index, app}) << none << 0 << "css/style\\.css size mismatch" << 1;
	QTest::newRow("size above the body")
		<< manifest({css, with(index, "size", 100), app}) << none << 0 << "index\\.html size mismatch" << 2;
	QTest::newRow("digest tested before size")
		<< manifest({css, with(with(index, "size", 100), "sha256", QString(64, 'a')), app}) << none << 0
		<< "index\\.html SHA256 mismatch" << 2;
	QTest::newRow("no index.html") << manifest({css, app}) << none << 0 << "downloaded runtime is incomplete" << 2;
	QTest::newRow("index.html only nested")
		<< manifest({file(QStringLiteral("js/index.html"), QStringLiteral("index.html"), "<html>v2</html>")})
		<< none << 0 << "downloaded runtime is incomplete" << 1;
	QTest::newRow("directory blocked by a file")
		<< manifest({index, file(QStringLiteral("js"), QStringLiteral("js/app.js"), "app()"), app}) << none << 0
		<< "could not create directory for js/app\\.js" << 2;
	QTest::newRow("file blocked by a directory")
		<< manifest({app, file(QStringLiteral("js"), QStringLiteral("js/app.js"), "app()"), index}) << none << 0
		<< "could not save js" << 1;
	QTest::newRow("unreachable host")
		<< manifest({with(index, "url", QStringLiteral("http://127.0.0.1:1/index.html"))}) << none << 0
		<< "index\\.html failed: .+" << 0;
}

void TestRuntimeUpdater::downloadFailures()
{
	QFETCH(QByteArray, manifest);
	QFETCH(int, faultKind);
	QFETCH(int, faultSkip);
	QFETCH(QString, reason);
	QFETCH(int, fileRequests);

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/0.9.0/index.html"), "another version"));
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/0.8.0/stale.txt"), "a version without a page"));
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("css/style.css"), "body{}"},
						   {QStringLiteral("index.html"), "<html>v2</html>"},
						   {QStringLiteral("js/app.js"), "app()"}})
			 .isEmpty());
	if (!manifest.isEmpty())
		sim->setManifestOverride(manifest.replace("$ORIGIN", sim->origin().toUtf8()));
	if (faultKind >= 0) {
		Fault fault;
		fault.path = kFilesPrefix;
		fault.kind = Fault::Kind(faultKind);
		fault.status = 404;
		fault.skip = faultSkip;
		fault.count = -1;
		sim->addFault(fault);
	}
	const FileMap before = snapshot(configDir->path());
	sim->clearRequests();
	QVERIFY(runCheck());

	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · update failed"));
	QCOMPARE(logs.size(), 2);
	QVERIFY(logs.at(0).endsWith(QStringLiteral(" update found. Downloading…")));
	const QRegularExpression expected(QStringLiteral("^Runtime update failed safely: (%1)$").arg(reason));
	QVERIFY2(expected.match(logs.at(1)).hasMatch(), qPrintable(logs.at(1)));
	QCOMPARE(activated->count(), 0);
	QCOMPARE(u->activeVersion(), QStringLiteral("1.0.0"));
	QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
	QCOMPARE(snapshot(configDir->path()), before);
	QVERIFY(stagingFolders(cacheRoot()).isEmpty());
	// Distinct paths: the network layer may resend a request whose connection dropped before any answer.
	QSet<QByteArray> fetched;
	for (const kelpsim::RequestRecord &request : sim->requests()) {
		if (request.path.startsWith(kFilesPrefix))
			fetched.insert(request.path);
	}
	QCOMPARE(int(fetched.size()), fileRequests);
	QVERIFY(!u->isBusy());
}

void TestRuntimeUpdater::failureWithoutActiveRuntime()
{
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("index.html"), "<html>v2</html>"}}).isEmpty());
	Fault fault;
	fault.path = kFilesPrefix;
	fault.status = 500;
	sim->addFault(fault);
	RuntimeUpdater *u = makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: update failed · bundled fallback"));
	QCOMPARE(logs.size(), 2);
	QVERIFY2(logs.at(1).startsWith(QStringLiteral("Runtime update failed safely: index.html failed: HTTP 500 · ")),
		 qPrintable(logs.at(1)));
	QCOMPARE(activated->count(), 0);
	QCOMPARE(u->activeVersion(), QString());
	QCOMPARE(storedVersion(), QString());
	QVERIFY(QDir(cacheRoot()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

	// No back-off: the next check downloads everything again.
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(activated->count(), 1);
}

void TestRuntimeUpdater::activationFailureKeepsRuntime()
{
	// A leftover 2.0.0 without a page that cannot be removed makes the final rename fail.
	const QString blocked = cacheRoot() + QStringLiteral("/2.0.0/locked");
	QVERIFY(writeFile(blocked + QStringLiteral("/keep.txt"), "cannot go"));
#ifdef Q_OS_UNIX
	const bool root = ::geteuid() == 0;
#else
	const bool root = false;
#endif
	struct Unlock {
		QString path;
		bool immutable;
		~Unlock()
		{
			if (immutable)
				QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
			else
				QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
		}
	} unlock{blocked, root};
	if (root) {
		// Permissions do not bind root; the immutable attribute does, where the file system has it.
		if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), blocked}) != 0)
			QSKIP("cannot make a folder undeletable for root here");
	} else {
		QVERIFY(QFile::setPermissions(blocked, QFile::ReadOwner | QFile::ExeOwner));
	}
	QVERIFY(!QDir(cacheRoot() + QStringLiteral("/2.0.0")).removeRecursively());

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("index.html"), "<html>v2</html>"}}).isEmpty());
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · update failed"));
	QCOMPARE(logs.constLast(),
		 QStringLiteral("Runtime update failed safely: could not activate runtime directory"));
	QCOMPARE(activated->count(), 0);
	QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
	QVERIFY(hasRuntimeIndex(cacheRoot() + QStringLiteral("/1.0.0")));
	QVERIFY(stagingFolders(cacheRoot()).isEmpty());
}

void TestRuntimeUpdater::stagingCannotBeCreated()
{
	// The cache root is a file, so nothing can be created below it.
	QVERIFY(writeFile(cacheRoot(), "not a folder"));
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("index.html"), "<html>v2</html>"}}).isEmpty());
	makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(statuses, QStringList({QStringLiteral("Runtime: checking for updates…"),
					QStringLiteral("Runtime: update failed · bundled fallback")}));
	QCOMPARE(logs, QStringList{QStringLiteral("Runtime update failed safely: could not create staging directory")});
	QCOMPARE(activated->count(), 0);
	QVERIFY(QFileInfo(cacheRoot()).isFile());
	for (const kelpsim::RequestRecord &request : sim->requests())
		QVERIFY(!request.path.startsWith(kFilesPrefix));
}

void TestRuntimeUpdater::samePathTwice()
{
	QVERIFY(!publish(QStringLiteral("src"),
			 {{QStringLiteral("first.html"), "first"}, {QStringLiteral("second.html"), "second"}})
			 .isEmpty());
	QJsonObject first = entry(QStringLiteral("src"), QStringLiteral("first.html"), "first");
	QJsonObject second = entry(QStringLiteral("src"), QStringLiteral("second.html"), "second");
	first.insert(QStringLiteral("path"), QStringLiteral("index.html"));
	second.insert(QStringLiteral("path"), QStringLiteral("index.html"));
	sim->setManifestOverride(manifestWith(QStringLiteral("3.0.0"), {first, second}));

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 3.0.0 · active"));
	QVERIFY(statuses.contains(QStringLiteral("Runtime 3.0.0 · downloading 2/2")));
	QCOMPARE(sim->requestsTo("/runtime/files/src/first.html").size(), 1);
	QCOMPARE(sim->requestsTo("/runtime/files/src/second.html").size(), 1);
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/3.0.0")), FileMap({{QStringLiteral("index.html"), "second"}}));
}

void TestRuntimeUpdater::leftoverVersionFolderReplaced()
{
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/2.0.0/stale/old.js"), "old"));
	storeVersion(QStringLiteral("2.0.0"));
	RuntimeUpdater *u = makeUpdater();
	u->start();
	QCOMPARE(activated->count(), 0);
	QCOMPARE(storedVersion(), QString());

	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("index.html"), "<html>v2</html>"}}).isEmpty());
	QTRY_COMPARE_WITH_TIMEOUT(activated->count(), 1, 10000);
	QTRY_VERIFY(!u->isBusy());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/2.0.0")),
		 FileMap({{QStringLiteral("index.html"), "<html>v2</html>"}}));
	QCOMPARE(storedVersion(), QStringLiteral("2.0.0"));
}

void TestRuntimeUpdater::checkRefusedWhileBusy()
{
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("a.js"), "a"}, {QStringLiteral("index.html"), "i"}})
			 .isEmpty());
	RuntimeUpdater *u = makeUpdater();
	auto *timer = u->findChild<QTimer *>(QStringLiteral("checkTimer"));
	QVERIFY(timer);

	Fault slowManifest;
	slowManifest.path = kManifestPath;
	slowManifest.kind = Fault::Delay;
	slowManifest.delayMs = 400;
	sim->addFault(slowManifest);
	Fault slowFile = slowManifest;
	slowFile.path = kFilesPrefix;
	sim->addFault(slowFile);

	u->checkForUpdate();
	QVERIFY(u->isBusy());
	QTRY_COMPARE(sim->requestsTo(kManifestPath).size(), 1);
	const QStringList checking = statuses;
	u->checkForUpdate();
	QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
	QCOMPARE(statuses, checking);

	QTRY_COMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · downloading 0/2"));
	QTRY_VERIFY(!sim->requestsTo("/runtime/files/2.0.0/a.js").isEmpty());
	const QStringList downloading = statuses;
	u->checkForUpdate();
	QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
	QCOMPARE(statuses, downloading);
	QVERIFY(u->isBusy());

	QTRY_VERIFY(!u->isBusy());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(sim->requestsTo(kManifestPath).size(), 1);
	QCOMPARE(sim->requestsTo("/runtime/files/2.0.0/a.js").size(), 1);
}

void TestRuntimeUpdater::interruptedDownloadDoesNotBlockNext()
{
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("a.js"), "a"},
						   {QStringLiteral("b.js"), "b"},
						   {QStringLiteral("index.html"), "i"}})
			 .isEmpty());
	Fault hang;
	hang.path = kFilesPrefix;
	hang.kind = Fault::Hang;
	hang.skip = 1;
	sim->addFault(hang);

	// The process ends while the second file is in flight: its staging folder stays behind.
	RuntimeUpdater *u = makeUpdater();
	u->checkForUpdate();
	QTRY_COMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · downloading 1/3"));
	QTRY_COMPARE(sim->requestsTo("/runtime/files/2.0.0/b.js").size(), 1);
	const QStringList left = stagingFolders(cacheRoot());
	QCOMPARE(left.size(), 1);
	QVERIFY(QFileInfo::exists(cacheRoot() + QLatin1Char('/') + left.constFirst() + QStringLiteral("/a.js")));
	activated.reset();
	updater.reset();
	QCOMPARE(stagingFolders(cacheRoot()), left);

	const QRegularExpression name(QStringLiteral(
		"^\\.2\\.0\\.0\\.staging-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
	QVERIFY2(name.match(left.constFirst()).hasMatch(), qPrintable(left.constFirst()));

	u = makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(activated->count(), 1);
	// Leftovers are not swept; the new download used a folder of its own.
	QCOMPARE(stagingFolders(cacheRoot()), left);
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/2.0.0")).keys(),
		 QStringList({QStringLiteral("a.js"), QStringLiteral("b.js"), QStringLiteral("index.html")}));
}

void TestRuntimeUpdater::bodyBeyondDeclaredSizeAbandoned()
{
	EndlessServer endless(256 * EndlessServer::kChunk);
	QVERIFY(!publish(QStringLiteral("src"), {{QStringLiteral("index.html"), "page"}}).isEmpty());
	QJsonObject big{{QStringLiteral("path"), QStringLiteral("big.bin")},
			{QStringLiteral("url"), endless.url()},
			{QStringLiteral("sha256"), QString(64, QLatin1Char('0'))},
			{QStringLiteral("size"), 1000}};
	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	sim->setManifestOverride(manifestWith(
		QStringLiteral("2.0.0"), {entry(QStringLiteral("src"), QStringLiteral("index.html"), "page"), big}));
	QVERIFY(runCheck());
	QCOMPARE(logs.constLast(), QStringLiteral("Runtime update failed safely: big.bin size mismatch"));
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · update failed"));
	QTRY_VERIFY(endless.peerClosed);
	QVERIFY2(endless.sent < endless.cap, qPrintable(QString::number(endless.sent)));
	QVERIFY(stagingFolders(cacheRoot()).isEmpty());
	QCOMPARE(activated->count(), 0);
}

void TestRuntimeUpdater::fileSizeCapped_data()
{
	QTest::addColumn<QJsonValue>("declaredSize");
	QTest::newRow("no size") << QJsonValue();
	QTest::newRow("huge declared size") << QJsonValue(1e12);
}

void TestRuntimeUpdater::fileSizeCapped()
{
	QFETCH(QJsonValue, declaredSize);
	EndlessServer endless(RuntimeUpdater::kMaxFileBytes + 64 * EndlessServer::kChunk);
	QJsonObject big{{QStringLiteral("path"), QStringLiteral("index.html")},
			{QStringLiteral("url"), endless.url()},
			{QStringLiteral("sha256"), QString(64, QLatin1Char('0'))}};
	if (!declaredSize.isUndefined())
		big.insert(QStringLiteral("size"), declaredSize);
	sim->setManifestOverride(manifestWith(QStringLiteral("2.0.0"), {big}));

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(logs.constLast(),
		 QStringLiteral("Runtime update failed safely: index.html failed: file is larger than 64 MiB"));
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: update failed · bundled fallback"));
	QTRY_VERIFY(endless.peerClosed);
	QVERIFY2(endless.sent < endless.cap, qPrintable(QString::number(endless.sent)));
	QVERIFY(QDir(cacheRoot()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void TestRuntimeUpdater::stalledTransferTimesOut()
{
	// The one test that really waits out the 20 s transfer timeout.
	QVERIFY(!publish(QStringLiteral("2.0.0"), {{QStringLiteral("index.html"), "<html>v2</html>"}}).isEmpty());
	Fault hang;
	hang.path = kFilesPrefix;
	hang.kind = Fault::Hang;
	sim->addFault(hang);
	RuntimeUpdater *u = makeUpdater();
	QElapsedTimer clock;
	clock.start();
	QVERIFY(runCheck());
	QVERIFY2(clock.elapsed() >= 19000, qPrintable(QString::number(clock.elapsed())));
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: update failed · bundled fallback"));
	QVERIFY2(logs.constLast().startsWith(QStringLiteral("Runtime update failed safely: index.html failed: ")),
		 qPrintable(logs.constLast()));
	QVERIFY(stagingFolders(cacheRoot()).isEmpty());
}

QTEST_GUILESS_MAIN(TestRuntimeUpdater)
#include "test-runtime-updater.moc"
