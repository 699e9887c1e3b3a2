#include "runtime/manifest-rules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

class TestManifestRules : public QObject {
	Q_OBJECT

private slots:
	void safePaths_data();
	void safePaths();
	void versionOrder_data();
	void versionOrder();
	void manifestRefusals_data();
	void manifestRefusals();
	void runtimeIndex();
};

Q_DECLARE_METATYPE(RuntimePathRules)

namespace {
QJsonObject fileEntry(const QString &path)
{
	return QJsonObject{{QStringLiteral("path"), path},
			   {QStringLiteral("url"), QStringLiteral("https://cdn.example/") + path},
			   {QStringLiteral("sha256"), QString(64, QLatin1Char('a'))}};
}

QJsonObject goodManifest()
{
	return QJsonObject{{QStringLiteral("ok"), true},
			   {QStringLiteral("widget"), QStringLiteral("event-goal")},
			   {QStringLiteral("runtime_version"), QStringLiteral("1.2.3")},
			   {QStringLiteral("files"), QJsonArray{fileEntry(QStringLiteral("index.html"))}}};
}
} // namespace

void TestManifestRules::safePaths_data()
{
	QTest::addColumn<QString>("path");
	QTest::addColumn<RuntimePathRules>("rules");
	QTest::addColumn<bool>("safe");

	const auto posix = RuntimePathRules::Posix;
	const auto windows = RuntimePathRules::Windows;
	QTest::newRow("top file") << "index.html" << posix << true;
	QTest::newRow("nested file") << "js/app.js" << posix << true;
	QTest::newRow("single dot inside name") << "a.b.js" << posix << true;
	QTest::newRow("empty") << "" << posix << false;
	QTest::newRow("leading slash") << "/index.html" << posix << false;
	QTest::newRow("leading backslash") << "\\index.html" << posix << false;
	QTest::newRow("dot segment") << "./index.html" << posix << false;
	QTest::newRow("inner dot segment") << "js/./app.js" << posix << false;
	QTest::newRow("lone dot") << "." << posix << false;
	QTest::newRow("double separator") << "js//app.js" << posix << false;
	QTest::newRow("backslash separator") << "js\\app.js" << posix << false;
	QTest::newRow("trailing separator") << "js/" << posix << false;
	QTest::newRow("two dots in a name") << "a..b.js" << posix << false;
	QTest::newRow("parent") << "../x" << posix << false;
	QTest::newRow("inner parent") << "js/../../x" << posix << false;
	QTest::newRow("drive letter, posix") << "C:/x/index.html" << posix << true;
	QTest::newRow("drive letter, windows") << "C:/x/index.html" << windows << false;
	QTest::newRow("drive relative, windows") << "c:index.html" << windows << false;
	QTest::newRow("colon later, windows") << "js/c:x" << windows << true;
	QTest::newRow("plain file, windows") << "js/app.js" << windows << true;
	QTest::newRow("backslash, windows") << "js\\app.js" << windows << false;
}

void TestManifestRules::safePaths()
{
	QFETCH(QString, path);
	QFETCH(RuntimePathRules, rules);
	QFETCH(bool, safe);
	QCOMPARE(isSafeRuntimePath(path, rules), safe);
}

void TestManifestRules::versionOrder_data()
{
	QTest::addColumn<QString>("a");
	QTest::addColumn<QString>("b");
	QTest::addColumn<int>("sign");

	QTest::newRow("equal") << "0.4.2"
			       << "0.4.2" << 0;
	QTest::newRow("shorter minimum sorts as text") << "0.4.2"
						       << "0.4" << 1;
	QTest::newRow("numeric, not text") << "0.4.2"
					   << "0.4.10" << -1;
	QTest::newRow("minor above") << "0.4.2"
				     << "0.5" << -1;
	QTest::newRow("extra part sorts as text") << "0.4.2"
						  << "0.4.2.0" << -1;
	QTest::newRow("suffix cut at dash") << "0.4.2"
					    << "0.4.2-beta" << 0;
	QTest::newRow("letter prefix sorts as text") << "0.4.2"
						     << "v0.4" << -1;
	QTest::newRow("case-insensitive text") << "V0.4"
					       << "v0.4" << 0;
	QTest::newRow("empty part sorts as text") << "1..2"
						  << "1.0.2" << -1;
	QTest::newRow("major wins") << "2.0.0"
				    << "1.99.99" << 1;
	QTest::newRow("too large for 64 bits") << "0.4.2"
					       << "0.4.99999999999999999999" << -1;
}

void TestManifestRules::versionOrder()
{
	QFETCH(QString, a);
	QFETCH(QString, b);
	QFETCH(int, sign);
	const int order = compareVersions(a, b);
	QCOMPARE((order > 0) - (order < 0), sign);
	const int reverse = compareVersions(b, a);
	QCOMPARE((reverse > 0) - (reverse < 0), -sign);
}

