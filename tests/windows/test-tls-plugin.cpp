#include <module-host.h>
#include <obs-standin.h>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

// The module as the Windows package lays it out, in a host whose Qt cannot reach its own plug-in
// folder (obs64.exe may deploy no TLS backend): the backend comes from the module's qt-plugins/tls
// or from nowhere. Qt keeps the backends it found once, so each case runs in its own process.
class TestTlsPlugin : public QObject {
	Q_OBJECT

	const bool withBackend;
	const QString packageData;
	QTemporaryDir home;

	// The package's data folder, without the backend when the case says so.
	bool stageData(const QString &target)
	{
		QDirIterator it(packageData, QDir::Files, QDirIterator::Subdirectories);
		while (it.hasNext()) {
			const QString from = it.next();
			const QString relative = QDir(packageData).relativeFilePath(from);
			if (!withBackend && relative.startsWith(QLatin1String("qt-plugins/tls/")))
				continue;
			const QString to = target + QLatin1Char('/') + relative;
			if (!QDir().mkpath(QFileInfo(to).path()) || !QFile::copy(from, to))
				return false;
		}
		return true;
	}

public:
	TestTlsPlugin(bool withBackend, const QString &packageData) : withBackend(withBackend), packageData(packageData)
	{
	}

private slots:
	void initTestCase()
	{
		QVERIFY2(QFile::exists(packageData + "/qt-plugins/tls/qschannelbackend.dll"),
			 "the package carries no Schannel backend");
		// Only the program's own folder, which holds no tls/ plug-ins.
		QCoreApplication::setLibraryPaths({QCoreApplication::applicationDirPath()});
	}

	void backendFromModuleFolder()
	{
		const QString data = home.filePath("data");
		QVERIFY(stageData(data));
		standin::reset();
		standin::setModuleDataPath(data);
		standin::setModuleConfigPath(home.filePath("config"));

		ModuleHost host(QStringLiteral(KELP_STANDIN_MODULE));
		QString error;
		QVERIFY2(host.load(standin::module(), QStringLiteral("en-US"), &error), qPrintable(error));
		QVERIFY(QCoreApplication::libraryPaths().contains(QDir(data + "/qt-plugins").absolutePath()));

		if (withBackend) {
			QCOMPARE(QSslSocket::activeBackend(), QStringLiteral("schannel"));
			QVERIFY(QSslSocket::supportsSsl());
		} else {
			QVERIFY(QSslSocket::availableBackends().isEmpty());
			QVERIFY(!QSslSocket::supportsSsl());
			// After load, OBS's log says why HTTPS cannot work.
			QTRY_VERIFY(standin::logTexts().contains(QStringLiteral(
				"[KELP] HTTPS unavailable: no TLS-capable Qt backend (active: none; available: "
				"none); pairing and every request to the KELP service fail")));
		}

		host.unload();
		QCOMPARE(standin::outstandingReferences(), QStringList());
	}
};

// Usage: test-tls-plugin --with-backend|--without-backend PACKAGE_DATA_DIR [QtTest options]
int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	QStringList args = app.arguments();
	const int at = args.indexOf(QRegularExpression("--with(out)?-backend"));
	if (at < 1 || at + 1 >= args.size()) {
		fprintf(stderr, "usage: %s --with-backend|--without-backend PACKAGE_DATA_DIR\n", argv[0]);
		return 2;
	}
	TestTlsPlugin test(args.at(at) == QLatin1String("--with-backend"), QDir::fromNativeSeparators(args.at(at + 1)));
	args.remove(at, 2);
	return QTest::qExec(&test, args);
}

#include "test-tls-plugin.moc"
