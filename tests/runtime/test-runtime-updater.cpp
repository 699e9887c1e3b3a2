#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "runtime/runtime-updater.h"
#include "service-sim.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using kelpsim::Fault;
using kelpsim::ServiceSim;

Q_DECLARE_METATYPE(kelpsim::Fault)

namespace {
const QByteArray kManifestPath = "/api/v40/runtime/manifest";
const QByteArray kFilesPrefix = "/runtime/files/";

using FileMap = QMap<QString, QByteArray>;

bool writeFile(const QString &path, const QByteArray &data)
{
	QFile file(path);
	return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
	       file.write(data) == data.size();
}

// Every entry below root, hidden ones included, with each file's bytes: proof that a tree was left alone.
FileMap snapshot(const QString &root)
{
	FileMap tree;
	QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
	while (it.hasNext()) {
		QFile file(it.next());
		tree.insert(QDir(root).relativeFilePath(file.fileName()),
			    file.open(QIODevice::ReadOnly) ? file.readAll() : "<dir>");
	}
	return tree;
}

QString storedVersion()
{
	return QSettings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication))
		.value(QStringLiteral("runtime/event_goal_version"))
		.toString();
}

Fault fault(const QByteArray &path, Fault::Kind kind, int status = 500, int skip = 0)
{
	Fault f;
	f.path = path;
	f.kind = kind;
	f.status = status;
	f.skip = skip;
	f.delayMs = 400;
	return f;
}

QJsonObject fileEntry(const QString &path, const QString &url, const QByteArray &data)
{
	return QJsonObject{
		{"path", path},
		{"url", url},
		{"sha256", QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex())},
		{"size", qint64(data.size())}};
}

QByteArray manifestWith(const QJsonArray &files, const QJsonObject &changes = {})
{
	QJsonObject manifest{{"ok", true}, {"widget", "event-goal"}, {"runtime_version", "2.0.0"}, {"files", files}};
	for (auto it = changes.begin(); it != changes.end(); ++it)
		manifest.insert(it.key(), it.value());
	return QJsonDocument(manifest).toJson(QJsonDocument::Compact);
}
} // namespace

class TestRuntimeUpdater : public QObject {
	Q_OBJECT

private slots:
	void initTestCase() { setKelpModuleHandle(standin::module()); }
	void init();
	void cleanup();

	void refusedCachedRuntime_data();
	void refusedCachedRuntime();
	void downloadActivatesOnceComplete();
	void updateOutcomes_data();
	void updateOutcomes();
	void activationFailureKeepsRuntime();
	void interruptedDownloadDoesNotBlockNext();
	void oversizedBodyAbandoned_data();
	void oversizedBodyAbandoned();
	void stalledTransferTimesOut();

private:
	RuntimeUpdater *makeUpdater();
	QString cacheRoot() const { return home->filePath(QStringLiteral("config/runtime/event-goal")); }
	bool publish(const QString &version, const FileMap &files);
	bool runCheck();
	bool activateFromDisk(const QString &version);

	std::unique_ptr<QTemporaryDir> home;
	std::unique_ptr<ServiceSim> sim;
	std::unique_ptr<RuntimeUpdater> updater;
	std::unique_ptr<QSignalSpy> activated;
	QStringList statuses;
	QStringList logs;
};

void TestRuntimeUpdater::init()
{
	home = std::make_unique<QTemporaryDir>();
	QVERIFY(home->isValid());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home->filePath(QStringLiteral("settings")));
	standin::setModuleConfigPath(home->filePath(QStringLiteral("config")));
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

bool TestRuntimeUpdater::publish(const QString &version, const FileMap &files)
{
	const QString folder = home->filePath(QStringLiteral("published/") + version);
	for (auto it = files.cbegin(); it != files.cend(); ++it) {
		if (!writeFile(folder + QLatin1Char('/') + it.key(), it.value()))
			return false;
	}
	return sim->publishRuntime(version, folder);
}

bool TestRuntimeUpdater::runCheck()
{
	updater->checkForUpdate();
	return updater->isBusy() && QTest::qWaitFor([this] { return !updater->isBusy(); }, 30000);
}

// Makes `version` the active runtime through a check that finds its folder already on disk.
bool TestRuntimeUpdater::activateFromDisk(const QString &version)
{
	if (!publish(version, {{"index.html", "served " + version.toUtf8()}}) ||
	    !writeFile(cacheRoot() + QLatin1Char('/') + version + QStringLiteral("/index.html"), "on disk") ||
	    !runCheck() || updater->activeVersion() != version)
		return false;
	logs.clear();
	activated->clear();
	return true;
}

