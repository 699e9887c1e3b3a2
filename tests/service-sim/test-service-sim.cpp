// What the other suites and the dev host take from the simulator without proving it through the
// product: faults that really break the answer as they claim, and the control API under /_sim/.

#include "service-sim.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using kelpsim::Fault;
using kelpsim::ServiceSim;

namespace {
const QString kDevice = QStringLiteral("00112233445566778899aabbccddeeff");
const QString kFiles = QStringLiteral("/runtime/files/1.0.0/");
const QString kPage = kFiles + QStringLiteral("index.html");

struct Result {
	bool finished = false;
	QNetworkReply::NetworkError error = QNetworkReply::NoError;
	int status = 0;
	QByteArray body;
	QByteArray contentType;
	qint64 elapsedMs = 0;
	QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};
} // namespace

class TestServiceSim : public QObject {
	Q_OBJECT

	ServiceSim *sim = nullptr;
	QNetworkAccessManager *network = nullptr;
	QTemporaryDir dir;
	const QByteArray page = "<!doctype html>" + QByteArray(4000, 'p');

	QNetworkReply *send(const QByteArray &method, const QString &target, const QByteArray &body = QByteArray(),
			    const QList<QPair<QByteArray, QByteArray>> &headers = {})
	{
		QNetworkRequest request(QUrl(sim->origin() + target));
		for (const auto &header : headers)
			request.setRawHeader(header.first, header.second);
		if (!body.isEmpty() && request.header(QNetworkRequest::ContentTypeHeader).isNull())
			request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
		QNetworkReply *reply = network->sendCustomRequest(request, method, body);
		reply->setProperty("startedMs", QDateTime::currentMSecsSinceEpoch());
		return reply;
	}

	static Result await(QNetworkReply *reply, int timeoutMs = 5000)
	{
		Result result;
		QSignalSpy finished(reply, &QNetworkReply::finished);
		result.finished = reply->isFinished() || finished.wait(timeoutMs);
		if (!result.finished)
			return result;
		result.error = reply->error();
		result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
		result.body = reply->readAll();
		result.contentType = reply->rawHeader("Content-Type");
		result.elapsedMs = QDateTime::currentMSecsSinceEpoch() - reply->property("startedMs").toLongLong();
		reply->deleteLater();
		return result;
	}

	Result get(const QString &target) { return await(send("GET", target)); }
	// A plug-in request under kDevice's token.
	Result plugin(const QString &path, const QString &query)
	{
		const QByteArray bearer = "Bearer " + sim->tokenFor(kDevice).toUtf8();
		return await(
			send("GET", path + "?device_id=" + kDevice + query, QByteArray(), {{"Authorization", bearer}}));
	}
	Result control(const QByteArray &method, const QString &path, const QJsonObject &body = QJsonObject())
	{
		return await(
			send(method, "/_sim" + path, body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson()));
	}

private slots:
	void initTestCase()
	{
		QVERIFY(dir.isValid());
		const QList<QPair<QString, QByteArray>> files{
			{"index.html", page}, {"a.js", "a"}, {"b.js", "b"}, {"a.jsx", "x"}};
		for (const auto &[name, bytes] : files) {
			QFile file(dir.filePath(name));
			QVERIFY(file.open(QIODevice::WriteOnly));
			QCOMPARE(file.write(bytes), bytes.size());
		}
	}

	void init()
	{
		sim = new ServiceSim(this);
		QVERIFY(sim->listen());
		QVERIFY(sim->publishRuntime("1.0.0", dir.path()));
		network = new QNetworkAccessManager(this);
	}

	void cleanup()
	{
		delete network;
		delete sim;
	}

