#include "bus/local-sse-server.h"
#include "support/raw-http.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {
const QByteArray kOpening = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
			    "Cache-Control: no-cache, no-transform\r\nConnection: keep-alive\r\n"
			    "Access-Control-Allow-Origin: *\r\nX-Accel-Buffering: no\r\n\r\n"
			    "retry: 1500\n: kelp-local-ready\n\n";
const QByteArray kJsonUtf8 = "application/json; charset=utf-8";

QByteArray plainResponse(const QByteArray &statusLine, const QByteArray &contentType, const QByteArray &body,
			 const QByteArray &extra = QByteArray())
{
	return "HTTP/1.1 " + statusLine + "\r\nContent-Type: " + contentType +
	       "\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\n"
	       "Access-Control-Allow-Headers: Content-Type\r\nCache-Control: no-store\r\n" +
	       extra + "Connection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

const QByteArray kPngMask = plainResponse("200 OK", "image/png", "PNGBYTES");
const QByteArray kNoAsset =
	plainResponse("404 Not Found", "application/json", "{\"ok\":false,\"error\":\"asset_not_found\"}");

// An /events stream that has read exactly its opening and first config block.
struct Stream {
	RawClient client;
	QByteArray expected;
	bool opened = false;
	explicit Stream(const QByteArray &config = "{}")
	{
		client.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
		expected = kOpening + "event: config\ndata: " + config + "\n\n";
		opened = client.waitForBytes(expected.size()) && client.received.startsWith(expected);
	}
	QByteArray afterOpening() const { return client.received.mid(expected.size()); }
};

} // namespace

class TestBus : public QObject {
	Q_OBJECT

	QTemporaryDir root;
	LocalSseServer *server = nullptr;

private slots:
	void initTestCase()
	{
		QFile index(root.filePath("index.html")), mask(root.filePath("mask.png"));
		QVERIFY(index.open(QIODevice::WriteOnly) && index.write("<p>goal</p>") == 11);
		QVERIFY(mask.open(QIODevice::WriteOnly) && mask.write("PNGBYTES") == 8);
	}

	void init()
	{
		server = new LocalSseServer(this);
		server->setWidgetRoot(root.path());
		QVERIFY(server->start());
	}

	void cleanup() { delete server; }

	// Thousands of streams closed by their peers at once: each leaves the list by itself, and the
	// owner hears of it in a few notices, not one per stream, the last of which shows none open.
	void streamsClosedTogether()
	{
		constexpr int kStreams = 2000;
#ifdef Q_OS_UNIX
		rlimit limit{}; // both ends live in this process
		QVERIFY(getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max > 2 * kStreams + 100);
		limit.rlim_cur = limit.rlim_max;
		QVERIFY(setrlimit(RLIMIT_NOFILE, &limit) == 0);
#endif
		server->setMaxConnections(kStreams);
		std::vector<std::unique_ptr<RawClient>> peers;
		for (int i = 1; i <= kStreams; ++i) {
			peers.push_back(std::make_unique<RawClient>());
			peers.back()->send("GET /events HTTP/1.1\r\n\r\n");
			if (i % 50 == 0) // within the listen backlog
				QTRY_COMPARE(server->clientCount(), i);
		}
		QObject owner;
		QList<int> shown;
		connect(server, &LocalSseServer::stateChanged, &owner, [&] { shown.append(server->clientCount()); });
		peers.clear();
		QTRY_VERIFY_WITH_TIMEOUT(!shown.isEmpty() && shown.last() == 0, 15000);
		QVERIFY2(shown.size() <= kStreams / 100, QByteArray::number(shown.size()));
	}

