#include "bus/local-sse-server.h"
#include "support/raw-http.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QElapsedTimer>

namespace {
const QByteArray kOpening = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
			    "Cache-Control: no-cache, no-transform\r\nConnection: keep-alive\r\n"
			    "Access-Control-Allow-Origin: *\r\nX-Accel-Buffering: no\r\n\r\n"
			    "retry: 1500\n: kelp-local-ready\n\n";
const QByteArray kCors = "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\n"
			 "Access-Control-Allow-Headers: Content-Type\r\nCache-Control: no-store\r\n";

QByteArray plainResponse(const QByteArray &statusLine, const QByteArray &contentType, const QByteArray &body,
			 const QByteArray &extra = QByteArray())
{
	return "HTTP/1.1 " + statusLine + "\r\nContent-Type: " + contentType + "\r\n" + kCors + extra +
	       "Connection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
	QFile file(path);
	QVERIFY(file.open(QIODevice::WriteOnly));
	file.write(bytes);
}

// An /events stream that has read its opening and first config block.
struct Stream {
	RawClient client;
	explicit Stream(const QByteArray &config = "{}")
	{
		client.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
		expected = kOpening + "event: config\ndata: " + config + "\n\n";
		opened = client.waitForBytes(expected.size());
	}
	QByteArray expected;
	bool opened = false;
	QByteArray afterOpening() const { return client.received.mid(expected.size()); }
};
} // namespace

class TestBus : public QObject {
	Q_OBJECT

private:
	QTemporaryDir root;
	LocalSseServer *server = nullptr;

private slots:
	void init()
	{
		server = new LocalSseServer(this);
		server->setWidgetRoot(root.path());
		QVERIFY(server->start());
	}

	void cleanup()
	{
		delete server;
		server = nullptr;
		QFile::remove(root.filePath("index.html"));
		QFile::remove(root.filePath("mask.png"));
	}

	void routes_data()
	{
		QTest::addColumn<QByteArray>("request");
		QTest::addColumn<QByteArray>("expected");
		const QByteArray notFound = plainResponse("404 Not Found", "application/json; charset=utf-8",
							  "{\"ok\":false,\"error\":\"not_found\"}");
		const QByteArray page = plainResponse("200 OK", "text/html; charset=utf-8", "<p>goal</p>");
		const QByteArray health =
			plainResponse("200 OK", "application/json; charset=utf-8",
				      "{\"ok\":true,\"service\":\"kelp-obs-local-sse\",\"clients\":0,\"delivered\":0,"
				      "\"widget_revision\":\"\",\"runtime_version\":\"bundled\"}");
		QTest::newRow("options any path")
			<< QByteArray("OPTIONS /anything HTTP/1.1\r\n\r\n")
			<< plainResponse("204 No Content", "application/json; charset=utf-8", QByteArray());
		QTest::newRow("health") << QByteArray("GET /health HTTP/1.1\r\n\r\n") << health;
		QTest::newRow("health with query") << QByteArray("GET /health?x=1&y HTTP/1.1\r\n\r\n") << health;
		QTest::newRow("page") << QByteArray("GET /widget/event-goal/ HTTP/1.1\r\n\r\n") << page;
		QTest::newRow("page index") << QByteArray("GET /widget/event-goal/index.html HTTP/1.1\r\n\r\n") << page;
		QTest::newRow("page runtime query")
			<< QByteArray("GET /widget/event-goal/?runtime=bundled HTTP/1.1\r\n\r\n") << page;
		QTest::newRow("page without slash")
			<< QByteArray("GET /widget/event-goal HTTP/1.1\r\n\r\n") << notFound;
		QTest::newRow("other runtime file")
			<< QByteArray("GET /widget/event-goal/mask.png HTTP/1.1\r\n\r\n") << notFound;
		QTest::newRow("config default") << QByteArray("GET /widget/config HTTP/1.1\r\n\r\n")
						<< plainResponse("200 OK", "application/json; charset=utf-8", "{}");
		QTest::newRow("head") << QByteArray("HEAD /health HTTP/1.1\r\n\r\n") << notFound;
		QTest::newRow("post") << QByteArray("POST /health HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}") << notFound;
		QTest::newRow("lower-case get") << QByteArray("get /health HTTP/1.1\r\n\r\n") << notFound;
		QTest::newRow("no target") << QByteArray("GET\r\n\r\n") << notFound;
		QTest::newRow("empty request line") << QByteArray("\r\n\r\n") << notFound;
		QTest::newRow("double space") << QByteArray("GET  /health HTTP/1.1\r\n\r\n") << notFound;
		QTest::newRow("percent-encoded path") << QByteArray("GET /%68ealth HTTP/1.1\r\n\r\n") << notFound;
		QTest::newRow("pipelined second request ignored")
			<< QByteArray("GET /widget/config HTTP/1.1\r\n\r\nGET /health HTTP/1.1\r\n\r\n")
			<< plainResponse("200 OK", "application/json; charset=utf-8", "{}");
	}