	void faults_data()
	{
		QTest::addColumn<int>("kind");
		QTest::addColumn<int>("status"); // -1: no answer at all while it is held
		QTest::addColumn<bool>("networkError");
		QTest::addColumn<QByteArray>("body"); // "real", "half", "cut", "flipped", or the body itself

		QTest::newRow("status") << int(Fault::Status) << 503 << true << QByteArray("{\"ok\":false}");
		QTest::newRow("invalid body") << int(Fault::InvalidBody) << 200 << false << QByteArray("not json");
		QTest::newRow("delay") << int(Fault::Delay) << 200 << false << QByteArray("real");
		QTest::newRow("drop") << int(Fault::Drop) << 0 << true << QByteArray();
		QTest::newRow("drop mid-body") << int(Fault::DropMidBody) << 200 << true << QByteArray("cut");
		QTest::newRow("short body") << int(Fault::ShortBody) << 200 << false << QByteArray("half");
		QTest::newRow("wrong bytes") << int(Fault::WrongBytes) << 200 << false << QByteArray("flipped");
		QTest::newRow("hang") << int(Fault::Hang) << -1 << false << QByteArray();
	}

	void faults()
	{
		QFETCH(int, kind);
		QFETCH(int, status);
		QFETCH(bool, networkError);
		QFETCH(QByteArray, body);

		Fault fault;
		fault.path = kPage.toUtf8();
		fault.kind = Fault::Kind(kind);
		fault.status = 503;
		fault.body = kind == Fault::Status ? QByteArray("{\"ok\":false}") : QByteArray();
		fault.delayMs = 300;
		sim->addFault(fault);

		QNetworkReply *reply = send("GET", kPage);
		const Result result = await(reply, status < 0 ? 500 : 5000);
		QCOMPARE(result.finished, status >= 0);
		if (result.finished) {
			QCOMPARE(result.status, status);
			QCOMPARE(result.error != QNetworkReply::NoError, networkError);
			QByteArray flipped = page;
			for (char &c : flipped)
				c = char(~uchar(c));
			if (body == "cut")
				QVERIFY(result.body.size() < page.size());
			else
				QCOMPARE(result.body, body == "real"      ? page
						      : body == "half"    ? page.left(page.size() / 2)
						      : body == "flipped" ? flipped
									  : body);
		}
		if (kind == Fault::Delay)
			QVERIFY2(result.elapsedMs >= 280, QByteArray::number(result.elapsedMs));

		// One request used the fault up: the next is intact, even while a hung one is held.
		QVERIFY(sim->faults().isEmpty());
		QCOMPARE(get(kPage).body, page);
		if (!result.finished) {
			QVERIFY(!reply->isFinished());
			reply->abort();
			reply->deleteLater();
		}
	}

	void faultSelection()
	{
		// A path ending in "/" is a prefix; skip lets the first ones through; count bounds it.
		Result result = control(
			"POST", "/faults",
			{{"path", "/runtime/files/"}, {"kind", "status"}, {"status", 404}, {"skip", 1}, {"count", 2}});
		QCOMPARE(result.status, 200);
		QList<int> statuses;
		for (const char *name : {"a.js", "b.js", "a.jsx", "index.html"})
			statuses.append(get(kFiles + QLatin1String(name)).status);
		QCOMPARE(statuses, (QList<int>{200, 404, 404, 200}));
		QCOMPARE(control("GET", "/faults").json().value("faults").toArray().size(), 0);

		// An exact path is no prefix, and a negative count lasts until cleared.
		QCOMPARE(control("POST", "/faults", {{"path", kFiles + "a.js"}, {"kind", "status"}, {"count", -1}})
				 .status,
			 200);
		QCOMPARE(get(kFiles + "a.js").status, 500);
		QCOMPARE(get(kFiles + "a.js").status, 500);
		QCOMPARE(get(kFiles + "a.jsx").status, 200);
		QCOMPARE(control("DELETE", "/faults").status, 200);
		QCOMPARE(get(kFiles + "a.js").status, 200);
	}

