#include "contract-backend.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <graphics/vec2.h>
#include <obs.hpp>
#include <util/base.h>
#include <util/text-lookup.h>
#include <util/util.hpp>

using Probe = std::function<QString()>;
Q_DECLARE_METATYPE(Probe)

namespace {

using backend::kInputType;

QTemporaryDir scratch;
obs_module_t *probeModule = nullptr;

struct Row {
	// The functions whose behaviour the row pins down, then a colon and what it shows.
	const char *tag;
	Probe probe;
	const char *expected;
};

QString text(const char *value)
{
	return value ? QStringLiteral("\"%1\"").arg(QString::fromUtf8(value)) : QStringLiteral("null");
}

QString yes(bool value)
{
	return value ? QStringLiteral("yes") : QStringLiteral("no");
}

QString seen(const QStringList &parts)
{
	return parts.join(QLatin1Char(' '));
}

// Folders libobs handed out, with the test's own roots replaced by DATA and CONFIG.
QString path(const char *value)
{
	return text(value)
		.replace(scratch.filePath(QStringLiteral("data")), QStringLiteral("DATA"))
		.replace(scratch.filePath(QStringLiteral("config")), QStringLiteral("CONFIG"));
}

bool exists(const char *name)
{
	OBSSourceAutoRelease source = obs_get_source_by_name(name);
	return source;
}

// A source of the input type whose settings hold a url, created as the dock creates one.
obs_source_t *createInput(const char *name, const char *type = kInputType)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", "a");
	obs_data_set_string(settings, "css", "c");
	return obs_source_create(type, name, settings, nullptr);
}

QString urlAndCss(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	return seen({text(obs_data_get_string(settings, "url")), text(obs_data_get_string(settings, "css"))});
}

// Adds a new source to the host's scene "Scene" and drops the creator's reference, as the dock does.
QString addToScene(const char *type, const vec2 *pos = nullptr)
{
	backend::addScene("Scene");
	OBSSourceAutoRelease sceneSource = obs_get_source_by_name("Scene");
	OBSSourceAutoRelease source = createInput("Goal", type);
	obs_sceneitem_t *item = obs_scene_add(obs_scene_from_source(sceneSource), source);
	if (item && pos)
		obs_sceneitem_set_pos(item, pos);
	source = nullptr;
	return seen(QStringList{yes(item), yes(exists("Goal"))} + backend::sceneItems("Scene"));
}

QString localeStrings(const char *defaultLocale, const char *locale)
{
	lookup_t *lookup = obs_module_load_locale(probeModule, defaultLocale, locale);
	QStringList strings{yes(lookup)};
	for (const char *key : {"Greeting", "OnlyDefault", "Missing"}) {
		const char *value = nullptr;
		strings.append(text_lookup_getstr(lookup, key, &value) ? text(value) : QStringLiteral("false"));
	}
	text_lookup_destroy(lookup);
	return seen(strings);
}

