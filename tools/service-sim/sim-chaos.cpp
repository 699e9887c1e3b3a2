#include "sim-chaos.h"

#include "sim-http.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>

#include <functional>
#include <iterator>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace kelpsim {

namespace {

enum class Act {
	Correct,
	Status,
	CutShort,
	Empty,
	NotJson,
	TopType,
	Member,
	Hostile,
	Stall,
	Trickle,
	Flood,
	Reset,
	Silent,
	Instant,
	Redirect
};

struct Choice {
	Act act;
	const char *name;
	int weight;
};

// How often each kind of reply is drawn. The correct reply stays common, so the dock gets far
// enough (paired, polling, downloading) to meet the hostile replies deeper in.
const Choice kChoices[] = {
	{Act::Correct, "correct", 30}, {Act::Status, "status", 14},   {Act::CutShort, "cut-short", 6},
	{Act::Empty, "empty", 4},      {Act::NotJson, "not-json", 4}, {Act::TopType, "top-type", 5},
	{Act::Member, "member", 12},   {Act::Hostile, "hostile", 16}, {Act::Stall, "stall", 2},
	{Act::Trickle, "trickle", 2},  {Act::Flood, "flood", 2},      {Act::Reset, "reset", 3},
	{Act::Silent, "silent", 3},    {Act::Instant, "instant", 6},  {Act::Redirect, "redirect", 3},
};

const int kStatuses[] = {200, 204, 301, 400, 401, 403, 404, 429, 500, 503};
const char *const kStatusBodies[] = {"", "{\"ok\":false,\"error\":\"chaos\"}", "{\"ok\":true}", "<h1>oops</h1>"};
const char *const kNotJson[] = {"not json", "<html><body>502</body></html>", "{\"ok\":true", "\xff\xfe\x01\x80"};

// JSON text put in place of a whole body or of one member. "@long" is a string of 256 KiB, "@mib"
// one of 1 MiB.
// clang-format off
const char *const kWrongValues[] = {
	"null", "true", "0", "-1", "-0", "2.5", "1e300", "-1e300", "9007199254740993", "\"\"", "\"NaN\"",
	"\"-Infinity\"", "\"\\ud800\"", "\"x\\udc00y\"", "\"line\\nfeed\\r\\u0001\\u001f\"", "[]", "[null]", "{}",
	"{\"ok\":true}", "@long",
};
// clang-format on

// Valid-looking replies with hostile content: a member (a "*" step picks an element or a key at
// random) replaced by one of the values. "@header:NAME" replaces a header instead.
struct Hostile {
	const char *route;
	const char *member;
	QList<const char *> values;
};

const QList<Hostile> &hostileTable()
{
	static const QList<Hostile> table = {
		{"/api/v40/runtime/manifest",
		 "runtime_version",
		 {"\"1.2.3\\n\"", "\"\\n\"", "\"..\"", "\"../up\"", "\"C:\"", "\"/abs\"", "\"a\\u0001b\"",
		  "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\\n\""}},
		{"/api/v40/runtime/manifest",
		 "files/*/path",
		 {"\"../escape.html\"", "\"/tmp/kelp-chaos.html\"", "\"C:/kelp.html\"", "\"C:kelp.html\"",
		  "\"a\\u0007b.html\"", "\"index.html\\n\"", "\"js/../../x.js\"", "\"\"", "\"js\\\\..\\\\..\\\\x\"",
		  "\"index.html\""}},
		{"/api/v40/runtime/manifest",
		 "files/*/sha256",
		 {"\"abc\"", "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\"",
		  "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0\"",
		  "\"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\""}},
		{"/api/v40/runtime/manifest", "files/*/size", {"-1", "1e300", "0", "9223372036854775807", "2.5"}},
		{"/api/v40/runtime/manifest",
		 "files/*/url",
		 {"\"file:///etc/passwd\"", "\"http://127.0.0.1:1/x\"", "\"\"", "\"ftp://127.0.0.1/x\""}},
		{"/api/v40/runtime/manifest", "files", {"[]", "[{\"path\":\"index.html\"},{\"path\":\"index.html\"}]"}},
		{"/api/v28/plugin/events",
		 "events/*/seq",
		 {"-3", "0", "-0", "2.5", "1e30", "1e300", "9007199254740992", "9007199254740993", "1"}},
		{"/api/v28/plugin/events",
		 "events",
		 {"[{\"type\":\"donation\",\"seq\":7},{\"type\":\"donation\",\"seq\":7},{\"type\":\"donation\",\"seq\":"
		  "3}]",
		  "[{\"type\":\"donation\",\"seq\":-1},{\"type\":\"follow\",\"seq\":1e30}]", "[1,\"x\",null,[]]",
		  "[{\"type\":\"donation\\n\",\"message\":\"a\\u0000b\\nc\\ud800\",\"seq\":2.5}]"}},
		{"/api/v28/plugin/events", "events/*/type", {"@mib"}},
		{"/api/v28/plugin/events", "events/*/provider", {"@mib"}},
		{"/api/v28/plugin/events", "seq", {"-5", "1e30", "9007199254740993", "2.5"}},
		{"/api/v26/plugin/heartbeat", "seq", {"-5", "1e30", "9007199254740993"}},
		{"/api/v26/plugin/heartbeat", "server_time_ms", {"1e300", "-1", "\"now\""}},
		{"/api/v27/plugin/widget-state",
		 "assets/*/updated_at",
		 {"\"\"", "\"\\n\"", "\"9999-99-99T99:99:99Z\"", "\"0000-00-00\"", "1e300", "null", "@long",
		  "\"a\\r\\nX-Evil: 1\""}},
		{"/api/v27/plugin/widget-state",
		 "assets",
		 {"{\"../mask\":{\"updated_at\":\"1\"}}", "{\"mask\":{\"updated_at\":\"x\\u0001\"},\"a\\nb\":{}}",
		  "{\"frame\":null}", "[]"}},
		{"/api/v27/plugin/widget-state", "widget_id", {"\"../x\"", "\"a\\nb\"", "\"\"", "@long"}},
		{"/api/v27/plugin/widget-state", "revision", {"\"r\\nX\"", "\"\"", "1e300", "@long"}},
		{"/api/v27/plugin/widget-state",
		 "config",
		 {"[]", "\"x\"", "{\"title\":\"\\u0000\\n\\ud800\"}", "@long"}},
		{"/api/v27/plugin/widget-asset",
		 "@header:X-Updated-At",
		 {"", "9999-99-99T99:99:99Z", "\x01\x02", "1e300"}},
		{"/api/v27/plugin/widget-asset", "@header:Content-Type", {"", "text/html", "image/png\x01"}},
		{"/api/v26/plugin/pair/status",
		 "device_token",
		 {"null", "1", "\"\"", "{}", "[]", "\"tok\\r\\nX-Evil: 1\"", "@long"}},
		{"/api/v26/plugin/pair/status", "status", {"\"Approved\"", "\"approved\"", "null", "\"expired\""}},
		{"/api/v26/plugin/pair/start", "code", {"\"\"", "\"AB\\nCD\"", "@long", "@mib", "null", "42"}},
		{"/api/v26/plugin/pair/start", "pair_id", {"\"../x\"", "\"a&b=c\"", "@long", "null"}},
	};
	return table;
}

constexpr char kMarker[] = "@@chaos@@";

QByteArray expand(const char *value)
{
	const QByteArray text(value);
	if (text == "@long" || text == "@mib")
		return '"' + QByteArray(text == "@long" ? 256 * 1024 : 1024 * 1024, 'x') + '"';
	return text;
}

int pick(std::mt19937_64 &rng, qsizetype size)
{
	return int(std::uniform_int_distribution<qsizetype>(0, size - 1)(rng));
}

// Puts the marker at `path` (steps of keys, indices or "*"); false when the path does not exist.
bool mark(QJsonValue &node, const QStringList &path, int step, std::mt19937_64 &rng)
{
	if (step == path.size()) {
		node = QString::fromLatin1(kMarker);
		return true;
	}
	if (node.isObject()) {
		QJsonObject object = node.toObject();
		QString key = path[step];
		if (key == QLatin1String("*")) {
			if (object.isEmpty())
				return false;
			key = object.keys().at(pick(rng, object.size()));
		} else if (!object.contains(key) && step + 1 < path.size()) {
			return false;
		}
		QJsonValue child = object.value(key);
		if (!mark(child, path, step + 1, rng))
			return false;
		object.insert(key, child);
		node = object;
		return true;
	}
	if (node.isArray()) {
		QJsonArray array = node.toArray();
		bool isIndex = false;
		qsizetype index = path[step].toInt(&isIndex);
		if (path[step] == QLatin1String("*") && !array.isEmpty())
			index = pick(rng, array.size());
		else if (!isIndex || index < 0 || index >= array.size())
			return false;
		QJsonValue child = array.at(index);
		if (!mark(child, path, step + 1, rng))
			return false;
		array.replace(index, child);
		node = array;
		return true;
	}
	return false;
}

void memberPaths(const QJsonValue &node, const QString &prefix, QStringList *out)
{
	if (node.isObject()) {
		const QJsonObject object = node.toObject();
		for (auto it = object.begin(); it != object.end(); ++it) {
			out->append(prefix + it.key());
			memberPaths(it.value(), prefix + it.key() + QLatin1Char('/'), out);
		}
	} else if (node.isArray()) {
		const QJsonArray array = node.toArray();
		for (qsizetype i = 0; i < array.size(); ++i) {
			out->append(prefix + QString::number(i));
			memberPaths(array.at(i), prefix + QString::number(i) + QLatin1Char('/'), out);
		}
	}
}

// The body with the member at `path` replaced by `value`; empty when the body has no such member.
QByteArray replaceMember(const QByteArray &body, const QString &path, const char *value, std::mt19937_64 &rng)
{
	const QJsonDocument document = QJsonDocument::fromJson(body);
	QJsonValue root = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
	if (document.isNull() || !mark(root, path.split(QLatin1Char('/')), 0, rng))
		return QByteArray();
	const QByteArray text = root.isObject() ? QJsonDocument(root.toObject()).toJson(QJsonDocument::Compact)
						: QJsonDocument(root.toArray()).toJson(QJsonDocument::Compact);
	return QByteArray(text).replace('"' + QByteArray(kMarker) + '"', expand(value));
}

QByteArray headOf(const HttpAnswer &answer, qint64 length)
{
	QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) + "\r\n";
	if (!answer.contentType.isEmpty())
		head += "Content-Type: " + answer.contentType + "\r\n";
	if (length >= 0)
		head += "Content-Length: " + QByteArray::number(length) + "\r\n";
	return head + "Connection: close\r\n\r\n";
}

