#ifdef _WIN32
#include <windows.h> // first: its intrinsics clash with the SIMD headers libobs pulls in after them
#endif

#include "common/kelp-common.h"
#include "obs-standin.h"
#include "plugin/module-handle.h"
#include "runtime/manifest-rules.h"
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
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>

using kelpsim::Fault;

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

QSettings settings()
{
	return QSettings(QString::fromLatin1(kKelpSettingsOrganization), QString::fromLatin1(kKelpSettingsApplication));
}

QString storedVersion()
{
	return settings().value(QStringLiteral("runtime/event_goal_version")).toString();
}

Fault fault(const QByteArray &path, Fault::Kind kind, int status = 500, int skip = 0)
{
	return Fault{path, kind, status, {}, 400, 1, skip};
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
	void abandonedDownload_data();
	void abandonedDownload();
	void errorPageIsNotRead();
	void versionOfAnotherCaseIsDownloaded();

private:
	QString cache(const QString &below = QString()) const
	{
		return home->filePath(QStringLiteral("config/runtime/event-goal/") + below);
	}
	bool publish(const QString &version, const FileMap &files);
	bool runCheck();

	std::unique_ptr<QTemporaryDir> home;
	std::unique_ptr<kelpsim::ServiceSim> sim;
	std::unique_ptr<RuntimeUpdater> updater;
	std::unique_ptr<QSignalSpy> activated;
	QStringList logs;
};

void TestRuntimeUpdater::init()
{
	home = std::make_unique<QTemporaryDir>();
	QVERIFY(home->isValid());
	QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home->filePath(QStringLiteral("settings")));
	standin::setModuleConfigPath(home->filePath(QStringLiteral("config")));
	sim = std::make_unique<kelpsim::ServiceSim>();
	QVERIFY(sim->listen());
	setKelpServiceOrigin(sim->origin());
	logs.clear();
	updater = std::make_unique<RuntimeUpdater>();
	connect(updater.get(), &RuntimeUpdater::logLine, this, [this](const QString &line) { logs.append(line); });
	activated = std::make_unique<QSignalSpy>(updater.get(), &RuntimeUpdater::runtimeActivated);
}

void TestRuntimeUpdater::cleanup()
{
	activated.reset();
	updater.reset();
	sim.reset();
}

bool TestRuntimeUpdater::publish(const QString &version, const FileMap &files)
{
	const QString folder = home->filePath(QStringLiteral("published/") + version);
	for (auto it = files.cbegin(); it != files.cend(); ++it)
		if (!writeFile(folder + QLatin1Char('/') + it.key(), it.value()))
			return false;
	return sim->publishRuntime(version, folder);
}

bool TestRuntimeUpdater::runCheck()
{
	updater->checkForUpdate();
	return updater->isBusy() && QTest::qWaitFor([this] { return !updater->isBusy(); }, 30000);
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
#ifdef Q_OS_WIN
	// No Windows file name holds a control character: the key alone must be refused all the same.
	QTest::newRow("trailing line feed") << "1.0.0\n" << QString();
#else
	QTest::newRow("trailing line feed") << "1.0.0\n" << QString("1.0.0\n/index.html");
#endif
}

void TestRuntimeUpdater::refusedCachedRuntime()
{
	QFETCH(QString, key);
	QFETCH(QString, indexAt);
	settings().setValue(QStringLiteral("runtime/event_goal_version"), key);
	if (!indexAt.isEmpty())
		QVERIFY(writeFile(cache(indexAt), "cached"));
	// Work folders a crash left behind go at start; what merely resembles one stays.
	const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
	const QStringList gone{".1.0.0.staging-" + uuid, ".V2.previous-" + uuid};
	for (const QString &folder :
	     gone + QStringList{"1.0.0.staging-" + uuid, ".1.0.0.staging-" + uuid.toUpper(),
				".1.0.0.staging-" + uuid + ".js", ".1.0.0.staging-" + uuid.left(35),
				"foreign/.1.0.0.staging-" + uuid})
		QVERIFY(writeFile(cache(folder + "/index.html"), "left"));
	FileMap kept = snapshot(cache());
	for (const QString &folder : gone) {
		kept.remove(folder);
		kept.remove(folder + "/index.html");
	}

	updater->start();
	QCOMPARE(activated->count(), 0);
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime: bundled"));
	QCOMPARE(storedVersion(), QString());
	QCOMPARE(snapshot(cache()), kept);
}