	void routes()
	{
		QFETCH(QByteArray, request);
		QFETCH(QByteArray, expected);
		writeFile(root.filePath("index.html"), "<p>goal</p>");
		QCOMPARE(rawRequest(request).raw, expected);
	}

	void requestInSegmentsAnsweredOnce()
	{
		RawClient client;
		const QList<QByteArray> segments = {"GE", "T /hea", "lth HTTP/1.1\r\nHost: x\r", "\n\r"};
		for (const QByteArray &segment : segments) {
			client.send(segment);
			QTest::qWait(50);
			QVERIFY(client.received.isEmpty());
			QVERIFY(!client.isClosed());
		}
		client.send("\nbody bytes after the head");
		QVERIFY(client.waitForClosed());
		const HttpResponse response = parseResponse(client.received);
		QCOMPARE(response.status, 200);
		QCOMPARE(client.received.count("HTTP/1.1"), 1);
	}

	void widgetPageMissing_data()
	{
		QTest::addColumn<bool>("emptyRoot");
		QTest::newRow("no root") << true;
		QTest::newRow("root without index.html") << false;
	}

	void widgetPageMissing()
	{
		QFETCH(bool, emptyRoot);
		if (emptyRoot)
			server->setWidgetRoot(QString());
		QCOMPARE(rawGet("/widget/event-goal/").raw,
			 plainResponse("404 Not Found", "application/json",
				       "{\"ok\":false,\"error\":\"widget_html_missing\"}"));
	}

	void assetsStoredClearedAndFallback()
	{
		writeFile(root.filePath("mask.png"), "PNGBYTES");
		const QByteArray missing = plainResponse("404 Not Found", "application/json",
							 "{\"ok\":false,\"error\":\"asset_not_found\"}");
		QCOMPARE(rawGet("/widget/asset/mask").raw, plainResponse("200 OK", "image/png", "PNGBYTES"));
		QCOMPARE(rawGet("/widget/asset/frame").raw, missing);
		QCOMPARE(rawGet("/widget/asset/Mask").raw, missing);
		QCOMPARE(rawGet("/widget/asset/").raw, missing);

		server->setWidgetAsset("mask", "image/webp", "WEBP", "rev-7");
		QCOMPARE(rawGet("/widget/asset/mask?v=rev-7").raw,
			 plainResponse("200 OK", "image/webp", "WEBP", "X-KELP-Asset-Revision: rev-7\r\n"));
		server->setWidgetAsset("a/b", "text/plain", "slash", "r");
		QCOMPARE(rawGet("/widget/asset/a/b").body, QByteArray("slash"));

		server->clearWidgetAsset("mask");
		QCOMPARE(rawGet("/widget/asset/mask").raw, plainResponse("200 OK", "image/png", "PNGBYTES"));
	}

	void healthEscapesStrings()
	{
		server->setWidgetConfig("{\"a\":1}", "rev\"1\\\n");
		server->setRuntimeVersion("v\t2");
		const HttpResponse response = rawGet("/health");
		QJsonParseError error;
		const QJsonObject health = QJsonDocument::fromJson(response.body, &error).object();
		QCOMPARE(error.error, QJsonParseError::NoError);
		QCOMPARE(health.value("widget_revision").toString(), QString("rev\"1\\\n"));
		QCOMPARE(health.value("runtime_version").toString(), QString("v\t2"));

		server->setRuntimeVersion(QString());
		QVERIFY(rawGet("/health").body.endsWith("\"runtime_version\":\"bundled\"}"));
		server->setWidgetConfig(QByteArray(), "r2");
		QCOMPARE(rawGet("/widget/config").body, QByteArray("{}"));
	}