void TestRuntimeUpdater::refusedCachedRuntime_data()
{
	QTest::addColumn<QString>("key");
	QTest::addColumn<QString>("indexAt"); // below the cache root, empty for none

	QTest::newRow("index missing") << "1.0.0" << QString();
	QTest::newRow("index only nested") << "1.0.0" << QString("1.0.0/sub/index.html");
	QTest::newRow("dots name the parent") << ".." << QString("../index.html");
	QTest::newRow("escapes the cache") << "../elsewhere" << QString("../elsewhere/index.html");
	QTest::newRow("names the root itself") << "." << QString("index.html");
}

void TestRuntimeUpdater::refusedCachedRuntime()
{
	QFETCH(QString, key);
	QFETCH(QString, indexAt);
	QSettings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication))
		.setValue(QStringLiteral("runtime/event_goal_version"), key);
	QVERIFY(QDir().mkpath(cacheRoot()));
	if (!indexAt.isEmpty())
		QVERIFY(writeFile(cacheRoot() + QLatin1Char('/') + indexAt, "cached"));

	makeUpdater()->start();
	QCOMPARE(activated->count(), 0);
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime: bundled"));
	QCOMPARE(storedVersion(), QString());
}

void TestRuntimeUpdater::downloadActivatesOnceComplete()
{
	// A leftover folder of the same version, without a page, is replaced rather than merged.
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/2.0.0/stale/old.js"), "old"));
	const FileMap files{
		{"css/style.css", "body{}"}, {"index.html", "<html>v2</html>"}, {"js/app.js", QByteArray(300000, 'j')}};
	QVERIFY(publish(QStringLiteral("2.0.0"), files));
	sim->addFault(fault(kManifestPath, Fault::Delay));
	sim->addFault(fault(kFilesPrefix, Fault::Delay));
	// Further checks while one runs are ignored, both while checking and while downloading.
	RuntimeUpdater *u = makeUpdater();
	u->checkForUpdate();
	QTRY_COMPARE(sim->requests().size(), 1);
	u->checkForUpdate();
	QTRY_COMPARE(sim->requests().size(), 2);
	u->checkForUpdate();
	QTRY_VERIFY(!u->isBusy());
	QCOMPARE(sim->requests().size(), 4);
	QCOMPARE(statuses, QStringList({"Runtime: checking for updates…", "Runtime 2.0.0 · downloading 0/3",
					"Runtime 2.0.0 · downloading 1/3", "Runtime 2.0.0 · downloading 2/3",
					"Runtime 2.0.0 · downloading 3/3", "Runtime 2.0.0 · active"}));
	QCOMPARE(activated->count(), 1);
	QCOMPARE(activated->constFirst(), QVariantList({cacheRoot() + QStringLiteral("/2.0.0"), "2.0.0", true}));
	QCOMPARE(storedVersion(), QStringLiteral("2.0.0"));
	FileMap expected = files;
	expected.insert("css", "<dir>");
	expected.insert("js", "<dir>");
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/2.0.0")), expected);
	QCOMPARE(QDir(cacheRoot()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
		 QStringList{"2.0.0"});

	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · up to date"));
	// Versions are never ordered: an older one the manifest names is activated as found on disk.
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/1.0.0/index.html"), "older"));
	QVERIFY(publish(QStringLiteral("1.0.0"), {{"index.html", "served 1.0.0"}}));
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · activated"));
	QCOMPARE(activated->constLast(), QVariantList({cacheRoot() + QStringLiteral("/1.0.0"), "1.0.0", true}));
	QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/1.0.0")), FileMap({{"index.html", "older"}}));
	QCOMPARE(sim->requests().size(), 6); // two more manifests, no file
}

void TestRuntimeUpdater::updateOutcomes_data()
{
	QTest::addColumn<QByteArray>("manifest"); // empty: the published 2.0.0
	QTest::addColumn<Fault>("fault");         // none without a path
	QTest::addColumn<QString>("status");
	QTest::addColumn<QString>("log"); // a regular expression for the last line

	const auto file = [](const QString &path, const QByteArray &data, const QString &served = QString()) {
		return fileEntry(path, "$ORIGIN/runtime/files/2.0.0/" + (served.isEmpty() ? path : served), data);
	};
	const auto with = [](QJsonObject entry, const QString &key, const QJsonValue &value) {
		entry.insert(key, value);
		return entry;
	};
	const QJsonObject css = file("css/style.css", "body{}");
	const QJsonObject index = file("index.html", "<html>v2</html>");
	const QJsonObject app = file("js/app.js", "app()");
	const QByteArray published;
	const Fault none;

	const QString delayed = QStringLiteral("Runtime 1.0.0 · update check delayed");
	QTest::newRow("manifest HTTP 500") << published << fault(kManifestPath, Fault::Status) << delayed
					   << "Runtime update check failed: HTTP 500.*";
	QTest::newRow("manifest HTTP 204") << published << fault(kManifestPath, Fault::Status, 204) << delayed
					   << "Runtime update check failed: HTTP 204.*";
	QTest::newRow("manifest dropped")
		<< published << fault(kManifestPath, Fault::Drop) << delayed << "Runtime update check failed: .+";
	for (const char *body : {R"({"ok":false,"widget":"event-goal"})", R"({"ok":"true"})", "<html>"})
		QTest::newRow(body) << QByteArray(body) << none << "Runtime 1.0.0 · manifest retry later"
				    << "Runtime update manifest was invalid\\.";
	// Versions and paths that name something outside a version folder of their own.
	const QString badVersion = QStringLiteral("invalid runtime version");
	QTest::newRow("version dot") << manifestWith({index}, {{"runtime_version", "."}}) << none
				     << "Runtime: " + badVersion << "Runtime update skipped: " + badVersion;
	QTest::newRow("version dot dot") << manifestWith({index}, {{"runtime_version", ".."}}) << none
					 << "Runtime: " + badVersion << "Runtime update skipped: " + badVersion;
	QTest::newRow("unsafe path") << manifestWith({with(index, "path", "../index.html")}) << none
				     << "Runtime: unsafe runtime file entry"
				     << "Runtime update skipped: unsafe runtime file entry";

	const QString active = QStringLiteral("Runtime 2.0.0 · active");
	const QString verified = QStringLiteral("Runtime 2\\.0\\.0 verified and activated\\.");
	QTest::newRow("uppercase digest") << manifestWith({with(index, "sha256", index["sha256"].toString().toUpper())})
					  << none << active << verified;

	const QString failed = QStringLiteral("Runtime 1.0.0 · update failed");
	const QString safely = QStringLiteral("Runtime update failed safely: ");
	QTest::newRow("second file 404") << published << fault(kFilesPrefix, Fault::Status, 404, 1) << failed
					 << safely + "index\\.html failed: HTTP 404.*";
	QTest::newRow("third file cut") << published << fault(kFilesPrefix, Fault::DropMidBody, 0, 2) << failed
					<< safely + "js/app\\.js failed: .+";
	QTest::newRow("wrong bytes") << published << fault(kFilesPrefix, Fault::WrongBytes, 0, 1) << failed
				     << safely + "index\\.html SHA256 mismatch";
	QTest::newRow("size above the body") << manifestWith({css, with(index, "size", 100), app}) << none << failed
					     << safely + "index\\.html size mismatch";
	QTest::newRow("no index.html") << manifestWith({css, app}) << none << failed
				       << safely + "downloaded runtime is incomplete";
	QTest::newRow("directory blocked by a file")
		<< manifestWith({index, file("js", "app()", "js/app.js"), app}) << none << failed
		<< safely + "could not create directory for js/app\\.js";
}

void TestRuntimeUpdater::updateOutcomes()
{
	QFETCH(QByteArray, manifest);
	QFETCH(Fault, fault);
	QFETCH(QString, status);
	QFETCH(QString, log);

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	QVERIFY(publish(QStringLiteral("2.0.0"),
			{{"css/style.css", "body{}"}, {"index.html", "<html>v2</html>"}, {"js/app.js", "app()"}}));
	// What a version of "." or ".." would name must come through untouched too.
	QVERIFY(writeFile(home->filePath(QStringLiteral("config/runtime/index.html")), "parent of the cache root"));
	QVERIFY(writeFile(cacheRoot() + QStringLiteral("/index.html"), "the cache root itself"));
	const FileMap before = snapshot(home->filePath(QStringLiteral("config")));
	if (!manifest.isEmpty())
		sim->setManifestOverride(manifest.replace("$ORIGIN", sim->origin().toUtf8()));
	if (!fault.path.isEmpty())
		sim->addFault(fault);
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), status);
	QVERIFY2(QRegularExpression("^(" + log + ")$").match(logs.constLast()).hasMatch(),
		 qPrintable(logs.constLast()));
	if (activated->isEmpty()) {
		QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
		QCOMPARE(snapshot(home->filePath(QStringLiteral("config"))), before);
		// Nothing left behind holds back the next check.
		sim->setManifestOverride(QByteArray());
		sim->clearFaults();
		QVERIFY(runCheck());
	}
	QCOMPARE(activated->count(), 1);
	QCOMPARE(storedVersion(), QStringLiteral("2.0.0"));
}

