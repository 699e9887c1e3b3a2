#include <module-host.h>
#include <obs-standin.h>

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QTcpServer>
#include <QTest>

#include <util/base.h>

#include <memory>

// A host whose Qt has no Qt 6 QApplication (an OBS built with Qt 5, a command-line tool): the
// module must refuse to load rather than let its first widget abort the process.
class TestModuleNoApp : public QObject {
	Q_OBJECT

	ModuleHost host{QStringLiteral(KELP_STANDIN_MODULE)};

private slots:
	void refusedWithoutQApplication_data()
	{
		QTest::addColumn<QString>("application");
		QTest::newRow("none") << QString();
		QTest::newRow("QCoreApplication") << QStringLiteral("core");
		QTest::newRow("QGuiApplication") << QStringLiteral("gui");
	}

	void refusedWithoutQApplication()
	{
		QFETCH(QString, application);
		static int argc = 1;
		static char name[] = "host";
		static char *argv[] = {name, nullptr};
		std::unique_ptr<QCoreApplication> app;
		if (application == QLatin1String("core"))
			app = std::make_unique<QCoreApplication>(argc, argv);
		else if (application == QLatin1String("gui"))
			app = std::make_unique<QGuiApplication>(argc, argv);

		standin::reset();
		standin::setModuleDataPath(QStringLiteral(KELP_TEST_DATA_DIR));
		const QStringList libraryPaths = QCoreApplication::libraryPaths();
		QString error;
		QVERIFY2(host.open(&error), qPrintable(error));
		QVERIFY(!host.load(standin::module(), QStringLiteral("en-US"), &error));

		// One line that says why, and nothing made: no dock, no plug-in path, no port, no reference.
		QCOMPARE(standin::log().size(), 1);
		QCOMPARE(standin::log().constFirst().level, LOG_ERROR);
		QVERIFY2(standin::logTexts().constFirst().contains(QStringLiteral("Qt 6 QApplication")),
			 qPrintable(standin::logTexts().constFirst()));
		QVERIFY(standin::dockIds().isEmpty());
		QCOMPARE(QCoreApplication::libraryPaths(), libraryPaths);
		QTcpServer probe;
		QVERIFY(probe.listen(QHostAddress::LocalHost, 4251));
		QCOMPARE(standin::outstandingReferences(), QStringList());
	}
};

QTEST_APPLESS_MAIN(TestModuleNoApp)
#include "test-module-no-app.moc"
