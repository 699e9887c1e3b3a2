// The Node.js peer: the bus's event streams, byte for byte, from a minimal server on Node's own
// http module, with the same producer loop as kelp-bench-bus.
//
//   node fanout-peer.mjs --port P --streams N --events M [--interval-ms K]
//
// Prints "listening <port>", pushes M events once N streams are open (one per turn of the event
// loop, via setImmediate, so sockets drain between pushes; or one every K ms), and exits with its
// CPU time once every stream has closed.

import http from 'node:http';

const arg = (name, fallback) => {
	const at = process.argv.indexOf(name);
	return at > 0 ? Number(process.argv[at + 1]) : fallback;
};
const port = arg('--port', 0);
const wanted = arg('--streams', 1);
const events = arg('--events', 1000);
const intervalMs = arg('--interval-ms', 0);

// http's own response writer would add a chunked framing and headers of its own; the stream's
// exact bytes go straight to the request's socket instead, as any hand-tuned Node SSE server does.
// Socket options stay Node's own (its http server turns Nagle's algorithm off by default).
const opening = Buffer.from(
	'HTTP/1.1 200 OK\r\n' +
		'Content-Type: text/event-stream; charset=utf-8\r\n' +
		'Cache-Control: no-cache, no-transform\r\n' +
		'Connection: keep-alive\r\n' +
		'Access-Control-Allow-Origin: *\r\n' +
		'X-Accel-Buffering: no\r\n' +
		'\r\n' +
		'retry: 1500\n' +
		': kelp-local-ready\n\n' +
		'event: config\ndata: {}\n\n',
);

const streams = new Set();
let produced = 0;
let started = false;

const finish = () => {
	const cpu = process.cpuUsage();
	process.stdout.write(JSON.stringify({ cpu_ms: (cpu.user + cpu.system) / 1000, produced }) + '\n');
	process.exit(0);
};

const produce = () => {
	if (produced === events) return;
	produced += 1;
	const block = Buffer.from(
		'event: kelp\ndata: {"type":"donation","provider":"bench","amount":250,"currency":"RUB",' +
			`"name":"Bench","message":"Thanks for the stream!","seq":${produced},` +
			`"t_ns":${process.hrtime.bigint()}}\n\n`,
	);
	for (const socket of streams) socket.write(block);
	if (intervalMs > 0) setTimeout(produce, intervalMs);
	else setImmediate(produce);
};

const server = http.createServer((req, res) => {
	if (req.method !== 'GET' || req.url !== '/events') {
		res.writeHead(404).end();
		return;
	}
	const socket = req.socket;
	socket.write(opening);
	streams.add(socket);
	socket.on('error', () => {});
	socket.on('close', () => {
		streams.delete(socket);
		if (started && produced === events && streams.size === 0) finish();
	});
	if (!started && streams.size >= wanted) {
		started = true;
		setImmediate(produce);
	}
});
server.requestTimeout = 0;
server.headersTimeout = 0;
server.keepAliveTimeout = 0;
server.maxConnections = 100000;
server.listen(port, '127.0.0.1', () => process.stdout.write(`listening ${server.address().port}\n`));
setTimeout(finish, 300000).unref();
