#include "runtime/manifest-rules.h"

#include <QJsonArray>
#include <QTest>

Q_DECLARE_METATYPE(RuntimePathRules)

namespace {
// Control characters spelt out, so that every row's name stays on one line.
QString tag(const QString &text)
{
	QString out;
	for (const QChar c : text)
		out += c.unicode() < 0x20 || c.unicode() == 0x7f
			       ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
			       : QString(c);
	return out;
}
} // namespace

class TestManifestRules : public QObject {
	Q_OBJECT

private slots:
	void safePaths_data();
	void safePaths();
	void versionOrder_data();
	void versionOrder();
	void manifestRefusals_data();
	void manifestRefusals();
};

void TestManifestRules::safePaths_data()
{
	QTest::addColumn<QString>("path");
	QTest::addColumn<RuntimePathRules>("rules");
	QTest::addColumn<bool>("safe");

	const auto add = [](RuntimePathRules rules, bool safe, const QStringList &paths) {
		for (const QString &path : paths)
			QTest::addRow("%s %s", rules == RuntimePathRules::Posix ? "posix" : "windows",
				      qPrintable(tag(path)))
				<< path << rules << safe;
	};
	// What NTFS would store under another name or as a device is an ordinary POSIX name.
	add(RuntimePathRules::Posix, true,
	    {"index.html", "js/app.js", "a.b.js", "C:/x/index.html", "js/c:x", "con.txt", "index.html."});
	add(RuntimePathRules::Posix, false,
	    {"", "/index.html", "\\index.html", "./index.html", "js/./app.js", ".", "js//app.js", "js\\app.js", "js/",
	     "a..b.js", "../x", "js/../../x", "index.html\n", "js/a\tb.js", "js/a\x7f.js"});
	add(RuntimePathRules::Windows, true,
	    {"js/app.js", "console.js", "com10.js", "lpt.js", "auxiliary/x.js", "con_/x.js", "v1.0/a.b.js"});
	// Drive letters; alternate data streams; device names, with any extension and in any case; names
	// NTFS would store without their trailing dot or space; characters Windows refuses in names.
	add(RuntimePathRules::Windows, false,
	    {"C:/x/index.html",
	     "c:index.html",
	     "js\\app.js",
	     "\\index.html",
	     "js/c:x",
	     "index.html:stream",
	     "CON",
	     "con.txt",
	     "js/Aux.js",
	     "nul",
	     "NUL.tar.gz",
	     "COM1",
	     "lpt9.js",
	     "con .js",
	     QString::fromUtf8("COM\u00b9.js"),
	     "js./app.js",
	     "index.html.",
	     "index.html ",
	     "js /app.js",
	     "a<b.js",
	     "a>b.js",
	     "a|b",
	     "a?b",
	     "a*b",
	     "a\"b"});
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

	// Parts that are missing, empty, prefixed or too large make the whole texts compare.
	for (const QString row :
	     {"0.4.2 = 0.4.2", "0.4.2 > 0.4", "0.4.2 < 0.4.10", "0.4.2 < 0.5", "0.4.2 < 0.4.2.0", "0.4.2 = 0.4.2-beta",
	      "0.4.2 < v0.4", "V0.4 = v0.4", "1..2 < 1.0.2", "2.0.0 > 1.99.99", "0.4.2 < 0.4.99999999999999999999"}) {
		const QStringList parts = row.split(' ');
		const int sign = parts.at(1) == "<" ? -1 : (parts.at(1) == ">" ? 1 : 0);
		QTest::newRow(qPrintable(row)) << parts.at(0) << parts.at(2) << sign;
	}
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

	const auto fileEntry = [](const QJsonValue &path) {
		return QJsonObject{{"path", path}, {"url", "https://cdn.example/x"}, {"sha256", QString(64, 'a')}};
	};
	const QJsonObject good{{"ok", true},
			       {"widget", "event-goal"},
			       {"runtime_version", "1.2.3"},
			       {"files", QJsonArray{fileEntry("index.html")}}};
	const auto with = [&](const QString &key, const QJsonValue &value) {
		QJsonObject manifest = good;
		manifest.insert(key, value);
		return manifest;
	};
	const auto withEntry = [&](const QString &key, const QJsonValue &value) {
		QJsonObject entry = fileEntry("index.html");
		entry.insert(key, value);
		return with("files", QJsonArray{entry});
	};
	const QString v64(64, 'v');

	QTest::newRow("good") << good << "";
	QTest::newRow("widget capitalised") << with("widget", "Event-Goal") << "wrong widget manifest";
	QTest::newRow("version 64 chars") << with("runtime_version", v64) << "";
	// A line feed at the end too: a folder, status and log line must never break across lines.
	// Names Windows would fold into another folder or a device are refused on every platform, and so
	// are the names of the updater's work folders.
	for (const QString &version : {v64 + "v", QString("1.2.3+build"), QString("1/2"), QString("."), QString(".."),
				       QString("1.2.3\n"), v64 + "\n", QString("1.0."), QString("nul"),
				       QString("COM1.2"), QString(".1.staging-01234567-89ab-cdef-0123-456789abcdef")})
		QTest::addRow("version %s", qPrintable(tag(version)))
			<< with("runtime_version", version) << "invalid runtime version";
	QTest::newRow("version leading dots") << with("runtime_version", "..a") << "";
	QTest::newRow("min equal") << with("min_plugin_version", "0.4.2") << "";
	QTest::newRow("min patch above") << with("min_plugin_version", "0.4.10") << "plugin 0.4.10+ required";
	QTest::newRow("min with a line feed")
		<< with("min_plugin_version", "0.5\n\tx") << QStringLiteral("plugin 0.5\uFFFD\uFFFDx+ required");
	QTest::newRow("files empty") << with("files", QJsonArray()) << "manifest has no files";
	QTest::newRow("entry a string") << with("files", QJsonArray{"index.html"}) << "invalid file entry";
	QTest::newRow("sha 63") << withEntry("sha256", QString(63, 'a')) << "unsafe runtime file entry";
	QTest::newRow("url empty") << withEntry("url", "") << "unsafe runtime file entry";
	QTest::newRow("device name on every platform") << withEntry("path", "aux.js") << "unsafe runtime file entry";
	// One file on Windows: the second would overwrite bytes verified for the first.
	QTest::newRow("paths differ by case only")
		<< with("files", QJsonArray{fileEntry("index.html"), fileEntry("js/a.js"), fileEntry("JS/A.js")})
		<< "unsafe runtime file entry";
	QTest::newRow("same path twice") << with("files", QJsonArray{fileEntry("index.html"), fileEntry("index.html")})
					 << "unsafe runtime file entry";
	// Bounds far above any real runtime; a negative size counts for nothing, not against the total.
	const auto files = [&](const QList<double> &sizes) {
		QJsonArray entries;
		for (const double size : sizes) {
			QJsonObject entry = fileEntry(entries.isEmpty() ? QString("index.html")
									: QString("f%1.js").arg(entries.size()));
			if (size != 0)
				entry.insert("size", size);
			entries.append(entry);
		}
		return with("files", entries);
	};
	const double maxBytes = kMaxRuntimeBytes;
	QTest::newRow("files at the limit") << files(QList<double>(kMaxRuntimeFiles, 0)) << "";
	QTest::newRow("files over the limit") << files(QList<double>(kMaxRuntimeFiles + 1, 0)) << "invalid manifest";
	QTest::newRow("bytes at the limit") << files({maxBytes - 1, 1, -maxBytes}) << "";
	QTest::newRow("bytes over the limit") << files({-maxBytes, maxBytes - 1, 2}) << "invalid manifest";
	QTest::newRow("size beyond any integer") << files({1e300}) << "invalid manifest";
	QTest::newRow("first bad entry decides")
		<< with("files", QJsonArray{fileEntry("index.html"), 7, fileEntry("/abs")}) << "invalid file entry";
}

void TestManifestRules::manifestRefusals()
{
	QFETCH(QJsonObject, manifest);
	QFETCH(QString, refusal);
	QString error;
	QCOMPARE(validateManifest(manifest, &error), refusal.isEmpty());
	QCOMPARE(error, refusal);
}

QTEST_GUILESS_MAIN(TestManifestRules)
#include "test-manifest-rules.moc"