	void routes_data()
	{
		QTest::addColumn<QByteArray>("request");
		QTest::addColumn<QByteArray>("expected");
		const QByteArray notFound =
			plainResponse("404 Not Found", kJsonUtf8, "{\"ok\":false,\"error\":\"not_found\"}");
		const QByteArray page = plainResponse("200 OK", "text/html; charset=utf-8", "<p>goal</p>");
		const QByteArray health =
			plainResponse("200 OK", kJsonUtf8,
				      "{\"ok\":true,\"service\":\"kelp-obs-local-sse\",\"clients\":0,"
				      "\"delivered\":0,\"widget_revision\":\"\",\"runtime_version\":\"bundled\"}");
		const QByteArray config = plainResponse("200 OK", kJsonUtf8, "{}");
		const auto row = [](const char *tag, const QByteArray &target, const QByteArray &expected) {
			QTest::newRow(tag)
				<< (target.contains(' ') ? target : "GET " + target + " HTTP/1.1\r\n\r\n") << expected;
		};
		row("options any path", "OPTIONS /anything HTTP/1.1\r\n\r\n",
		    plainResponse("204 No Content", kJsonUtf8, ""));
		row("health", "/health", health);
		row("page", "/widget/event-goal/", page);
		row("page index", "/widget/event-goal/index.html", page);
		row("page runtime query", "/widget/event-goal/?runtime=bundled", page);
		row("page without slash", "/widget/event-goal", notFound);
		row("other runtime file", "/widget/event-goal/mask.png", notFound);
		row("config default", "/widget/config", config);
		row("asset from the runtime folder", "/widget/asset/mask", kPngMask);
		row("fallback slot without its file", "/widget/asset/frame", kNoAsset);
		row("slot in other case", "/widget/asset/Mask", kNoAsset);
		row("head", "HEAD /health HTTP/1.1\r\n\r\n", notFound);
		row("lower-case get", "get /health HTTP/1.1\r\n\r\n", notFound);
		row("percent-encoded path", "/%68ealth", notFound);
		row("pipelined second request ignored",
		    "GET /widget/config HTTP/1.1\r\n\r\nGET /health HTTP/1.1\r\n\r\n", config);
	}

	void routes()
	{
		QFETCH(QByteArray, request);
		QFETCH(QByteArray, expected);
		QCOMPARE(rawRequest(request).raw, expected);
	}

	void pushedAssetsAndNoRuntime()
	{
		server->setWidgetAsset("mask", "image/webp", "WEBP", "rev-7");
		QCOMPARE(rawGet("/widget/asset/mask?v=rev-7").raw,
			 plainResponse("200 OK", "image/webp", "WEBP", "X-KELP-Asset-Revision: rev-7\r\n"));
		server->setWidgetAsset("a/b", "text/plain", "slash", "r");
		QCOMPARE(rawGet("/widget/asset/a/b").body, QByteArray("slash"));
		// The type and revision are the service's text: a line break or a lone CR in them must
		// not end a header line.
		server->setWidgetAsset("frame", "image/png\rX-Injected: 1", "F", "r1\r\nX-Injected: 1\n\x01");
		const HttpResponse framed = rawGet("/widget/asset/frame");
		QCOMPARE(framed.header("X-KELP-Asset-Revision"), QByteArray("r1  X-Injected: 1"));
		QCOMPARE(framed.header("Content-Type"), QByteArray("image/png X-Injected: 1"));
		QVERIFY(framed.header("X-Injected").isEmpty());
		const QByteArray head = framed.raw.left(framed.raw.indexOf("\r\n\r\n") + 2);
		QCOMPARE(head.count('\r'), head.count("\r\n"));
		QCOMPARE(head.count('\n'), head.count("\r\n"));
		server->clearWidgetAsset("mask");
		QCOMPARE(rawGet("/widget/asset/mask").raw, kPngMask);

		server->setWidgetRoot(QString());
		QCOMPARE(rawGet("/widget/event-goal/").raw,
			 plainResponse("404 Not Found", "application/json",
				       "{\"ok\":false,\"error\":\"widget_html_missing\"}"));
		QCOMPARE(rawGet("/widget/asset/mask").raw, kNoAsset);
	}

	void healthEscapesStrings()
	{
		server->setWidgetConfig("{\"a\":1}", "rev\"1\\\n\x01");
		server->setRuntimeVersion("v\t2");
		QVERIFY(rawGet("/health").body.endsWith(
			"\"widget_revision\":\"rev\\\"1\\\\\\n\\u0001\",\"runtime_version\":\"v\\t2\"}"));

		server->setRuntimeVersion(QString());
		QVERIFY(rawGet("/health").body.endsWith("\"runtime_version\":\"bundled\"}"));
		server->setWidgetConfig(QByteArray(), "r2");
		QCOMPARE(rawGet("/widget/config").body, QByteArray("{}"));
	}