const QList<Row> &rows()
{
	static const QList<Row> table{
		// Source types: one no plug-in registered has no display name, yet creating one succeeds.
		{"obs_source_get_display_name: registered types, and browser_source without its plug-in",
		 [] {
			 QStringList names;
			 for (const char *type : {kInputType, "scene", "browser_source"})
				 names.append(text(obs_source_get_display_name(type)));
			 return seen(names);
		 },
		 "\"kelp_contract_input\" \"Scene\" null"},
		{"obs_source_create, obs_source_get_id: an unknown type gives a placeholder",
		 [] {
			 OBSSourceAutoRelease source = createInput("Goal", "browser_source");
			 return seen(
				 QStringList{text(obs_source_get_id(source)), yes(exists("Goal")), urlAndCss(source)} +
				 backend::takeLog(QStringLiteral("not found")));
		 },
		 "\"browser_source\" yes \"a\" \"c\" 100: Source ID 'browser_source' not found"},
		{"obs_source_create: a known type without settings gets an empty settings object",
		 [] {
			 OBSSourceAutoRelease source = obs_source_create(kInputType, "Input", nullptr, nullptr);
			 OBSDataAutoRelease settings = obs_source_get_settings(source);
			 return seen({text(obs_source_get_id(source)), yes(settings), urlAndCss(source)});
		 },
		 "\"kelp_contract_input\" yes \"\" \"\""},
		{"obs_source_create, obs_source_get_settings: the caller's settings object becomes the source's own",
		 [] {
			 OBSDataAutoRelease given = obs_data_create();
			 OBSSourceAutoRelease source = obs_source_create(kInputType, "Input", given, nullptr);
			 obs_data_set_string(given, "url", "written after");
			 OBSDataAutoRelease own = obs_source_get_settings(source);
			 return seen({yes(own.Get() == given.Get()), urlAndCss(source)});
		 },
		 "yes \"written after\" \"\""},
		{"obs_source_get_settings, obs_source_release: the settings outlive the source until released",
		 [] {
			 obs_source_t *source = createInput("Input");
			 obs_data_t *settings = obs_source_get_settings(source);
			 obs_source_release(source);
			 const QString state = seen({yes(exists("Input")), text(obs_data_get_string(settings, "url"))});
			 obs_data_release(settings);
			 return state;
		 },
		 "no \"a\""},
		// Each member reads back by its type, a missing bool as false.
		{"obs_source_update, obs_data_set_string, obs_data_set_int, obs_data_set_bool: merges the given "
		 "members into the settings of a source and of a placeholder",
		 [] {
			 QStringList state;
			 for (const char *type : {kInputType, "browser_source"}) {
				 OBSSourceAutoRelease source = createInput(type, type);
				 OBSDataAutoRelease change = obs_data_create();
				 obs_data_set_string(change, "url", "b");
				 obs_data_set_int(change, "width", 1000);
				 obs_data_set_bool(change, "shutdown", true);
				 obs_source_update(source, change);
				 OBSDataAutoRelease settings = obs_source_get_settings(source);
				 state << urlAndCss(source) << QString::number(obs_data_get_int(settings, "width"))
				       << yes(obs_data_get_bool(settings, "shutdown"))
				       << yes(obs_data_get_bool(settings, "missing"));
			 }
			 return seen(state);
		 },
		 "\"b\" \"c\" 1000 yes no \"b\" \"c\" 1000 yes no"},
		{"obs_source_update: with the source's own settings object",
		 [] {
			 OBSSourceAutoRelease source = createInput("Input");
			 OBSDataAutoRelease own = obs_source_get_settings(source);
			 obs_data_set_string(own, "url", "b");
			 obs_source_update(source, own);
			 return urlAndCss(source);
		 },
		 "\"b\" \"c\""},

		// Lookups by name.
		{"obs_get_source_by_name: the exact name only",
		 [] {
			 const bool before = exists("KELP Event Goal");
			 OBSSourceAutoRelease source = createInput("KELP Event Goal");
			 return seen({yes(before), yes(exists("KELP Event Goal")), yes(exists("kelp event goal")),
				      yes(exists("KELP Event Goal "))});
		 },
		 "no yes no no"},
		{"obs_get_source_by_name: a reference of its own",
		 [] {
			 obs_source_t *created = createInput("Input");
			 obs_source_t *found = obs_get_source_by_name("Input");
			 obs_source_release(created);
			 const QString state = seen({yes(found == created), yes(exists("Input"))});
			 obs_source_release(found);
			 return seen({state, yes(exists("Input"))});
		 },
		 "yes yes no"},

		// Scenes.
		{"obs_scene_from_source: a scene, and a source that is none",
		 [] {
			 backend::addScene("Scene");
			 OBSSourceAutoRelease scene = obs_get_source_by_name("Scene");
			 OBSSourceAutoRelease input = createInput("Input");
			 return seen({text(obs_source_get_id(scene)), yes(obs_scene_from_source(scene)),
				      yes(obs_scene_from_source(input))});
		 },
		 "\"scene\" yes no"},
		{"obs_scene_add: the item holds a reference of its own", [] { return addToScene(kInputType); },
		 "yes yes Goal@0,0"},
		{"obs_scene_add: a placeholder is accepted", [] { return addToScene("browser_source"); },
		 "yes yes Goal@0,0"},
		{"obs_scene_add: a scene into itself is refused",
		 [] {
			 backend::addScene("Scene");
			 OBSSourceAutoRelease scene = obs_get_source_by_name("Scene");
			 return seen(QStringList{yes(obs_scene_add(obs_scene_from_source(scene), scene))} +
				     backend::sceneItems("Scene"));
		 },
		 "no"},
		{"obs_sceneitem_set_pos: where the item shows",
		 [] {
			 vec2 pos;
			 vec2_set(&pos, 12, 34);
			 return addToScene(kInputType, &pos);
		 },
		 "yes yes Goal@12,34"},

		// Settings objects.
		{"obs_data_create, obs_data_get_string: a missing member and one of another type read empty, "
		 "and a string set over the other type replaces it",
		 [] {
			 OBSDataAutoRelease data = obs_data_create();
			 obs_data_set_int(data, "url", 4251);
			 QStringList state{text(obs_data_get_string(data, "missing")),
					   text(obs_data_get_string(data, "url"))};
			 obs_data_set_string(data, "url", "b");
			 return seen(state << text(obs_data_get_string(data, "url"))
					   << QString::number(obs_data_get_int(data, "url")));
		 },
		 "\"\" \"\" \"b\" 0"},
		{"obs_data_release, obs_source_release: null is ignored",
		 [] {
			 obs_data_release(nullptr);
			 obs_source_release(nullptr);
			 return QStringLiteral("ignored");
		 },
		 "ignored"},

		// Module folders and texts.
		{"obs_find_module_file, bfree: a file, a folder, a missing file, no module",
		 [] {
			 QStringList found;
			 for (const char *file : {"locale/en-US.ini", "qt-plugins", "missing.html"})
				 found.append(path(BPtr<char>(obs_find_module_file(probeModule, file))));
			 found.append(path(BPtr<char>(obs_find_module_file(nullptr, "qt-plugins"))));
			 bfree(nullptr);
			 return seen(found);
		 },
		 "\"DATA/locale/en-US.ini\" \"DATA/qt-plugins\" null null"},
		{"obs_module_get_config_path: under the module's own folder, not created",
		 [] {
			 BPtr<char> config = obs_module_get_config_path(probeModule, "runtime/event-goal");
			 return seen({path(config), yes(QFileInfo::exists(QString::fromUtf8(config.Get())))});
		 },
		 "\"CONFIG/kelp-contract-probe/runtime/event-goal\" no"},
		{"obs_module_load_locale, text_lookup_getstr, text_lookup_destroy: the locale over the default",
		 [] { return localeStrings("en-US", "de-DE"); }, "yes \"Hallo\" \"Fallback\" false"},
		{"obs_module_load_locale: a locale without a file falls back to the default",
		 [] { return localeStrings("en-US", "fr-FR"); }, "yes \"Hello\" \"Fallback\" false"},
		{"obs_module_load_locale: no lookup without the default's file",
		 [] { return localeStrings("xx-XX", "de-DE"); }, "no false false false"},
		{"obs_module_load_locale: no lookup without a module or a locale",
		 [] {
			 return seen({yes(obs_module_load_locale(nullptr, "en-US", "en-US")),
				      yes(obs_module_load_locale(probeModule, "en-US", nullptr))});
		 },
		 "no no"},

		// The host.
		{"blog, obs_get_version_string: printf formatting at its level; a dotted version",
		 [] {
			 blog(LOG_WARNING, "[contract] %s %d", "x", 5);
			 const QString version = QString::fromUtf8(obs_get_version_string());
			 return backend::takeLog(QStringLiteral("[contract]")).join(QLatin1Char('|')) +
				(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+")).match(version).hasMatch()
					 ? QStringLiteral(" dotted")
					 : version);
		 },
		 "200: [contract] x 5 dotted"},
	};
	return table;
}