	void streamOpeningAndBlocks()
	{
		Stream stream;
		QVERIFY(stream.opened);
		QCOMPARE(stream.client.received, stream.expected);
		QTRY_COMPARE(server->clientCount(), 1);

		server->setWidgetConfig("{\"goal\":5}", "r1");
		server->setWidgetAsset("frame", "image/png", "F", "2024-01-01T00:00:00Z");
		server->clearWidgetAsset("never-stored");
		server->setWidgetAsset("we\"ird", "image/png", "F", "x");
		server->broadcastEvent("{\"seq\":3}");
		QMetaObject::invokeMethod(server, "heartbeat");
		const QByteArray blocks =
			"event: config\ndata: {\"goal\":5}\n\n"
			"event: asset\ndata: {\"slot\":\"frame\",\"revision\":\"2024-01-01T00:00:00Z\"}\n\n"
			"event: asset\ndata: {\"slot\":\"never-stored\",\"revision\":\"bundled\"}\n\n"
			"event: asset\ndata: {\"slot\":\"we\\\"ird\",\"revision\":\"x\"}\n\n"
			"event: kelp\ndata: {\"seq\":3}\n\n"
			": keepalive\n\n";
		QVERIFY(stream.client.waitForBytes(stream.expected.size() + blocks.size()));
		QTest::qWait(50);
		QCOMPARE(stream.afterOpening(), blocks);

		// A new stream gets the current configuration, and nothing else is replayed.
		Stream late("{\"goal\":5}");
		QVERIFY(late.opened);
		QTest::qWait(50);
		QCOMPARE(late.client.received, late.expected);
	}

	void streamIgnoresInputAndStaysOpen()
	{
		Stream stream;
		QVERIFY(stream.opened);
		stream.client.send("GET /health HTTP/1.1\r\n\r\n");
		QTest::qWait(100);
		QVERIFY(!stream.client.isClosed());
		QCOMPARE(stream.client.received, stream.expected);
	}

	void deliveryCounting()
	{
		QSignalSpy changed(server, &LocalSseServer::stateChanged);
		server->broadcastEvent("{\"n\":0}");
		QCOMPARE(server->deliveredCount(), quint64(0));
		QCOMPARE(changed.count(), 1);

		Stream first;
		Stream second;
		QVERIFY(first.opened && second.opened);
		server->broadcastEvent("{\"n\":1}");
		QCOMPARE(server->deliveredCount(), quint64(1));
		const QByteArray block = "event: kelp\ndata: {\"n\":1}\n\n";
		QVERIFY(first.client.waitForContains(block));
		QVERIFY(second.client.waitForContains(block));
		QCOMPARE(first.afterOpening(), block);
		QCOMPARE(second.afterOpening(), block);

		second.client.socket.disconnectFromHost();
		QTRY_COMPARE(server->clientCount(), 1);
		server->broadcastEvent("{\"n\":2}");
		QCOMPARE(server->deliveredCount(), quint64(2));
		QVERIFY(rawGet("/health").body.contains("\"clients\":1,\"delivered\":2,"));
	}

	void takenPort()
	{
		delete server;
		server = nullptr;
		QTcpServer squatter;
		QVERIFY(squatter.listen(QHostAddress::LocalHost, LocalSseServer::kPort));
		LocalSseServer bus;
		QSignalSpy changed(&bus, &LocalSseServer::stateChanged);
		QVERIFY(!bus.start());
		QCOMPARE(changed.count(), 1);
		QVERIFY(!bus.isListening());
		QCOMPARE(bus.port(), quint16(0));
		squatter.close();
		QVERIFY(bus.start());
		QCOMPARE(bus.port(), LocalSseServer::kPort);
	}

	void stopAndRestart()
	{
		QSignalSpy changed(server, &LocalSseServer::stateChanged);
		QVERIFY(server->start());
		QCOMPARE(changed.count(), 0);

		server->setWidgetConfig("{\"k\":1}", "r");
		Stream stream("{\"k\":1}");
		QVERIFY(stream.opened);
		server->broadcastEvent("{}");
		server->stop();
		QCOMPARE(server->clientCount(), 0);
		QVERIFY(!server->isListening());
		QVERIFY(stream.client.waitForClosed());
		RawClient refused;
		QVERIFY(refused.isClosed());

		QVERIFY(server->start());
		Stream again("{\"k\":1}");
		QVERIFY(again.opened);
		QCOMPARE(server->deliveredCount(), quint64(1));
	}

	void oversizedHeadClosedWithoutAnswer()
	{
		RawClient client;
		client.send("GET /" + QByteArray(LocalSseServer::kMaxRequestHead, 'a'));
		QVERIFY(client.waitForClosed());
		QVERIFY(client.received.isEmpty());

		// A head just inside the bound is still answered.
		const QByteArray filler = "X-Pad: " + QByteArray(LocalSseServer::kMaxRequestHead - 64, 'p') + "\r\n";
		QCOMPARE(rawRequest("GET /health HTTP/1.1\r\n" + filler + "\r\n").status, 200);
	}

