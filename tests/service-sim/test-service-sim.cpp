// What the dev host's page takes from the simulator and no other suite proves through the product
// or the dev host's own test: faults armed and cleared over /_sim/ (one really breaking an answer),
// assets, partial widget states, the request log, the device list and the state kept across restarts.

#include "service-sim.h"
#include "support/raw-http.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kDevice = QStringLiteral("00112233445566778899aabbccddeeff");
const QByteArray kFiles = "/runtime/files/1.0.0/";
const QByteArray kPage(4000, 'p');
} // namespace

class TestServiceSim : public QObject {
	Q_OBJECT

	kelpsim::ServiceSim *sim = nullptr;
	QTemporaryDir dir;

	HttpResponse call(const QByteArray &method, const QByteArray &target, const QByteArray &body = QByteArray(),
			  const QByteArray &headers = "Content-Type: application/json\r\n")
	{
		return rawRequest(method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
					  "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body,
				  sim->port());
	}
	QJsonObject control(const QByteArray &method, const QByteArray &path, const QJsonObject &body = QJsonObject())
	{
		const QByteArray json = body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson();
		return QJsonDocument::fromJson(call(method, "/_sim" + path, json).body).object();
	}
	// A plug-in request under kDevice's token.
	HttpResponse plugin(const QByteArray &path, const QByteArray &query = QByteArray())
	{
		return call("GET", path + "?device_id=" + kDevice.toUtf8() + query, QByteArray(),
			    "Authorization: Bearer " + sim->tokenFor(kDevice).toUtf8() + "\r\n");
	}

private slots:
	void initTestCase()
	{
		QVERIFY(dir.isValid());
		for (const auto &[name, bytes] : {std::pair{"a.js", kPage}, {"b.js", "b"}, {"a.jsx", "x"}}) {
			QFile file(dir.filePath(QLatin1String(name)));
			QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
		}
	}
	void init()
	{
		sim = new kelpsim::ServiceSim(this);
		QVERIFY(sim->listen());
		QVERIFY(sim->publishRuntime("1.0.0", dir.path()));
	}
	void cleanup() { delete sim; }

	void faults()
	{
		// A path ending in "/" is a prefix; skip lets the first ones through; count bounds it.
		control("POST", "/faults",
			{{"path", "/runtime/files/"}, {"kind", "status"}, {"status", 404}, {"skip", 1}, {"count", 2}});
		QList<int> statuses;
		for (const char *name : {"a.js", "b.js", "a.jsx", "b.js"})
			statuses.append(call("GET", kFiles + name).status);
		QCOMPARE(statuses, (QList<int>{200, 404, 404, 200}));
		QCOMPARE(control("GET", "/faults").value("faults").toArray(), QJsonArray());

		// An exact path is no prefix, a negative count lasts until cleared, and the body is cut.
		control("POST", "/faults",
			{{"path", QString::fromUtf8(kFiles + "a.js")}, {"kind", "short-body"}, {"count", -1}});
		for (int i = 0; i < 2; ++i)
			QCOMPARE(call("GET", kFiles + "a.js").body, kPage.left(kPage.size() / 2));
		QCOMPARE(call("GET", kFiles + "a.jsx").body, QByteArray("x"));
		control("DELETE", "/faults");
		QCOMPARE(call("GET", kFiles + "a.js").body, kPage);

		// A trickle delivers the whole body, spread over its delay.
		control("POST", "/faults",
			{{"path", QString::fromUtf8(kFiles + "a.js")}, {"kind", "trickle"}, {"delay_ms", 600}});
		QElapsedTimer clock;
		clock.start();
		QCOMPARE(call("GET", kFiles + "a.js").body, kPage);
		QVERIFY2(clock.elapsed() >= 500, qPrintable(QString::number(clock.elapsed())));
	}