// The dynamic symbols `nm` lists for a library with the given options.
QSet<QString> symbols(const QStringList &options, const QString &library)
{
	QProcess nm;
	nm.start(QStringLiteral(KELP_NM), options + QStringList{QStringLiteral("-D"), library});
	if (!nm.waitForFinished() || nm.exitCode() != 0)
		return {};
	QSet<QString> names;
	for (const QByteArray &line : nm.readAllStandardOutput().split('\n')) {
		const QByteArray name = line.trimmed().split(' ').last();
		if (!name.isEmpty())
			names.insert(QString::fromLatin1(name.split('@').first()));
	}
	return names;
}

void writeFile(const QString &name, const QByteArray &content)
{
	QDir().mkpath(QFileInfo(name).path());
	QFile file(name);
	QVERIFY(file.open(QIODevice::WriteOnly));
	file.write(content);
}

} // namespace

// The libobs behaviours the module relies on, run against one back end. Each row states what the
// real libobs does; the stand-in must agree.
class TestContract : public QObject {
	Q_OBJECT

private slots:
	void initTestCase()
	{
		const QString data = scratch.filePath(QStringLiteral("data"));
		writeFile(data + QStringLiteral("/locale/en-US.ini"),
			  "# The default locale\nGreeting=\"Hello\"\nOnlyDefault=\"Fallback\"\n");
		writeFile(data + QStringLiteral("/locale/de-DE.ini"), "Greeting=\"Hallo\"\n");
		QVERIFY(QDir().mkpath(data + QStringLiteral("/qt-plugins")));
		QString error;
		QVERIFY2(backend::start(scratch.filePath(QStringLiteral("config")), &error), qPrintable(error));
		qInfo("back end: %s", qPrintable(backend::name()));
		probeModule = backend::openModule(data);
		QVERIFY(probeModule);
		// libobs grows some of its own tables the first time a path runs and keeps them until
		// obs_shutdown; one pass before counting leaves only what a row itself keeps.
		for (const Row &row : rows()) {
			backend::mark();
			row.probe();
			backend::settle();
		}
	}