	void controlApi()
	{
		// Pairing, as the page and the dev host's checks approve codes.
		const QString code =
			get("/api/v26/plugin/pair/start?device_id=" + kDevice + "&challenge=" + QString(48, 'a'))
				.json()
				.value("code")
				.toString();
		QCOMPARE(control("GET", "/state").json().value("pending_codes").toArray(), QJsonArray{code});
		Result result = control("POST", "/pair/approve", {{"code", code}});
		QCOMPARE(result.json().value("device_id").toString(), kDevice);
		QCOMPARE(result.json().value("device_token").toString(), sim->tokenFor(kDevice));
		QVERIFY(sim->pendingCodes().isEmpty());

		// An event goes to every paired device and wakes its held poll.
		QNetworkReply *held =
			send("GET", "/api/v28/plugin/events?device_id=" + kDevice + "&after_seq=0&wait_ms=20000",
			     QByteArray(), {{"Authorization", "Bearer " + sim->tokenFor(kDevice).toUtf8()}});
		QTRY_COMPARE(sim->heldPollCount(kDevice), 1);
		result = control("POST", "/events", {{"event", QJsonObject{{"type", "donation"}, {"amount", 3}}}});
		QCOMPARE(result.json().value("seq").toInteger(), 1);
		QCOMPARE(result.json().value("devices").toArray(), QJsonArray{kDevice});
		QCOMPARE(await(held).json().value("events").toArray(),
			 (QJsonArray{QJsonObject{{"type", "donation"}, {"amount", 3}, {"seq", 1}}}));

		// Widget state: omitted members keep their values, the revision moves on.
		QCOMPARE(control("POST", "/widget-state", {{"widget_id", "w9"}, {"revision", "r9"}}).status, 200);
		result = control("POST", "/widget-state", {{"config", QJsonObject{{"title", "B"}}}});
		QCOMPARE(result.json().value("widget_id").toString(), QStringLiteral("w9"));
		QVERIFY(result.json().value("revision").toString() != QStringLiteral("r9"));
		QCOMPARE(plugin("/api/v27/plugin/widget-state", "").json().value("config").toObject(),
			 (QJsonObject{{"title", "B"}}));

		// Assets: raw bytes in, served to the plug-in with their type.
		const QByteArray bytes(5000, '\xAB');
		result = await(send("POST", "/_sim/assets/particle", bytes,
				    {{"Content-Type", "image/webp"}, {"X-Updated-At", "2024-06-01T00:00:00Z"}}));
		QCOMPARE(result.status, 200);
		const QString asset = "&widget_id=w9&slot=particle";
		result = plugin("/api/v27/plugin/widget-asset", asset);
		QCOMPARE(result.body, bytes);
		QCOMPARE(result.contentType, QByteArray("image/webp"));
		QCOMPARE(control("GET", "/assets/particle").body, bytes);
		QCOMPARE(control("DELETE", "/assets/particle").status, 200);
		QCOMPARE(plugin("/api/v27/plugin/widget-asset", asset).status, 404);

		// The request log holds plug-in traffic only, filtered and limited to the newest.
		QCOMPARE(sim->requests().size(), 5);
		const QJsonArray logged = control("GET", "/requests?path=/api/v27/plugin/widget-asset&limit=1")
						  .json()
						  .value("requests")
						  .toArray();
		QCOMPARE(logged.size(), 1);
		QCOMPARE(logged.at(0).toObject().value("query").toString(), "device_id=" + kDevice + asset);
		QCOMPARE(control("DELETE", "/requests").status, 200);
		QVERIFY(sim->requests().isEmpty());

		const QJsonArray devices = control("GET", "/state").json().value("devices").toArray();
		QCOMPARE(devices.size(), 1);
		QCOMPARE(devices.at(0).toObject().value("paired").toBool(), true);
		QCOMPARE(devices.at(0).toObject().value("seq").toInteger(), 1);
	}
};

QTEST_GUILESS_MAIN(TestServiceSim)
#include "test-service-sim.moc"
