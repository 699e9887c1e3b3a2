// The module's own "qt-plugins" data folder as the only place a TLS backend can come from, as in
// a host whose Qt deploys none: with Qt's OpenSSL backend copied into qt-plugins/tls/ an HTTPS
// request of the client succeeds; without it, or behind a certificate-only backend another plug-in
// brought first, the dock shows the failure and OBS's log says why. And, with Qt's folder in
// reach, the stand-in build trusting the test authority on its host's word alone. Qt keeps the
// backends it found for the life of the process, so CTest runs each case in a process of its own.

#include <module-host.h>
#include <obs-standin.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLibraryInfo>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

class TestTlsPlugins : public QObject {
	Q_OBJECT

	QTemporaryDir home;
	QString qtBackend;
	QProcess sim;
	QString origin;
	ModuleHost host{QStringLiteral(KELP_STANDIN_MODULE)};

	// Loads the module with a data folder of its own, with or without the backend copy, and
	// presses "Pair OBS": the pairing start is the client's first HTTPS request.
	QWidget *loadAndPair(bool withBackend, const QString &trustedAuthority = QString())
	{
		const QString data = home.filePath(QStringLiteral("data"));
		if (!QDir().mkpath(data + QStringLiteral("/qt-plugins/tls")))
			return nullptr;
		if (withBackend && !QFile::copy(qtBackend, data + QStringLiteral("/qt-plugins/tls/") +
								   QFileInfo(qtBackend).fileName()))
			return nullptr;
		standin::reset();
		standin::setModuleDataPath(data);
		standin::setModuleConfigPath(home.filePath(QStringLiteral("config")));
		standin::setServiceOrigin(origin);
		standin::setTrustedAuthority(trustedAuthority);
		QString error;
		if (!host.load(standin::module(), QStringLiteral("en-US"), &error)) {
			qWarning("%s", qPrintable(error));
			return nullptr;
		}
		if (trustedAuthority.isEmpty() && QSslSocket::supportsSsl()) {
			// This host trusts the test authority, once a backend can read it. (The stand-in
			// build's own hook runs while the library loads, before the module's folder is on
			// the library path.)
			QSslConfiguration config = QSslConfiguration::defaultConfiguration();
			config.addCaCertificates(
				QSslCertificate::fromPath(QStringLiteral(KELP_TEST_PKI_DIR "/ca.pem")));
			QSslConfiguration::setDefaultConfiguration(config);
		}
		QWidget *dock = standin::dock(QStringLiteral("kelp_obs_dock"));
		if (dock)
			dock->findChild<QPushButton *>(QStringLiteral("pairButton"))->click();
		return dock;
	}

	static QString status(QWidget *dock)
	{
		return dock->findChild<QLabel *>(QStringLiteral("statusLabel"))->text();
	}

private slots:
	void initTestCase()
	{
		QVERIFY(home.isValid());
		qtBackend =
			QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/tls/libqopensslbackend.so");
		QVERIFY2(QFile::exists(qtBackend), qPrintable(qtBackend));
		QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
				   home.filePath(QStringLiteral("settings")));

		// The simulator runs apart: this process has no backend to serve TLS with.
		sim.start(QStringLiteral(KELP_SERVICE_SIM_EXE),
			  {QStringLiteral("--tls"), QStringLiteral("--port"), QStringLiteral("0")});
		const QRegularExpression listening(QStringLiteral("listening on (https://127\\.0\\.0\\.1:\\d+)"));
		QString out;
		QTRY_VERIFY_WITH_TIMEOUT(
			(out += QString::fromUtf8(sim.readAllStandardOutput()), listening.match(out).hasMatch()),
			10000);
		origin = listening.match(out).captured(1);
	}

	// Qt's own plug-in folder out of reach (the platform plug-in is already loaded).
	void init()
	{
		if (QTest::currentTestFunction() == QByteArrayLiteral("standInTrustsNamedAuthority"))
			return;
		QCoreApplication::setLibraryPaths({});
		QVERIFY(!QSslSocket::supportsSsl());
	}

	void cleanupTestCase()
	{
		host.unload();
		sim.terminate();
		sim.waitForFinished(5000);
	}

	void backendFromModuleFolder()
	{
		QWidget *dock = loadAndPair(true);
		QVERIFY(dock);
		QCOMPARE(QSslSocket::activeBackend(), QStringLiteral("openssl"));
		QTRY_COMPARE(status(dock), QStringLiteral("KELP: Enter code on Quayside"));
		QVERIFY(!dock->findChild<QLabel *>(QStringLiteral("pairCodeLabel"))->text().isEmpty());
		QCOMPARE(standin::logTexts().filter("HTTPS unavailable"), QStringList());
	}

	// No backend anywhere; or another plug-in's folder gave Qt its certificate-only backend before
	// this module loaded, and Qt, having one, never looks at the module's folder. Either way OBS's
	// log says why pairing fails. Run one row per process.
	void noTlsBackend_data()
	{
		QTest::addColumn<bool>("certOnlyFirst");
		QTest::addColumn<QString>("backends");
		QTest::newRow("none") << false << QStringLiteral("active: none; available: none");
		QTest::newRow("certificate-only first")
			<< true << QStringLiteral("active: cert-only; available: cert-only");
	}

	void noTlsBackend()
	{
		QFETCH(bool, certOnlyFirst);
		QFETCH(QString, backends);
		QTemporaryDir other;
		if (certOnlyFirst) {
			const QString certOnly =
				QFileInfo(qtBackend).path() + QStringLiteral("/libqcertonlybackend.so");
			QVERIFY(QDir().mkpath(other.filePath(QStringLiteral("tls"))));
			QVERIFY(QFile::copy(certOnly, other.filePath(QStringLiteral("tls/libqcertonlybackend.so"))));
			QCoreApplication::addLibraryPath(other.path());
			QCOMPARE(QSslSocket::availableBackends(), QStringList{QStringLiteral("cert-only")});
		}
		// With the certificate-only backend first, the module's folder does carry a real one.
		QWidget *dock = loadAndPair(certOnlyFirst);
		QVERIFY(dock);
		QTRY_COMPARE(status(dock), QStringLiteral("KELP: Pairing request failed"));
		QTRY_COMPARE(
			standin::logTexts().filter("HTTPS unavailable"),
			QStringList{QStringLiteral("[KELP] HTTPS unavailable: no TLS-capable Qt backend (%1); pairing "
						   "and every request to the KELP service fail")
					    .arg(backends)});
	}

	void standInTrustsNamedAuthority()
	{
		// Nothing in this process trusts the test authority but the stand-in build's hook.
		QWidget *dock = loadAndPair(false, QStringLiteral(KELP_TEST_PKI_DIR "/ca.pem"));
		QVERIFY(dock);
		QTRY_COMPARE(status(dock), QStringLiteral("KELP: Enter code on Quayside"));
	}
};

QTEST_MAIN(TestTlsPlugins)
#include "test-tls-plugins.moc"