	void controlApi()
	{
		sim->issueToken(kDevice);
		// Widget state: omitted members keep their values, the revision moves on.
		control("POST", "/widget-state", {{"widget_id", "w9"}, {"revision", "r9"}});
		const QJsonObject state = control("POST", "/widget-state", {{"config", QJsonObject{{"title", "B"}}}});
		QCOMPARE(state.value("widget_id").toString(), QStringLiteral("w9"));
		QVERIFY(state.value("revision").toString() != QStringLiteral("r9"));
		QCOMPARE(QJsonDocument::fromJson(plugin("/api/v27/plugin/widget-state").body).object().value("config"),
			 (QJsonObject{{"title", "B"}}));

		// Assets: raw bytes in, served to the plug-in with their type.
		const QByteArray bytes(5000, '\xAB');
		QCOMPARE(call("POST", "/_sim/assets/particle", bytes,
			      "Content-Type: image/webp\r\nX-Updated-At: 2024-06-01T00:00:00Z\r\n")
				 .status,
			 200);
		const QByteArray asset = "&widget_id=w9&slot=particle";
		const HttpResponse served = plugin("/api/v27/plugin/widget-asset", asset);
		QCOMPARE(served.body, bytes);
		QCOMPARE(served.header("Content-Type"), QByteArray("image/webp"));
		QCOMPARE(call("GET", "/_sim/assets/particle").body, bytes);
		control("DELETE", "/assets/particle");
		QCOMPARE(plugin("/api/v27/plugin/widget-asset", asset).status, 404);

		// The request log holds plug-in traffic only, limited to the newest.
		QCOMPARE(sim->requests().size(), 3);
		const QJsonArray logged = control("GET", "/requests?limit=1").value("requests").toArray();
		QCOMPARE(logged.size(), 1);
		QCOMPARE(logged.at(0).toObject().value("query").toString(), "device_id=" + kDevice + asset);

		// The device list the page draws, with each device's position.
		QCOMPARE(control("POST", "/events", {{"event", QJsonObject{{"type", "donation"}}}}).value("seq"), 1);
		const QJsonObject device = control("GET", "/state").value("devices").toArray().at(0).toObject();
		QCOMPARE(device.value("device_id").toString(), kDevice);
		QVERIFY(device.value("paired").toBool());
		QCOMPARE(device.value("seq").toInteger(), 1);

		// The page publishes the default (the dev host's built-in) runtime when it names no folder.
		sim->setDefaultRuntimeFolder(dir.path());
		QCOMPARE(control("POST", "/runtime/publish", {{"version", "7.7.1"}}).value("runtime_version"), "7.7.1");
		QCOMPARE(call("GET", "/runtime/files/7.7.1/a.js").body, kPage);
	}

	// What a real service keeps survives a restart through the state file; a damaged file is refused.
	void stateFileAcrossRestarts()
	{
		const QString file = dir.filePath("state/sim.json");
		QVERIFY(sim->setStateFile(file));
		const QString token = sim->issueToken(kDevice);
		sim->queueEvent(kDevice, {{"type", "donation"}, {"amount", 7}});
		const QByteArray image("\x89PNG\0\r\n", 7);
		sim->setAsset("mask", "image/png", image, "2024-06-01T00:00:00Z");
		sim->setWidgetState("w2", "r2", {{"title", "Kept"}});
		QVERIFY(sim->publishRuntime("2.0.0", dir.path()));
		const QJsonObject before = sim->state();

		delete sim;
		sim = new kelpsim::ServiceSim(this);
		QVERIFY(sim->listen());
		QVERIFY(sim->setStateFile(file));
		QCOMPARE(sim->tokenFor(kDevice), token);
		// The device with its seq and queued event, the widget with its assets, the runtime.
		QCOMPARE(sim->state().value("devices"), before.value("devices"));
		QCOMPARE(sim->state().value("widget"), before.value("widget"));
		for (const char *key : {"version", "versions"})
			QCOMPARE(sim->state().value("runtime").toObject().value(key),
				 before.value("runtime").toObject().value(key));
		const QJsonDocument events =
			QJsonDocument::fromJson(plugin("/api/v28/plugin/events", "&after_seq=0&wait_ms=0").body);
		QCOMPARE(events["events"][0]["amount"], 7);
		QCOMPARE(plugin("/api/v27/plugin/widget-asset", "&widget_id=w2&slot=mask").body, image);
		QCOMPARE(call("GET", "/runtime/files/2.0.0/a.js").body, kPage);

		// A revoked token stays revoked.
		sim->revokeToken(kDevice);
		delete sim;
		sim = new kelpsim::ServiceSim(this);
		QVERIFY(sim->setStateFile(file));
		QVERIFY(sim->tokenFor(kDevice).isEmpty());

		delete sim;
		QFile damaged(file);
		QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write("{\"format\":1,\"devices\":[{}]}") > 0);
		damaged.close();
		sim = new kelpsim::ServiceSim(this);
		QVERIFY(!sim->setStateFile(file));
		QVERIFY(sim->state().value("devices").toArray().isEmpty());
	}
};

QTEST_GUILESS_MAIN(TestServiceSim)
#include "test-service-sim.moc"