void TestManifestRules::manifestRefusals_data()
{
	QTest::addColumn<QJsonObject>("manifest");
	QTest::addColumn<QString>("refusal"); // empty: accepted

	const QString v64(64, QLatin1Char('v'));
	auto with = [](const QString &key, const QJsonValue &value) {
		QJsonObject manifest = goodManifest();
		manifest.insert(key, value);
		return manifest;
	};
	auto withEntries = [&](const QJsonArray &files) {
		return with(QStringLiteral("files"), files);
	};
	auto entryWith = [](const QString &key, const QJsonValue &value) {
		QJsonObject entry = fileEntry(QStringLiteral("index.html"));
		entry.insert(key, value);
		return entry;
	};

	QTest::newRow("good") << goodManifest() << "";
	QTest::newRow("widget capitalised") << with("widget", "Event-Goal") << "wrong widget manifest";
	QTest::newRow("widget missing") << [] {
		QJsonObject m = goodManifest();
		m.remove(QStringLiteral("widget"));
		return m;
	}() << "wrong widget manifest";
	QTest::newRow("version 64 chars") << with("runtime_version", v64) << "";
	QTest::newRow("version 65 chars") << with("runtime_version", v64 + "v") << "invalid runtime version";
	QTest::newRow("version with plus") << with("runtime_version", "1.2.3+build") << "invalid runtime version";
	QTest::newRow("version empty") << with("runtime_version", "") << "invalid runtime version";
	QTest::newRow("version a number") << with("runtime_version", 3) << "invalid runtime version";
	QTest::newRow("version with slash") << with("runtime_version", "1/2") << "invalid runtime version";
	QTest::newRow("version dot") << with("runtime_version", ".") << "invalid runtime version";
	QTest::newRow("version dot dot") << with("runtime_version", "..") << "invalid runtime version";
	QTest::newRow("version many dots") << with("runtime_version", "....") << "invalid runtime version";
	QTest::newRow("version leading dots") << with("runtime_version", "..a") << "";
	QTest::newRow("min equal") << with("min_plugin_version", "0.4.2") << "";
	QTest::newRow("min shorter") << with("min_plugin_version", "0.4") << "";
	QTest::newRow("min patch above") << with("min_plugin_version", "0.4.10") << "plugin 0.4.10+ required";
	QTest::newRow("min minor above") << with("min_plugin_version", "0.5") << "plugin 0.5+ required";
	QTest::newRow("min extra part") << with("min_plugin_version", "0.4.2.0") << "plugin 0.4.2.0+ required";
	QTest::newRow("min beta") << with("min_plugin_version", "0.4.2-beta") << "";
	QTest::newRow("min prefixed") << with("min_plugin_version", "v0.4") << "plugin v0.4+ required";
	QTest::newRow("min empty") << with("min_plugin_version", "") << "";
	QTest::newRow("version checked before minimum") << [&] {
		QJsonObject m = with("min_plugin_version", "9");
		m.insert(QStringLiteral("runtime_version"), QStringLiteral("a b"));
		return m;
	}() << "invalid runtime version";
	QTest::newRow("files empty") << withEntries({}) << "manifest has no files";
	QTest::newRow("files not an array") << with("files", QJsonObject{}) << "manifest has no files";
	QTest::newRow("entry a string") << withEntries({"index.html"}) << "invalid file entry";
	QTest::newRow("unsafe path") << withEntries({fileEntry("../index.html")}) << "unsafe runtime file entry";
	QTest::newRow("path not a string") << withEntries({entryWith("path", 1)}) << "unsafe runtime file entry";
	QTest::newRow("sha 63") << withEntries({entryWith("sha256", QString(63, 'a'))}) << "unsafe runtime file entry";
	QTest::newRow("sha 65") << withEntries({entryWith("sha256", QString(65, 'a'))}) << "unsafe runtime file entry";
	QTest::newRow("sha not hex") << withEntries({entryWith("sha256", QString(64, 'z'))}) << "";
	QTest::newRow("url empty") << withEntries({entryWith("url", "")}) << "unsafe runtime file entry";
	QTest::newRow("url missing") << [&] {
		QJsonObject entry = fileEntry(QStringLiteral("index.html"));
		entry.remove(QStringLiteral("url"));
		return withEntries({entry});
	}() << "unsafe runtime file entry";
	QTest::newRow("url any scheme") << withEntries({entryWith("url", "ftp://elsewhere/x")}) << "";
	QTest::newRow("first bad entry decides")
		<< withEntries({fileEntry("index.html"), 7, fileEntry("/abs")}) << "invalid file entry";
}

void TestManifestRules::manifestRefusals()
{
	QFETCH(QJsonObject, manifest);
	QFETCH(QString, refusal);
	QString error;
	QCOMPARE(validateManifest(manifest, &error), refusal.isEmpty());
	QCOMPARE(error, refusal);
}

void TestManifestRules::runtimeIndex()
{
	QTemporaryDir dir;
	QVERIFY(dir.isValid());
	QVERIFY(!hasRuntimeIndex(QString()));
	QVERIFY(!hasRuntimeIndex(dir.path()));
	QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("nested")));
	QFile nested(dir.filePath(QStringLiteral("nested/index.html")));
	QVERIFY(nested.open(QIODevice::WriteOnly));
	nested.close();
	QVERIFY(!hasRuntimeIndex(dir.path()));
	QFile top(dir.filePath(QStringLiteral("index.html")));
	QVERIFY(top.open(QIODevice::WriteOnly));
	top.close();
	QVERIFY(hasRuntimeIndex(dir.path()));
}

QTEST_GUILESS_MAIN(TestManifestRules)
#include "test-manifest-rules.moc"