	void streamFramingAndDelivery()
	{
		server->broadcastEvent("{\"n\":0}"); // no stream: not a delivery
		Stream stream;
		QVERIFY(stream.opened);
		// Blocks go straight to the kernel unless KELP_BUS_DIRECT_SEND is "0", else through Qt's
		// buffer, which reports every write it makes.
		const bool direct = qgetenv("KELP_BUS_DIRECT_SEND") != "0";
		QVERIFY(server->findChild<QTcpSocket *>());
		QSignalSpy written(server->findChild<QTcpSocket *>(), &QTcpSocket::bytesWritten);
		stream.client.send("GET /health HTTP/1.1\r\n\r\n"); // ignored, and the stream stays open

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
		QCOMPARE(server->deliveredCount(), quint64(1));
		QCOMPARE(written.isEmpty(), direct);

		// A new stream gets the current configuration and nothing is replayed; from then on both
		// get every event, which counts once.
		Stream late("{\"goal\":5}");
		QVERIFY(late.opened);
		server->broadcastEvent("{\"seq\":4}");
		const QByteArray next = "event: kelp\ndata: {\"seq\":4}\n\n";
		QVERIFY(stream.client.waitForBytes(stream.expected.size() + blocks.size() + next.size()));
		QVERIFY(late.client.waitForBytes(late.expected.size() + next.size()));
		QTest::qWait(50);
		QCOMPARE(stream.afterOpening(), blocks + next);
		QCOMPARE(late.afterOpening(), next);
		QCOMPARE(server->deliveredCount(), quint64(2));
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

	// The backlog bound is for readers that fall behind, not for large blocks.
	void blockLargerThanTheBoundReachesAReader()
	{
		Stream stream;
		QVERIFY(stream.opened);
		const QByteArray json = "{\"pad\":\"" + QByteArray(LocalSseServer::kMaxStreamBacklog + 1, 'x') + "\"}";
		server->broadcastEvent(json);
		const QByteArray block = "event: kelp\ndata: " + json + "\n\n";
		QVERIFY(stream.client.waitForBytes(stream.expected.size() + block.size(), 15000));
		QCOMPARE(stream.afterOpening(), block);
		QCOMPARE(server->clientCount(), 1);
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
		QTcpSocket *stream = server->findChild<QTcpSocket *>();
		QVERIFY(stream);

		QByteArray expected = kOpening + "event: config\ndata: {}\n\n";
		int seq = 0;
		const auto push = [&] {
			++seq;
			const QByteArray json = "{\"seq\":" + QByteArray::number(seq) + ",\"pad\":\"" +
						QByteArray(4000 + seq % 97, char('a' + seq % 26)) + "\"}";
			server->broadcastEvent(json);
			expected += "event: kelp\ndata: " + json + "\n\n";
		};
		{
			// The reader stops taking bytes altogether: a one-byte buffer alone only slows it on
			// Linux, while Qt's Windows event dispatcher (under Wine) hands it byte after byte in one pass.
			const QSignalBlocker stalled(reader.socket);
			while (stream->bytesToWrite() < 64 * 1024 && seq < 2000) {
				push();
				QCoreApplication::processEvents();
			}
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
		QCOMPARE(reader.received, expected);
		QCOMPARE(server->clientCount(), 1);
		QCOMPARE(server->deliveredCount(), quint64(seq));
	}

#ifdef Q_OS_WIN
	// A child libobs starts with handle inheritance on (the muxer) must not keep the port from the
	// next OBS. Handles are inherited when the process is made, so the child need never run.
	void listenerNotInheritedByChildProcesses()
	{
		std::wstring command =
			L"\"" + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString() +
			L"\"";
		STARTUPINFOW startup{};
		startup.cb = sizeof startup;
		PROCESS_INFORMATION child{};
		QVERIFY(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
				       nullptr, &startup, &child));
		delete server;
		server = nullptr;
		LocalSseServer next;
		const bool bound = next.start();
		TerminateProcess(child.hProcess, 0);
		CloseHandle(child.hThread);
		CloseHandle(child.hProcess);
		QVERIFY2(bound, qPrintable(next.listenErrorString()));
	}
#endif
};

QTEST_MAIN(TestBus)
#include "test-bus.moc"