	void cleanupTestCase() { QCOMPARE(backend::stop(), QString()); }

	void init()
	{
		backend::takeLog(QString());
		backend::mark();
	}

	// Everything a row obtained was released, exactly once.
	void cleanup() { QCOMPARE(backend::settle().join(QLatin1Char('\n')), QString()); }

	void contract_data()
	{
		QTest::addColumn<Probe>("probe");
		QTest::addColumn<QString>("expected");
		for (const Row &row : rows())
			QTest::newRow(row.tag) << row.probe << QString::fromUtf8(row.expected);
	}

	void contract()
	{
		QFETCH(Probe, probe);
		QFETCH(QString, expected);
		QCOMPARE(probe(), expected);
	}

	void misuseIsReported_data()
	{
		QTest::addColumn<Probe>("misuse");
		QTest::newRow("obs_module_get_config_path without a module")
			<< Probe([] { return path(BPtr<char>(obs_module_get_config_path(nullptr, "runtime"))); });
		QTest::newRow("obs_scene_add with a source already freed") << Probe([] {
			backend::addScene("Scene");
			OBSSourceAutoRelease scene = obs_get_source_by_name("Scene");
			obs_source_t *source = createInput("Input");
			obs_source_release(source);
			return yes(obs_scene_add(obs_scene_from_source(scene), source));
		});
		QTest::newRow("obs_source_release once too often") << Probe([] {
			obs_source_t *source = createInput("Input");
			obs_source_release(source);
			obs_source_release(source);
			return QString();
		});
	}

	// What libobs answers with a crash or with freed memory, the stand-in reports.
	void misuseIsReported()
	{
		QFETCH(Probe, misuse);
		if (!backend::reportsMisuse())
			QSKIP("libobs does not survive it");
		misuse();
		QVERIFY(!backend::settle().isEmpty());
	}

	// The table grows with the module: every libobs function it imports has a row.
	void everyImportIsCovered()
	{
		const QSet<QString> fromLibobs =
			symbols({QStringLiteral("--defined-only")}, QStringLiteral(KELP_LIBOBS_FILE));
		const QSet<QString> imports =
			symbols({QStringLiteral("--undefined-only")}, QStringLiteral(KELP_MODULE_FILE)) & fromLibobs;
		QVERIFY(imports.contains(QStringLiteral("obs_source_create")));
		QSet<QString> covered;
		for (const Row &row : rows())
			for (const QString &function :
			     QString::fromUtf8(row.tag).section(QLatin1Char(':'), 0, 0).split(QStringLiteral(", ")))
				covered.insert(function);
		QStringList missing = (imports - covered).values();
		missing.sort();
		QCOMPARE(missing.join(QStringLiteral(", ")), QString());
	}
};

QTEST_GUILESS_MAIN(TestContract)
#include "test-contract.moc"