quint64 fnv1a(const QByteArray &text)
{
	quint64 hash = 14695981039346656037ull;
	for (char c : text)
		hash = (hash ^ uchar(c)) * 1099511628211ull;
	return hash;
}

} // namespace

Chaos::Chaos()
{
	endTimer.setSingleShot(true);
	QObject::connect(&endTimer, &QTimer::timeout, [this] { stop(); });
}

Chaos::~Chaos() = default;

void Chaos::start(quint64 newSeed, int durationMs)
{
	stop();
	seed = newSeed;
	untilMs = QDateTime::currentMSecsSinceEpoch() + std::max(0, durationMs);
	rngs.clear();
	drawn.clear();
	endTimer.start(std::max(0, durationMs));
}

void Chaos::stop()
{
	untilMs = 0;
	endTimer.stop();
	const QList<QPointer<HttpConnection>> wires = held;
	held.clear();
	for (const QPointer<HttpConnection> &connection : wires) {
		if (connection)
			connection->abort();
	}
}

bool Chaos::isActive() const
{
	return QDateTime::currentMSecsSinceEpoch() < untilMs;
}

QJsonObject Chaos::state() const
{
	QJsonObject counts;
	for (auto it = drawn.begin(); it != drawn.end(); ++it)
		counts.insert(it.key(), it.value());
	return QJsonObject{{"active", isActive()},
			   {"seed", QString::number(seed)},
			   {"remaining_ms", std::max<qint64>(0, untilMs - QDateTime::currentMSecsSinceEpoch())},
			   {"drawn", counts}};
}