void TestRuntimeUpdater::downloadActivatesOnceComplete()
{
	// A leftover folder of the same version, without a page, is replaced rather than merged.
	QVERIFY(writeFile(cache("2.0.0/stale/old.js"), "old"));
	QVERIFY(publish("2.0.0", {{"index.html", "<html>v2</html>"}, {"js/app.js", "app"}}));
	sim->addFault(fault(kManifestPath, Fault::Delay));
	sim->addFault(fault(kFilesPrefix, Fault::Delay));
	// Further checks while one runs are ignored, both while checking and while downloading.
	updater->checkForUpdate();
	QTRY_COMPARE(sim->requests().size(), 1);
	updater->checkForUpdate();
	QTRY_COMPARE(sim->requests().size(), 2);
	QVERIFY(runCheck());
	QCOMPARE(sim->requests().size(), 3);
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime 2.0.0 · active"));
	QCOMPARE(QList<QVariantList>(*activated), QList<QVariantList>({{cache("2.0.0"), "2.0.0", true}}));
	QCOMPARE(storedVersion(), QStringLiteral("2.0.0"));
	// Exactly the published files, and no staging folder beside them.
	QCOMPARE(snapshot(cache()), FileMap({{"2.0.0", "<dir>"},
					     {"2.0.0/index.html", "<html>v2</html>"},
					     {"2.0.0/js", "<dir>"},
					     {"2.0.0/js/app.js", "app"}}));

	QVERIFY(runCheck());
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime 2.0.0 · up to date"));
	// Versions are never ordered: an older one the manifest names is activated as found on disk.
	QVERIFY(writeFile(cache("1.0.0/index.html"), "older"));
	QVERIFY(publish("1.0.0", {{"index.html", "served 1.0.0"}}));
	QVERIFY(runCheck());
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime 1.0.0 · activated"));
	QCOMPARE(activated->constLast(), QVariantList({cache("1.0.0"), "1.0.0", true}));
	QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
	QCOMPARE(snapshot(cache("1.0.0")), FileMap({{"index.html", "older"}}));
	QCOMPARE(sim->requests().size(), 5); // two more manifests, no file

	// Destroyed mid-download, as at unload: the staging folder goes with it.
	QVERIFY(publish("3.0.0", {{"index.html", "v3"}}));
	sim->addFault(fault(kFilesPrefix, Fault::Hang));
	updater->checkForUpdate();
	QTRY_COMPARE(updater->statusText(), QStringLiteral("Runtime 3.0.0 · downloading 0/1"));
	const auto entries = [this] {
		return QDir(cache()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
	};
	QCOMPARE(entries().filter(QRegularExpression("^\\.3\\.0\\.0\\.staging-")).size(), 1);
	updater.reset();
	QCOMPARE(entries(), QStringList({"1.0.0", "2.0.0"}));
}

void TestRuntimeUpdater::updateOutcomes_data()
{
	QTest::addColumn<QByteArray>("manifest"); // empty: the published 2.0.0
	QTest::addColumn<Fault>("fault");         // none without a path
	QTest::addColumn<QString>("status");
	QTest::addColumn<QString>("log"); // a regular expression for the last line

	const auto file = [](const QString &path, const QByteArray &data) {
		const QByteArray sha256 = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
		return QJsonObject{{"path", path},
				   {"url", "$ORIGIN/runtime/files/2.0.0/" + path},
				   {"sha256", QString::fromLatin1(sha256)},
				   {"size", data.size()}};
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
	QTest::newRow("manifest HTTP 204") << published << fault(kManifestPath, Fault::Status, 204) << delayed
					   << "Runtime update check failed: HTTP 204.*";
	QTest::newRow("manifest dropped")
		<< published << fault(kManifestPath, Fault::Drop) << delayed << "Runtime update check failed: .+";
	for (const char *body : {R"({"ok":false,"widget":"event-goal"})", R"({"ok":"true"})", "<html>"})
		QTest::newRow(body) << QByteArray(body) << none << "Runtime 1.0.0 · manifest retry later"
				    << "Runtime update manifest was invalid\\.";
	QTest::newRow("manifest beyond the answer cap")
		<< manifestWith({index}, {{"pad", QString(kMaxAnswerBytes, 'x')}}) << none << delayed
		<< "Runtime update check failed: .+";
	// A version that names something outside a version folder of its own.
	QTest::newRow("version dot dot") << manifestWith({index}, {{"runtime_version", ".."}}) << none
					 << "Runtime: invalid runtime version"
					 << "Runtime update skipped: invalid runtime version";
	QTest::newRow("uppercase digest") << manifestWith({with(index, "sha256", index["sha256"].toString().toUpper())})
					  << none << "Runtime 2.0.0 · active"
					  << "Runtime 2\\.0\\.0 verified and activated\\.";

	const QString failed = QStringLiteral("Runtime 1.0.0 · update failed");
	const QString safely = QStringLiteral("Runtime update failed safely: ");
	QTest::newRow("second file 404") << published << fault(kFilesPrefix, Fault::Status, 404, 1) << failed
					 << safely + "index\\.html failed: HTTP 404.*";
	QTest::newRow("third file cut") << published << fault(kFilesPrefix, Fault::DropMidBody, 0, 2) << failed
					<< safely + "js/app\\.js failed: .+";
	// Status, then digest, then length, however far the body runs past its declared size.
	QTest::newRow("404 page longer than the file")
		<< published << Fault{kFilesPrefix, Fault::Status, 404, QByteArray(4096, 'e'), 0, 1, 1} << failed
		<< safely + "index\\.html failed: HTTP 404 · .+";
	QTest::newRow("longer than declared, wrong digest")
		<< manifestWith({css, with(with(index, "size", 5), "sha256", QString(64, '0')), app}) << none << failed
		<< safely + "index\\.html SHA256 mismatch";
	QTest::newRow("wrong bytes") << published << fault(kFilesPrefix, Fault::WrongBytes, 0, 1) << failed
				     << safely + "index\\.html SHA256 mismatch";
	QTest::newRow("size above the body") << manifestWith({css, with(index, "size", 100), app}) << none << failed
					     << safely + "index\\.html size mismatch";
	QTest::newRow("no index.html") << manifestWith({css, app}) << none << failed
				       << safely + "downloaded runtime is incomplete";
	QTest::newRow("directory blocked by a file") << manifestWith({index, with(app, "path", "js"), app}) << none
						     << failed << safely + "could not create directory for js/app\\.js";
	QTest::newRow("locked leftover") << published << none << failed
					 << safely + "could not activate runtime directory";
	// A scanner holding a new file for a moment on Windows: the move into place is tried again.
	QTest::newRow("locked for a moment") << published << none << "Runtime 2.0.0 · active"
					     << "Runtime 2\\.0\\.0 verified and activated\\.";
}

void TestRuntimeUpdater::updateOutcomes()
{
	QFETCH(QByteArray, manifest);
	QFETCH(Fault, fault);
	QFETCH(QString, status);
	QFETCH(QString, log);

	// A leftover 2.0.0 without a page that can be neither moved nor removed makes the final move fail.
	// Permissions do not bind root; the immutable attribute does, where the file system has it. On
	// Windows a folder held open without leave to delete, as a scanner holds one, stays where it is.
	const QByteArray tag = QTest::currentDataTag();
	const bool lock = tag.startsWith("locked");
	const QString locked = cache("2.0.0");
#ifdef Q_OS_WIN
	HANDLE held = INVALID_HANDLE_VALUE;
	const auto unlock = [&] {
		if (held != INVALID_HANDLE_VALUE)
			CloseHandle(held);
		held = INVALID_HANDLE_VALUE;
		return true;
	};
	if (lock && writeFile(locked + "/keep.txt", "cannot go"))
		held = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(locked).utf16()),
				   FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
				   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
	if (lock && held == INVALID_HANDLE_VALUE)
		QSKIP("cannot hold a folder open here");
#else
	bool immutable = false;
	const auto unlock = [&] {
		if (immutable)
			immutable = QProcess::execute("chattr", {"-i", locked}) != 0;
		return !immutable;
	};
	if (lock && (!writeFile(locked + "/keep.txt", "cannot go") || QProcess::execute("chattr", {"+i", locked}) != 0))
		QSKIP("cannot make a folder undeletable here");
	immutable = lock;
#endif
	auto guard = qScopeGuard(unlock);
	// Released 400 ms after the last file is saved, so the first move into place fails.
	QTimer release;
	release.setSingleShot(true);
	connect(&release, &QTimer::timeout, &release, unlock);
	if (tag == "locked for a moment")
		connect(updater.get(), &RuntimeUpdater::stateChanged, &release, [&] {
			if (updater->statusText() == QStringLiteral("Runtime 2.0.0 · downloading 3/3"))
				release.start(400);
		});
	// 1.0.0 is active, found on disk; what a version of ".." would name must come through untouched too.
	QVERIFY(publish("1.0.0", {{"index.html", "served 1.0.0"}}));
	QVERIFY(writeFile(cache("1.0.0/index.html"), "on disk"));
	QVERIFY(writeFile(home->filePath(QStringLiteral("config/runtime/index.html")), "parent of the cache root"));
	QVERIFY(runCheck());
	activated->clear();
	QVERIFY(publish("2.0.0",
			{{"css/style.css", "body{}"}, {"index.html", "<html>v2</html>"}, {"js/app.js", "app()"}}));
	const FileMap before = snapshot(home->filePath(QStringLiteral("config")));
	if (!manifest.isEmpty())
		sim->setManifestOverride(manifest.replace("$ORIGIN", sim->origin().toUtf8()));
	if (!fault.path.isEmpty())
		sim->addFault(fault);
	QVERIFY(runCheck());
	QCOMPARE(updater->statusText(), status);
	QVERIFY2(QRegularExpression("^(" + log + ")$").match(logs.constLast()).hasMatch(),
		 qPrintable(logs.constLast()));
	if (activated->isEmpty()) {
		QCOMPARE(storedVersion(), QStringLiteral("1.0.0"));
		QCOMPARE(snapshot(home->filePath(QStringLiteral("config"))), before);
		// Nothing left behind holds back the next check.
		QVERIFY(unlock());
		guard.dismiss();
		sim->setManifestOverride(QByteArray());
		sim->clearFaults();
		QVERIFY(runCheck());
	}
	QCOMPARE(activated->count(), 1);
	QCOMPARE(storedVersion(), QStringLiteral("2.0.0"));
}

void TestRuntimeUpdater::abandonedDownload_data()
{
	QTest::addColumn<QJsonValue>("declaredSize");
	QTest::addColumn<int>("copies"); // entries that list the one file
	QTest::addColumn<bool>("stall");
	QTest::addColumn<QString>("reason"); // a regular expression

	const QString tooLarge = QStringLiteral("index\\.html failed: file is larger than 64 MiB");
	QTest::newRow("no size") << QJsonValue() << 1 << false << tooLarge;
	// A declared size is no bound: only the cap ends a transfer early, and says so.
	QTest::newRow("beyond declared size") << QJsonValue(1000) << 1 << false << tooLarge;
	// Files within the cap, undeclared, that add up to more than a runtime may hold.
	const int copies = int(kMaxRuntimeBytes / RuntimeUpdater::kMaxFileBytes) + 1;
	QTest::newRow("runtime beyond its bound")
		<< QJsonValue() << copies << false
		<< QStringLiteral("copy%1 failed: runtime is larger than 128 MiB").arg(copies - 1);
	// The one row that waits out the 20 s transfer timeout.
	QTest::newRow("stalled") << QJsonValue(1000) << 1 << true << QStringLiteral("index\\.html failed: .+");
}

void TestRuntimeUpdater::abandonedDownload()
{
	QFETCH(QJsonValue, declaredSize);
	QFETCH(int, copies);
	QFETCH(bool, stall);
	QFETCH(QString, reason);

	// A lone file past the cap has a wrong digest too: only a size check or the timeout can name its failure.
	const QByteArray body(RuntimeUpdater::kMaxFileBytes + (copies == 1 ? 1 : 0), 'x');
	QVERIFY(publish("2.0.0", {{"index.html", body}}));
	QJsonArray files;
	for (int i = 0; i < copies; ++i)
		files.append(QJsonObject{
			{"path", i == 0 ? QStringLiteral("index.html") : QStringLiteral("copy%1").arg(i)},
			{"url", sim->origin() + "/runtime/files/2.0.0/index.html"},
			{"sha256",
			 copies == 1 ? QString(64, '0')
				     : QString::fromLatin1(
					       QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex())},
			{"size", declaredSize}});
	sim->setManifestOverride(manifestWith(files));
	if (stall)
		sim->addFault(fault(kFilesPrefix, Fault::Hang));
	QElapsedTimer clock;
	clock.start();
	QVERIFY(runCheck());
	QVERIFY2(
		QRegularExpression("^Runtime update failed safely: " + reason + "$").match(logs.constLast()).hasMatch(),
		qPrintable(logs.constLast()));
	QVERIFY2((clock.elapsed() >= 19000) == stall, qPrintable(QString::number(clock.elapsed())));
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime: update failed · bundled fallback"));
	QVERIFY(QDir(cache()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void TestRuntimeUpdater::errorPageIsNotRead()
{
	// A file host that answers 404 with a 60 MiB page, fed as fast as the reader takes it.
	static constexpr qint64 kPage = 60 * 1024 * 1024;
	const QByteArray chunk(64 * 1024, 'e');
	QTcpServer host;
	QVERIFY(host.listen(QHostAddress::LocalHost));
	qint64 fed = 0;
	bool closed = false;
	connect(&host, &QTcpServer::newConnection, this, [&] {
		QTcpSocket *socket = host.nextPendingConnection();
		const auto feed = [&, socket] {
			while (fed < kPage && socket->bytesToWrite() < 4 * chunk.size()) {
				socket->write(chunk);
				fed += chunk.size();
			}
		};
		connect(socket, &QTcpSocket::readyRead, socket, [socket, feed] {
			if (socket->property("answered").toBool() || !socket->peek(64 * 1024).contains("\r\n\r\n"))
				return;
			socket->setProperty("answered", true);
			socket->write("HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
				      QByteArray::number(kPage) + "\r\n\r\n");
			feed();
		});
		connect(socket, &QTcpSocket::bytesWritten, socket, feed);
		connect(socket, &QTcpSocket::disconnected, socket, [&closed] { closed = true; });
	});
	const QString manifestUrl = QStringLiteral("http://127.0.0.1:%1/index.html").arg(host.serverPort());
	sim->setManifestOverride(manifestWith(
		{QJsonObject{{"path", "index.html"}, {"url", manifestUrl}, {"sha256", QString(64, '0')}}}));

	QVERIFY(runCheck());
	// What the loopback's socket buffers hold besides: far from the whole page.
	qInfo("fed %lld of %lld bytes before the updater closed the transfer", fed, kPage);
	QVERIFY2(fed < 16 * 1024 * 1024, qPrintable(QString::number(fed)));
	QTRY_VERIFY(closed);
	QCOMPARE(logs.constLast(), QStringLiteral("Runtime update failed safely: index.html failed: HTTP 404 · Error "
						  "transferring %1 - server replied: Not Found")
					   .arg(manifestUrl));
}

void TestRuntimeUpdater::versionOfAnotherCaseIsDownloaded()
{
	// Where names ignore case (Windows, Wine), the folder of v2 answers for V2 too, yet holds files
	// verified for another version: V2 is downloaded, never activated from it. Elsewhere a link
	// makes the same alias.
	QVERIFY(writeFile(cache("v2/index.html"), "verified for v2"));
#ifndef Q_OS_WIN
	QVERIFY(QFile::link(cache("v2"), cache("V2")));
#endif
	QVERIFY(publish("V2", {{"index.html", "<html>V2</html>"}}));
	QVERIFY(runCheck());
	QCOMPARE(updater->statusText(), QStringLiteral("Runtime V2 · active"));
	QCOMPARE(activated->count(), 1);
	QFile index(activated->constFirst().at(0).toString() + "/index.html");
	QVERIFY(index.open(QIODevice::ReadOnly));
	QCOMPARE(index.readAll(), QByteArray("<html>V2</html>"));
}

QTEST_GUILESS_MAIN(TestRuntimeUpdater)
#include "test-runtime-updater.moc"