	void stalledHeadClosedAfterBound()
	{
		Stream stream;
		QVERIFY(stream.opened);
		QElapsedTimer clock;
		clock.start();
		RawClient stalled;
		stalled.send("GET /health HTTP/1.1\r\nHost:");
		QTest::qWait(2000);
		QCOMPARE(rawGet("/health").status, 200);
		QVERIFY(!stalled.isClosed());
		QVERIFY(stalled.waitForClosed(LocalSseServer::kRequestHeadTimeoutMs + 3000));
		QVERIFY(clock.elapsed() >= LocalSseServer::kRequestHeadTimeoutMs - 500);
		QVERIFY(stalled.received.isEmpty());
		// The stream that completed its head long ago is not touched by the bound.
		QVERIFY(!stream.client.isClosed());
		QCOMPARE(server->clientCount(), 1);
	}

	void stalledReaderDroppedAtBacklogBound()
	{
		RawClient stalled;
		stalled.socket.setReadBufferSize(1);
		stalled.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
		stalled.send("GET /events HTTP/1.1\r\n\r\n");
		Stream healthy;
		QVERIFY(healthy.opened);
		QTRY_COMPARE(server->clientCount(), 2);

		const QByteArray payload = "{\"pad\":\"" + QByteArray(32 * 1024, 'x') + "\"}";
		int sent = 0;
		while (server->clientCount() == 2 && sent < 2000) {
			server->broadcastEvent(payload);
			++sent;
			QCoreApplication::processEvents();
		}
		QCOMPARE(server->clientCount(), 1);
		QVERIFY(sent > 32); // the bound is reached only past 1 MiB of backlog
		const QByteArray block = "event: kelp\ndata: " + payload + "\n\n";
		QVERIFY(healthy.client.waitForBytes(healthy.expected.size() + sent * block.size(), 15000));
		QCOMPARE(healthy.client.received.count("event: kelp\n"), sent);
		QCOMPARE(server->deliveredCount(), quint64(sent));
	}

	// A reader that falls behind makes the server hold bytes of its own and then catches up while
	// events keep coming: every block arrives whole and in order, whether the kernel took it at once
	// or the server held it first.
	void slowReaderGetsEveryBlockInOrder()
	{
		RawClient reader;
		reader.socket.setReadBufferSize(1);
		reader.send("GET /events HTTP/1.1\r\n\r\n");
		QTRY_COMPARE(server->clientCount(), 1);
		const QList<QTcpSocket *> sockets = server->findChildren<QTcpSocket *>();
		QCOMPARE(sockets.size(), 1);
		QTcpSocket *stream = sockets.first();

		QByteArray expected = kOpening + "event: config\ndata: {}\n\n";
		int seq = 0;
		const auto push = [&] {
			++seq;
			const QByteArray json = "{\"seq\":" + QByteArray::number(seq) + ",\"pad\":\"" +
						QByteArray(4000 + seq % 97, char('a' + seq % 26)) + "\"}";
			server->broadcastEvent(json);
			expected += "event: kelp\ndata: " + json + "\n\n";
		};
		while (stream->bytesToWrite() < 64 * 1024 && seq < 2000) {
			push();
			QCoreApplication::processEvents();
		}
		QVERIFY2(stream->bytesToWrite() >= 64 * 1024, "the kernel took every byte, so the server held none");
		QVERIFY(stream->bytesToWrite() < LocalSseServer::kMaxStreamBacklog);

		reader.socket.setReadBufferSize(0);
		for (int i = 0; i < 100; ++i) {
			push();
			QTest::qWait(1);
		}
		QVERIFY(reader.waitForBytes(expected.size(), 15000));
		QTRY_COMPARE(stream->bytesToWrite(), qint64(0));
		const QByteArray &got = reader.received;
		qsizetype differ = 0;
		while (differ < qMin(got.size(), expected.size()) && got.at(differ) == expected.at(differ))
			++differ;
		QVERIFY2(got == expected, qPrintable(QStringLiteral("first difference at byte %1 of %2 (%3 received)")
							     .arg(differ)
							     .arg(expected.size())
							     .arg(got.size())));
		QCOMPARE(server->clientCount(), 1);
		QCOMPARE(server->deliveredCount(), quint64(seq));
	}
};

QTEST_MAIN(TestBus)
#include "test-bus.moc"