std::mt19937_64 &Chaos::rngFor(const QByteArray &path)
{
	const QByteArray route = path.startsWith("/runtime/files/") ? QByteArray("/runtime/files/") : path;
	auto it = rngs.find(route);
	if (it == rngs.end())
		it = rngs.insert(route, std::mt19937_64(seed ^ fnv1a(route)));
	return it.value();
}

void Chaos::hold(HttpConnection *connection)
{
	held.removeAll(nullptr);
	held.append(connection);
}

bool Chaos::apply(HttpConnection *connection)
{
	if (!isActive())
		return false;
	const QByteArray path = connection->record().path;
	std::mt19937_64 &rng = rngFor(path);
	int total = 0;
	for (const Choice &choice : kChoices)
		total += choice.weight;
	int roll = pick(rng, total);
	const Choice *choice = kChoices;
	while (roll >= choice->weight)
		roll -= (choice++)->weight;
	++drawn[QString::fromLatin1(choice->name)];
	// Drawn now, so the sequence per route does not depend on how long a long poll is held.
	const quint64 detail = rng();
	std::mt19937_64 local(detail);

	// Reshapes the real answer once it exists, unless chaos has ended by then (a held long poll).
	const auto reshape = [this, connection](std::function<void(HttpConnection *, HttpAnswer)> change) {
		connection->setRewrite([this, change](HttpConnection *c, const HttpAnswer &answer) {
			if (isActive())
				change(c, answer);
			else
				c->respond(answer);
		});
	};
	const auto wrongValue = [&local] {
		return expand(kWrongValues[pick(local, std::size(kWrongValues))]);
	};

	switch (choice->act) {
	case Act::Correct:
		return false;
	case Act::Status: {
		HttpAnswer answer;
		answer.status = kStatuses[pick(local, std::size(kStatuses))];
		answer.body = kStatusBodies[pick(local, std::size(kStatusBodies))];
		if (!answer.body.isEmpty())
			answer.contentType = "application/json; charset=utf-8";
		if (answer.status == 301) {
			const char *const targets[] = {"", "/", "http://127.0.0.1:1/"};
			const QByteArray target = targets[pick(local, std::size(targets))];
			// An empty target sends the client back to the same URL, into chaos again.
			const QByteArray query = connection->record().query;
			answer.addHeader("Location",
					 target.isEmpty() ? path + (query.isEmpty() ? "" : "?" + query) : target);
		}
		if (answer.status == 401)
			answer.addHeader("WWW-Authenticate", "Bearer");
		connection->respond(answer);
		return true;
	}
	case Act::CutShort:
		connection->setShape(local() % 2 ? HttpConnection::ShortBody : HttpConnection::DropMidBody);
		return false;
	case Act::Empty:
		reshape([](HttpConnection *c, HttpAnswer answer) {
			answer.body.clear();
			c->respond(answer);
		});
		return false;
	case Act::NotJson:
		reshape([text = QByteArray(kNotJson[pick(local, std::size(kNotJson))])](HttpConnection *c,
											HttpAnswer answer) {
			answer.body = text;
			c->respond(answer);
		});
		return false;
	case Act::TopType:
		reshape([text = wrongValue()](HttpConnection *c, HttpAnswer answer) {
			answer.body = text;
			c->respond(answer);
		});
		return false;
	case Act::Member:
	case Act::Hostile: {
		QList<const Hostile *> rows;
		for (const Hostile &row : hostileTable()) {
			if (choice->act == Act::Hostile && path.startsWith(row.route))
				rows.append(&row);
		}
		const Hostile *row = rows.isEmpty() ? nullptr : rows.at(pick(local, rows.size()));
		const QByteArray value =
			row ? QByteArray(row->values.at(pick(local, row->values.size()))) : wrongValue();
		reshape([row, value, detail](HttpConnection *c, HttpAnswer answer) {
			std::mt19937_64 rng(detail);
			const QByteArray member = row ? QByteArray(row->member) : QByteArray();
			if (member.startsWith("@header:")) {
				const QByteArray name = member.mid(8);
				if (name.compare("Content-Type", Qt::CaseInsensitive) == 0)
					answer.contentType = value;
				answer.headers.removeIf([&](const auto &pair) { return pair.first == name; });
				answer.addHeader(name, value);
				c->respond(answer);
				return;
			}
			QString target = QString::fromLatin1(member);
			if (target.isEmpty()) {
				QStringList paths;
				memberPaths(QJsonDocument::fromJson(answer.body).object(), QString(), &paths);
				if (!paths.isEmpty())
					target = paths.at(pick(rng, paths.size()));
			}
			const QByteArray changed = target.isEmpty()
							   ? QByteArray()
							   : replaceMember(answer.body, target, value.constData(), rng);
			answer.body = changed.isEmpty() ? expand(value.constData()) : changed;
			c->respond(answer);
		});
		return false;
	}
	case Act::Stall: {
		// Headers that promise a body, then nothing until the client gives up or chaos ends.
		QTcpSocket *socket = connection->takeWire();
		if (socket)
			socket->write(headOf(HttpAnswer{200, "application/json; charset=utf-8", {}, {}}, 4096) + "{");
		hold(connection);
		return true;
	}
	case Act::Silent:
		// Nothing at all, and the connection stays open after chaos too, as behind a silent
		// middlebox: only the client can end it.
		connection->hang();
		return true;
	case Act::Instant:
		// A poll answered at once with an event that has no seq, as a service that ignores wait_ms.
		if (path != "/api/v28/plugin/events")
			return false;
		connection->respond(jsonAnswer(
			200, QJsonObject{{"ok", true}, {"events", QJsonArray{QJsonObject{{"type", "chaos-no-seq"}}}}}));
		return true;
	case Act::Redirect: {
		// To the same service under another origin: a client that follows takes the token along.
		const QByteArray host = connection->record().header("Host");
		HttpAnswer answer;
		answer.status = 302;
		answer.addHeader("Location", "http://localhost:" + host.mid(host.lastIndexOf(':') + 1) + path + '?' +
						     connection->record().query);
		connection->respond(answer);
		return true;
	}
	case Act::Trickle:
		hold(connection);
		reshape([](HttpConnection *c, HttpAnswer answer) {
			QTcpSocket *socket = c->takeWire();
			if (!socket)
				return;
			socket->write(headOf(answer, answer.body.size()));
			auto *timer = new QTimer(socket);
			QObject::connect(timer, &QTimer::timeout, socket,
					 [socket, timer, body = answer.body]() mutable {
						 if (body.isEmpty()) {
							 timer->stop();
							 socket->disconnectFromHost();
							 return;
						 }
						 socket->write(body.left(1));
						 body.remove(0, 1);
					 });
			timer->start(1000);
		});
		return false;
	case Act::Flood: {
		// Far more than any reply should be, written as the socket drains, never held here.
		static const qint64 sizes[] = {16ll << 20, 96ll << 20, 320ll << 20};
		const qint64 size = sizes[pick(local, std::size(sizes))];
		const bool announced = local() % 2;
		QTcpSocket *socket = connection->takeWire();
		if (!socket)
			return true;
		hold(connection);
		const QByteArray start = "{\"ok\":true,\"pad\":\"";
		socket->write(
			headOf(HttpAnswer{200, "application/json; charset=utf-8", {}, {}}, announced ? size : -1) +
			start);
		auto left = std::make_shared<qint64>(size - start.size());
		const auto topUp = [socket, left] {
			static const QByteArray chunk(64 * 1024, 'A');
			while (*left > 0 && socket->bytesToWrite() < 1024 * 1024) {
				const qint64 n = std::min<qint64>(*left, chunk.size());
				socket->write(chunk.constData(), n);
				*left -= n;
				if (*left == 0)
					socket->disconnectFromHost(); // once the rest has drained
			}
		};
		QObject::connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
		topUp();
		return true;
	}
	case Act::Reset:
#ifdef Q_OS_UNIX
		if (QTcpSocket *socket = connection->takeWire()) {
			// Linger zero: the close sends RST instead of FIN.
			const struct linger hard = {1, 0};
			setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
		}
#endif
		connection->abort();
		return true;
	}
	return false;
}

} // namespace kelpsim