void TestRuntimeUpdater::activationFailureKeepsRuntime()
{
	// A leftover 2.0.0 without a page that cannot be removed makes the final rename fail. Permissions do
	// not bind root; the immutable attribute does, where the file system has it.
	const QString blocked = cacheRoot() + QStringLiteral("/2.0.0/locked");
	QVERIFY(writeFile(blocked + QStringLiteral("/keep.txt"), "cannot go"));
	if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), blocked}) != 0)
		QSKIP("cannot make a folder undeletable here");
	const auto unlock = qScopeGuard([&] { QProcess::execute(QStringLiteral("chattr"), {"-i", blocked}); });

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(activateFromDisk(QStringLiteral("1.0.0")));
	QVERIFY(publish(QStringLiteral("2.0.0"), {{"index.html", "<html>v2</html>"}}));
	const FileMap before = snapshot(cacheRoot());
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 1.0.0 · update failed"));
	QCOMPARE(logs.constLast(),
		 QStringLiteral("Runtime update failed safely: could not activate runtime directory"));
	QCOMPARE(activated->count(), 0);
	QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
	QCOMPARE(snapshot(cacheRoot()), before);
}

void TestRuntimeUpdater::interruptedDownloadDoesNotBlockNext()
{
	QVERIFY(publish(QStringLiteral("2.0.0"), {{"a.js", "a"}, {"b.js", "b"}, {"index.html", "i"}}));
	sim->addFault(fault(kFilesPrefix, Fault::Hang, 0, 1));
	// The updater goes away while the second file is in flight, leaving its staging folder behind.
	makeUpdater()->checkForUpdate();
	QTRY_COMPARE(sim->requestsTo("/runtime/files/2.0.0/b.js").size(), 1);

	RuntimeUpdater *u = makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(u->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(snapshot(cacheRoot() + QStringLiteral("/2.0.0")),
		 FileMap({{"a.js", "a"}, {"b.js", "b"}, {"index.html", "i"}}));
}

void TestRuntimeUpdater::oversizedBodyAbandoned_data()
{
	QTest::addColumn<QJsonValue>("declaredSize");
	QTest::addColumn<QString>("reason");

	const QString tooLarge = QStringLiteral("index.html failed: file is larger than 64 MiB");
	QTest::newRow("no size") << QJsonValue() << tooLarge;
	QTest::newRow("huge declared size") << QJsonValue(1e12) << tooLarge;
	// Given up once it outgrows what was declared, long before the cap.
	QTest::newRow("beyond declared size") << QJsonValue(1000) << QStringLiteral("index.html size mismatch");
}

void TestRuntimeUpdater::oversizedBodyAbandoned()
{
	QFETCH(QJsonValue, declaredSize);
	QFETCH(QString, reason);

	// A wrong digest too: only a size check can name this failure.
	QVERIFY(publish(QStringLiteral("2.0.0"), {{"index.html", QByteArray(RuntimeUpdater::kMaxFileBytes + 1, 'x')}}));
	const QJsonObject big{{"path", "index.html"},
			      {"url", sim->origin() + "/runtime/files/2.0.0/index.html"},
			      {"sha256", QString(64, '0')},
			      {"size", declaredSize}};
	sim->setManifestOverride(manifestWith({big}));
	makeUpdater();
	QVERIFY(runCheck());
	QCOMPARE(logs.constLast(), "Runtime update failed safely: " + reason);
	QVERIFY(QDir(cacheRoot()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void TestRuntimeUpdater::stalledTransferTimesOut()
{
	// The one test that waits out the 20 s transfer timeout.
	QVERIFY(publish(QStringLiteral("2.0.0"), {{"index.html", "<html>v2</html>"}}));
	sim->addFault(fault(kFilesPrefix, Fault::Hang));
	RuntimeUpdater *u = makeUpdater();
	QElapsedTimer clock;
	clock.start();
	QVERIFY(runCheck());
	QVERIFY2(clock.elapsed() >= 19000, qPrintable(QString::number(clock.elapsed())));
	QCOMPARE(u->statusText(), QStringLiteral("Runtime: update failed · bundled fallback"));
	QVERIFY(QDir(cacheRoot()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

QTEST_GUILESS_MAIN(TestRuntimeUpdater)
#include "test-runtime-updater.moc"
