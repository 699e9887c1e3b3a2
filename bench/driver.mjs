// Runs every benchmark side by side and prints the tables. Started by bench/run, which builds the
// programs and passes their folder:
//
//   node bench/driver.mjs BUILD_DIR
//
// BENCH_REPEAT (default 5) runs each fan-out case that many times, in a rotating order, and
// reports medians; BENCH_IDLE_S (default 60) is the idle window; BENCH_DISK_S (default 20) the
// competing writer's window; BENCH_ONLY picks sections (fanout,paced,memory,e2e,idle,sha,disk,batch,close);
// BENCH_BASELINE_BUS names another build of kelp-bench-bus
// (bench/compare-bus makes one from an earlier revision of the bus) to measure beside ours.
// The fan-out runs the bus a second time with its direct send off (KELP_BUS_DIRECT_SEND=0): every
// block through Qt's write buffer.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const build = path.resolve(process.argv[2] ?? path.join(here, '..', 'build', 'bench'));
const bin = (name) => path.join(build, 'bench', name);
const devhost = path.join(build, 'tools', 'devhost', 'kelp-devhost');
const repeat = Math.max(1, Number(process.env.BENCH_REPEAT ?? 5));
const idleSeconds = Math.max(1, Number(process.env.BENCH_IDLE_S ?? 60));
const diskSeconds = Math.max(2, Number(process.env.BENCH_DISK_S ?? 20));
const baselineBus = process.env.BENCH_BASELINE_BUS;
const kinds = ['ours', 'buffered', 'peer', 'ceiling', ...(baselineBus ? ['before'] : [])];
const busPort = 4251;
const peerPort = 4381;
const ceilingPort = 4382;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const log = (line) => process.stderr.write(`bench: ${line}\n`);

// A child whose stdout is collected line by line; `line(re)` waits for a matching line.
function start(command, args, options = {}) {
	const child = spawn(command, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
	const lines = [];
	const waiters = [];
	let buffered = '';
	let stderr = '';
	child.stdout.on('data', (chunk) => {
		buffered += chunk;
		let at;
		while ((at = buffered.indexOf('\n')) >= 0) {
			const line = buffered.slice(0, at);
			buffered = buffered.slice(at + 1);
			lines.push(line);
			for (const w of [...waiters]) {
				if (w.re.test(line)) {
					waiters.splice(waiters.indexOf(w), 1);
					w.resolve(line);
				}
			}
		}
	});
	child.stderr.on('data', (chunk) => {
		stderr += chunk;
	});
	const exited = new Promise((resolve) => child.on('close', (code) => resolve(code)));
	exited.then(() => {
		for (const w of waiters.splice(0)) w.reject(new Error(`${path.basename(command)} exited: ${stderr.trim()}`));
	});
	return {
		child,
		lines,
		exited,
		stderr: () => stderr,
		line(re, timeoutMs = 30000) {
			const seen = lines.find((l) => re.test(l));
			if (seen !== undefined) return Promise.resolve(seen);
			return new Promise((resolve, reject) => {
				const w = { re, resolve, reject };
				waiters.push(w);
				setTimeout(() => {
					if (waiters.includes(w)) {
						waiters.splice(waiters.indexOf(w), 1);
						reject(new Error(`${path.basename(command)}: no line ${re} within ${timeoutMs} ms`));
					}
				}, timeoutMs).unref();
			});
		},
	};
}

const lastJson = (lines) => JSON.parse([...lines].reverse().find((l) => l.startsWith('{')));

function procStat(pid) {
	// Fields after the command name, which may hold blanks: utime and stime are the 12th and 13th.
	const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
	const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
	const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
	const kib = (name) => Number(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm').exec(status)?.[1] ?? NaN);
	return { ticks: Number(fields[11]) + Number(fields[12]), rssKiB: kib('VmRSS'), hwmKiB: kib('VmHWM') };
}
const ticksPerSecond = 100; // USER_HZ on Linux

const servers = {
	ours: (n, m) => [bin('kelp-bench-bus'), ['--streams', `${n}`, '--events', `${m}`], busPort],
	buffered: (n, m) => [
		bin('kelp-bench-bus'),
		['--streams', `${n}`, '--events', `${m}`],
		busPort,
		{ KELP_BUS_DIRECT_SEND: '0' },
	],
	peer: (n, m) => [
		process.execPath,
		[path.join(here, 'fanout-peer.mjs'), '--port', `${peerPort}`, '--streams', `${n}`, '--events', `${m}`],
		peerPort,
	],
	ceiling: (n, m) => [
		bin('kelp-bench-ceiling'),
		['--port', `${ceilingPort}`, '--streams', `${n}`, '--events', `${m}`],
		ceilingPort,
	],
	before: (n, m) => [baselineBus, ['--streams', `${n}`, '--events', `${m}`], busPort],
};

// The load generator holding n streams that expect m events each; with hold it keeps them open
// until its stdin closes.
const streamReader = (port, n, m, { hold = false, timeoutS = 60 } = {}) =>
	start(bin('kelp-bench-loadgen'), [
		'stream',
		...['--port', `${port}`, '--streams', `${n}`, '--events', `${m}`, '--timeout', `${timeoutS}`],
		...(hold ? ['--hold'] : []),
	]);

// Lets a server finish on its own for a while, then stops it.
async function stopServer(server, graceMs = 10000) {
	await Promise.race([server.exited, sleep(graceMs)]);
	server.child.kill('SIGTERM');
	await server.exited;
}

// Starts one server; the bus's port is fixed and may be held by someone else's test for a while.
async function startServer(kind, n, m, intervalMs = 0) {
	const [command, serverArgs, port, env = {}] = servers[kind](n, m);
	const args = [...serverArgs, '--interval-ms', `${intervalMs}`];
	for (let attempt = 0; attempt < 40; ++attempt) {
		const server = start(command, args, { env: { ...process.env, ...env } });
		try {
			await server.line(/^listening /, 15000);
			return { server, port };
		} catch (error) {
			const code = await server.exited;
			if (code !== 3) throw error;
			log(`port ${port} is taken; retrying`);
			await sleep(1500);
		}
	}
	throw new Error(`port for ${kind} stayed taken`);
}

async function fanOutRun(kind, n, m, intervalMs = 0) {
	const { server, port } = await startServer(kind, n, m, intervalMs);
	const loadgen = streamReader(port, n, m);
	await loadgen.exited;
	const result = lastJson(loadgen.lines);
	await stopServer(server);
	const own = server.lines.find((l) => l.startsWith('{'));
	result.cpu_ms = own ? JSON.parse(own).cpu_ms : NaN;
	return result;
}

const median = (values) => {
	const sorted = [...values].sort((a, b) => a - b);
	return sorted[Math.floor(sorted.length / 2)];
};

// Every case runs each side `runs` times in a rotating order, so no side always runs first on a
// machine whose load drifts; the medians of the runs are reported.
async function fanOutCases(cases, runs, intervalMs) {
	const rows = [];
	for (const { n, m } of cases) {
		const results = Object.fromEntries(kinds.map((kind) => [kind, []]));
		for (let r = 0; r < runs; ++r) {
			for (let k = 0; k < kinds.length; ++k) {
				const kind = kinds[(k + r) % kinds.length];
				const run = await fanOutRun(kind, n, m, intervalMs);
				log(
					`fan-out N=${n}${intervalMs ? ` every ${intervalMs} ms` : ''} ${kind}: ` +
						`${run.rate.toFixed(0)} ev/s, p99 ${run.p99_us} us, lost ${run.lost}`,
				);
				results[kind].push(run);
			}
		}
		const summary = {};
		for (const kind of kinds) {
			const list = results[kind];
			summary[kind] = {
				rate: median(list.map((x) => x.rate)),
				p50: median(list.map((x) => x.p50_us)),
				p99: median(list.map((x) => x.p99_us)),
				max: Math.max(...list.map((x) => x.max_us)),
				cpuPerDelivery: median(list.map((x) => (x.cpu_ms * 1000) / x.events)),
				lost: list.reduce((s, x) => s + x.lost, 0),
				duplicates: list.reduce((s, x) => s + x.duplicates, 0),
				bad: list.reduce((s, x) => s + x.bad_blocks + x.bad_openings, 0),
				shortRuns: list.filter((x) => x.events !== x.expected).length,
			};
		}
		rows.push({ n, m, ...summary });
	}
	return rows;
}

const fanOut = () =>
	fanOutCases(
		[
			{ n: 1, m: 20000 },
			{ n: 10, m: 10000 },
			{ n: 100, m: 1000 },
		],
		repeat,
		0,
	);

// The same streams at one event per millisecond, which every side sustains: latency without the
// queue that an unpaced producer builds ahead of the reader.
const paced = () =>
	fanOutCases(
		[
			{ n: 1, m: 2000 },
			{ n: 100, m: 2000 },
		],
		Math.min(repeat, 3),
		1,
	);

async function memoryPerStream() {
	const n = 1000;
	const m = 10;
	const rows = {};
	for (const kind of kinds.filter((k) => k !== 'buffered')) {
		const { server, port } = await startServer(kind, n, m);
		await sleep(500);
		const before = procStat(server.child.pid);
		const loadgen = streamReader(port, n, m, { hold: true });
		const line = await loadgen.line(/^\{/, 70000);
		await sleep(500);
		const after = procStat(server.child.pid);
		loadgen.child.stdin.end();
		await loadgen.exited;
		await stopServer(server);
		const held = JSON.parse(line);
		rows[kind] = {
			opened: held.opened,
			events: held.events,
			beforeKiB: before.rssKiB,
			afterKiB: after.rssKiB,
			perStreamKiB: (after.rssKiB - before.rssKiB) / n,
		};
		log(`1000 streams ${kind}: ${rows[kind].perStreamKiB.toFixed(2)} KiB per stream`);
	}
	return rows;
}

// Thousands of streams reset by their reader at once: the longest the bus's event loop went without
// a turn while they closed, and the most CPU time it spent in one such stretch (medians of BENCH_REPEAT
// runs), for this tree's bus and the baseline's; 256 is the
// bus's own bound on connections, the rest are past it.
async function closeHold() {
	const rows = [];
	for (const n of [256, 1000, 2500, 5000]) {
		const row = { n };
		for (const kind of ['ours', ...(baselineBus ? ['before'] : [])]) {
			const holds = [];
			const cpus = [];
			for (let r = 0; r < repeat; ++r) {
				const { server, port } = await startServer(kind, n, 10);
				const reader = start(bin('kelp-bench-loadgen'), [
					'stream',
					...['--port', `${port}`, '--streams', `${n}`, '--events', '10', '--timeout', '120'],
					...['--hold', '--reset'],
				]);
				await reader.line(/^\{/, 130000);
				await sleep(500);
				reader.child.stdin.end();
				await reader.exited;
				await stopServer(server, 30000);
				const own = lastJson(server.lines);
				holds.push(own.closing_hold_ms);
				cpus.push(own.closing_cpu_ms);
			}
			row[kind] = { hold: median(holds), cpu: median(cpus) };
			log(`${n} streams reset together, ${kind}: longest hold ${row[kind].hold} ms, ${row[kind].cpu} ms CPU`);
		}
		rows.push(row);
	}
	return rows;
}

function closeTable(rows) {
	const out = [];
	out.push('| Streams reset together | Longest hold ms: now / before | CPU ms within it: now / before | CPU before ÷ now |');
	out.push('|---:|---|---|---:|');
	for (const r of rows)
		out.push(
			`| ${r.n} | ${fmt(r.ours.hold, 1)} / ${fmt(r.before?.hold, 1)} | ${fmt(r.ours.cpu, 1)} / ${fmt(r.before?.cpu, 1)} | ` +
				`${r.before ? ratio(r.before.cpu, r.ours.cpu) : '—'} |`,
		);
	return out.join('\n');
}

async function endToEnd() {
	const events = 1000;
	let harness;
	for (let attempt = 0; attempt < 40 && !harness; ++attempt) {
		const candidate = start(bin('kelp-bench-e2e'), ['--events', `${events}`, '--rate', '50']);
		try {
			await candidate.line(/^ready$/, 20000);
			harness = candidate;
		} catch (error) {
			if ((await candidate.exited) !== 3) throw error;
			log(`port ${busPort} is taken; retrying`);
			await sleep(1500);
		}
	}
	if (!harness) throw new Error('the bus port stayed taken');
	const reader = streamReader(busPort, 1, events);
	await reader.exited;
	const result = lastJson(reader.lines);
	await stopServer(harness, 35000);
	const own = harness.lines.find((l) => l.startsWith('{'));
	result.harness = own ? JSON.parse(own) : null;
	const rtt = start(bin('kelp-bench-loadgen'), ['rtt', '--count', '1000']);
	await rtt.exited;
	result.rtt = lastJson(rtt.lines);
	log(`end to end: p99 ${result.p99_us} us, loopback round trip p99 ${result.rtt.p99_us} us`);
	return result;
}

// CPU time and resident memory of a paired, idle process with one widget stream open, over the
// idle window.
async function measureIdle(host) {
	const page = streamReader(busPort, 1, 0, { hold: true, timeoutS: 20 });
	const opened = JSON.parse(await page.line(/^\{/, 25000)).opened === 1;
	await sleep(5000); // let the start-up requests settle
	const pid = host.child.pid;
	const first = procStat(pid);
	await sleep(idleSeconds * 1000);
	const last = procStat(pid);
	page.child.stdin.end();
	await page.exited;
	host.child.kill('SIGTERM');
	await host.exited;
	const cpuS = (last.ticks - first.ticks) / ticksPerSecond;
	return { seconds: idleSeconds, cpuS, rssKiB: last.rssKiB, hwmKiB: last.hwmKiB, streamOpen: opened };
}

async function idle() {
	const rows = {};
	if (fs.existsSync(devhost)) {
		const home = fs.mkdtempSync(path.join(os.tmpdir(), 'kelp-bench-devhost-'));
		const host = start(devhost, ['--offscreen', '--pair', '--fresh', '--home', home, '--sim-port', '0'], {
			env: { ...process.env, QT_QPA_PLATFORM: 'offscreen' },
		});
		await host.line(/successfully paired/, 30000);
		rows.devhost = await measureIdle(host);
		fs.rmSync(home, { recursive: true, force: true });
		log(`idle dev host: ${rows.devhost.cpuS} s CPU in ${idleSeconds} s, ${rows.devhost.rssKiB} KiB resident`);
	}
	const harness = start(bin('kelp-bench-e2e'), ['--idle']);
	await harness.line(/^ready$/, 20000);
	rows.module = await measureIdle(harness);
	log(`idle dock and simulator: ${rows.module.cpuS} s CPU in ${idleSeconds} s, ${rows.module.rssKiB} KiB resident`);
	return rows;
}

// Sectors written by the machine's whole disks, from /proc/diskstats.
function diskSectorsWritten() {
	let sectors = 0;
	for (const line of fs.readFileSync('/proc/diskstats', 'utf8').split('\n')) {
		const f = line.trim().split(/\s+/);
		if (/^(sd[a-z]+|vd[a-z]+|xvd[a-z]+|nvme\d+n\d+|mmcblk\d+)$/.test(f[2] ?? '')) sectors += Number(f[9]);
	}
	return sectors;
}

// The client's per-event store sync, 50 a second as at the end-to-end rate, first on a quiet disk,
// then while another process writes to the same file system flat out with direct I/O, as a
// recording to the streaming disk does.
async function storeUnderDiskLoad() {
	const dir = fs.mkdtempSync(path.join(build, 'bench', 'store-'));
	const count = Math.round((diskSeconds * 1000) / 20);
	const syncs = async () => {
		const run = start(bin('kelp-bench-e2e'), ['--store-only', `${count}`, '--pace-ms', '20'], {
			env: { ...process.env, TMPDIR: dir },
		});
		await run.exited;
		return lastJson(run.lines).store_sync;
	};
	const quiet = await syncs();
	const sink = path.join(dir, 'writer.bin');
	const writer = spawn(
		'timeout',
		[`${diskSeconds + 10}`, 'sh', '-c', 'while :; do dd if=/dev/zero of="$1" bs=1M count=2000 oflag=direct status=none; done', 'sh', sink],
		{ stdio: 'ignore' },
	);
	await sleep(2000); // the writer's queue fills first
	const before = diskSectorsWritten();
	const t0 = Date.now();
	const loaded = await syncs();
	const writeMiBs = ((diskSectorsWritten() - before) * 512) / 2 ** 20 / ((Date.now() - t0) / 1000);
	writer.kill('SIGTERM');
	await new Promise((resolve) => (writer.exitCode !== null ? resolve() : writer.on('close', resolve)));
	fs.rmSync(dir, { recursive: true, force: true });
	log(`store sync p99: quiet ${quiet.p99_us} us, beside the writer ${loaded.p99_us} us (disks wrote ${writeMiBs.toFixed(0)} MiB/s)`);
	return { quiet, loaded, seconds: diskSeconds, writeMiBs };
}

// One long answer to the client's poll: the longest the UI thread goes without turning its event
// loop while the batch is handed on, beside the whole batch (what the answer held before slicing).
async function batchHold() {
	const rows = [];
	for (const [label, args] of [
		['20,000 events, each stored (seq)', ['--batch', '20000']],
		['230,000 events without seq, a 4 MiB answer', ['--batch', '230000', '--no-seq']],
		['1 event with a 1 MiB "type", dock shown', ['--batch', '1', '--field-bytes', '1048576']],
	]) {
		const dir = fs.mkdtempSync(path.join(build, 'bench', 'batch-'));
		const run = start(bin('kelp-bench-e2e'), args, { env: { ...process.env, TMPDIR: dir } });
		await run.exited;
		fs.rmSync(dir, { recursive: true, force: true });
		const result = lastJson(run.lines);
		log(`batch ${label}: longest hold ${result.longest_hold_ms} ms of ${result.whole_batch_ms} ms`);
		rows.push({ label, ...result });
	}
	return rows;
}

function batchTable(rows) {
	const out = [];
	out.push('| One answer to the long poll | Answer bytes | Longest hold ms | Whole batch ms | Hold ÷ whole batch |');
	out.push('|---|---:|---:|---:|---:|');
	for (const r of rows)
		out.push(
			`| ${r.label} | ${r.answer_bytes} | ${fmt(r.longest_hold_ms, 1)} | ${fmt(r.whole_batch_ms, 1)} | ` +
				`${r.whole_batch_ms > 0 ? (r.longest_hold_ms / r.whole_batch_ms).toPrecision(2) : '—'} |`,
		);
	return out.join('\n');
}

async function sha256() {
	const file = path.join(build, 'bench', 'sha256-32mib.bin');
	if (!fs.existsSync(file) || fs.statSync(file).size !== 32 * 1024 * 1024) {
		const data = Buffer.alloc(32 * 1024 * 1024);
		for (let i = 0; i < data.length; i += 65536) data.set(crypto.getRandomValues(new Uint8Array(65536)), i);
		fs.writeFileSync(file, data);
	}
	const run = start(bin('kelp-bench-sha256'), [file, '--rounds', '7']);
	await run.exited;
	const result = lastJson(run.lines);
	log(`sha-256: ours ${result.ours_mibs} MiB/s, sha256sum ${result.sha256sum_mibs} MiB/s`);
	return result;
}

const fmt = (x, digits = 0) => (Number.isFinite(x) ? x.toFixed(digits) : '—');
const ms = (us) => fmt(us / 1000, 2);
const ratio = (a, b) => (b > 0 ? (a / b).toFixed(2) : '—');
const yes = (ok) => (ok ? 'met' : '**not met**');

// The bus with its direct send off beside the same bus with it on and the Node.js peer.
function bufferedTable(fan, pacedRows) {
	const out = [];
	const rows = [
		...fan.map((r) => ({ ...r, label: `${r.n} unpaced` })),
		...pacedRows.map((r) => ({ ...r, label: `${r.n} at 1 event/ms` })),
	];
	out.push('### Fan-out with the direct send off: every block through Qt\'s write buffer');
	out.push('');
	out.push('| Streams | Events | Events/s: direct send on | off | Node.js peer | Off ÷ peer | Off ÷ on | CPU µs per delivery: on / off / peer | p99 ms: on / off / peer | Lost / duplicated / malformed, off |');
	out.push('|---|---:|---:|---:|---:|---:|---:|---|---|---|');
	for (const r of rows)
		out.push(
			`| ${r.label} | ${r.m} | ${fmt(r.ours.rate)} | ${fmt(r.buffered.rate)} | ${fmt(r.peer.rate)} | ` +
				`${ratio(r.buffered.rate, r.peer.rate)} | ${ratio(r.buffered.rate, r.ours.rate)} | ` +
				`${fmt(r.ours.cpuPerDelivery, 2)} / ${fmt(r.buffered.cpuPerDelivery, 2)} / ${fmt(r.peer.cpuPerDelivery, 2)} | ` +
				`${ms(r.ours.p99)} / ${ms(r.buffered.p99)} / ${ms(r.peer.p99)} | ` +
				`${r.buffered.lost}/${r.buffered.duplicates}/${r.buffered.bad} |`,
		);
	return out.join('\n');
}

function report({ fan, pacedRows, memory, e2e, idleRun, sha, disk }) {
	const out = [];
	const triple = (x) => `${ms(x.p50)} / ${ms(x.p99)} / ${ms(x.max)}`;
	const faults = (r) =>
		['ours', 'peer', 'ceiling'].map((k) => `${r[k].lost}/${r[k].duplicates}/${r[k].bad}`).join(' · ');
	const cpuModel = /model name\s*:\s*(.*)/.exec(fs.readFileSync('/proc/cpuinfo', 'utf8'))?.[1] ?? '?';
	out.push(
		`Machine: ${os.cpus().length} CPUs (nproc), ${cpuModel}, ${fmt(os.totalmem() / 2 ** 30, 1)} GiB memory; ` +
			`Linux ${os.release()}; Node.js ${process.version}; load average at the end ${os
				.loadavg()
				.map((x) => x.toFixed(2))
				.join(' ')}.`,
	);
	out.push('');
	out.push(`### Fan-out: delivered events per second, all streams together (median of ${repeat} runs)`);
	out.push('');
	out.push('| Streams | Events | Ours | Node.js peer | Ceiling (epoll) | Ours ÷ peer | Ours ÷ ceiling | Server CPU µs per delivery: ours / peer / ceiling |');
	out.push('|---:|---:|---:|---:|---:|---:|---:|---|');
	for (const r of fan) {
		out.push(
			`| ${r.n} | ${r.m} | ${fmt(r.ours.rate)} | ${fmt(r.peer.rate)} | ${fmt(r.ceiling.rate)} | ` +
				`${ratio(r.ours.rate, r.peer.rate)} | ${ratio(r.ours.rate, r.ceiling.rate)} | ` +
				`${fmt(r.ours.cpuPerDelivery, 2)} / ${fmt(r.peer.cpuPerDelivery, 2)} / ${fmt(r.ceiling.cpuPerDelivery, 2)} |`,
		);
	}
	out.push('');
	out.push(`### Fan-out: latency from send to arrival, ms, p50 / p99 / max (medians of ${repeat} runs; max of all)`);
	out.push('');
	out.push('| Streams | Ours | Node.js peer | Ceiling (epoll) | p99 ours ÷ peer | Lost / duplicated / malformed, all runs |');
	out.push('|---:|---|---|---|---:|---|');
	for (const r of fan) {
		out.push(
			`| ${r.n} | ${triple(r.ours)} | ${triple(r.peer)} | ${triple(r.ceiling)} | ${ratio(r.ours.p99, r.peer.p99)} | ${faults(r)} |`,
		);
	}
	out.push('');
	if (pacedRows.length) {
		out.push(`### Fan-out at one event per millisecond: latency, ms, p50 / p99 / max (medians of ${Math.min(repeat, 3)} runs)`);
		out.push('');
		out.push('| Streams | Events | Ours | Node.js peer | Ceiling (epoll) | p99 ours ÷ peer | Delivered per s: ours / peer / ceiling | Lost / duplicated / malformed |');
		out.push('|---:|---:|---|---|---|---:|---|---|');
		for (const r of pacedRows) {
			out.push(
				`| ${r.n} | ${r.m} | ${triple(r.ours)} | ${triple(r.peer)} | ${triple(r.ceiling)} | ` +
					`${ratio(r.ours.p99, r.peer.p99)} | ${fmt(r.ours.rate)} / ${fmt(r.peer.rate)} / ${fmt(r.ceiling.rate)} | ${faults(r)} |`,
			);
		}
		out.push('');
	}
	out.push(bufferedTable(fan, pacedRows));
	out.push('');
	out.push('### End to end: queued at the simulator → KelpClient → KelpDock → bus → reader, 50 events/s');
	out.push('');
	out.push('| Path | p50 ms | p99 ms | max ms | Events received | Lost | Duplicated |');
	out.push('|---|---:|---:|---:|---:|---:|---:|');
	out.push(
		`| Simulator to widget stream | ${ms(e2e.p50_us)} | ${ms(e2e.p99_us)} | ${ms(e2e.max_us)} | ` +
			`${e2e.events} of ${e2e.expected} | ${e2e.lost} | ${e2e.duplicates} |`,
	);
	const stage = (label, st) =>
		st ? out.push(`| ${label} | ${ms(st.p50_us)} | ${ms(st.p99_us)} | ${ms(st.max_us)} | ${st.count} | | |`) : null;
	stage('… of which simulator to the client\'s complete reply', e2e.harness?.reply_finished);
	stage("… of which complete reply to the end of the dock's handler (the bus write is its first step)", e2e.harness?.reply_to_bus);
	stage('KelpClient\'s per-event store write and QSettings sync, alone (200 in a row)', e2e.harness?.store_sync);
	out.push(
		`| Loopback TCP round trip, two processes (floor) | ${ms(e2e.rtt.p50_us)} | ${ms(e2e.rtt.p99_us)} | ` +
			`${ms(e2e.rtt.max_us)} | ${e2e.rtt.count} trips | | |`,
	);
	out.push(`| Ratio, end to end ÷ round trip | ${ratio(e2e.p50_us, e2e.rtt.p50_us)} | ${ratio(e2e.p99_us, e2e.rtt.p99_us)} | | | | |`);
	out.push('');
	out.push(diskTable(disk));
	out.push('');
	out.push('### Idle and scale');
	out.push('');
	out.push('| Measure | Ours | Node.js peer | Ceiling (epoll) | Ours ÷ peer |');
	out.push('|---|---:|---:|---:|---:|');
	out.push(
		`| Resident memory per open stream, 1,000 streams (KiB) | ${fmt(memory.ours.perStreamKiB, 2)} | ` +
			`${fmt(memory.peer.perStreamKiB, 2)} | ${fmt(memory.ceiling.perStreamKiB, 2)} | ` +
			`${ratio(memory.ours.perStreamKiB, memory.peer.perStreamKiB)} |`,
	);
	out.push(
		`| Resident memory before → with 1,000 streams (MiB) | ${fmt(memory.ours.beforeKiB / 1024, 1)} → ${fmt(memory.ours.afterKiB / 1024, 1)} | ` +
			`${fmt(memory.peer.beforeKiB / 1024, 1)} → ${fmt(memory.peer.afterKiB / 1024, 1)} | ` +
			`${fmt(memory.ceiling.beforeKiB / 1024, 1)} → ${fmt(memory.ceiling.afterKiB / 1024, 1)} | |`,
	);
	out.push('');
	if (idleRun) {
		const subjects = [
			['devhost', 'Dev host (window, autopilot, simulator, module)'],
			['module', 'KelpDock and simulator alone (kelp-bench-e2e --idle)'],
		].filter(([key]) => idleRun[key]);
		out.push(`| Paired and idle for ${idleSeconds} s, one widget stream open | CPU s | Share of one core | VmRSS MiB | VmHWM MiB |`);
		out.push('|---|---:|---:|---:|---:|');
		for (const [key, label] of subjects) {
			const r = idleRun[key];
			out.push(
				`| ${label} | ${fmt(r.cpuS, 2)} | ${fmt((100 * r.cpuS) / r.seconds, 3)} % | ` +
					`${fmt(r.rssKiB / 1024, 1)} | ${fmt(r.hwmKiB / 1024, 1)} |`,
			);
		}
	}
	out.push('');
	out.push(`| SHA-256 of a ${fmt(sha.mib)} MiB file, median of ${sha.rounds} rounds | MiB/s | Ratio to sha256sum |`);
	out.push('|---|---:|---:|');
	out.push(`| Updater's QCryptographicHash, file read included | ${fmt(sha.ours_mibs)} | ${ratio(sha.ours_mibs, sha.sha256sum_mibs)} |`);
	out.push(`| Updater's QCryptographicHash, hashing alone | ${fmt(sha.ours_hash_only_mibs)} | ${ratio(sha.ours_hash_only_mibs, sha.sha256sum_mibs)} |`);
	out.push(`| sha256sum (process start included) | ${fmt(sha.sha256sum_mibs)} | 1.00 |`);
	out.push('');
	out.push(`Digests agree: ${sha.digests_match ? 'yes' : '**no**'}.`);
	out.push('');
	out.push('### Goals');
	out.push('');
	for (const r of fan) {
		out.push(
			`- Fan-out at ${r.n} stream(s): throughput ≥ peer ${yes(r.ours.rate >= r.peer.rate)} ` +
				`(${ratio(r.ours.rate, r.peer.rate)}); p99 ≤ peer ${yes(r.ours.p99 <= r.peer.p99)} ` +
				`(${ms(r.ours.p99)} vs ${ms(r.peer.p99)} ms).`,
		);
	}
	for (const r of pacedRows)
		out.push(
			`- At one event per ms, ${r.n} stream(s): p99 ≤ peer ${yes(r.ours.p99 <= r.peer.p99)} ` +
				`(${ms(r.ours.p99)} vs ${ms(r.peer.p99)} ms).`,
		);
	out.push(`- End to end p99 < 2 ms at 50 events/s: ${yes(e2e.p99_us < 2000)} (${ms(e2e.p99_us)} ms).`);
	out.push(
		`- No event lost or duplicated end to end: ${yes(e2e.lost === 0 && e2e.duplicates === 0 && e2e.events === e2e.expected)}.`,
	);
	for (const [key, label] of [
		['devhost', 'the dev host'],
		['module', 'the dock and simulator alone'],
	]) {
		const r = idleRun?.[key];
		if (r)
			out.push(
				`- Idle under 0.1 % of one core, ${label}: ${yes(r.cpuS / r.seconds < 0.001)} ` +
					`(${fmt((100 * r.cpuS) / r.seconds, 3)} %, ${fmt(r.cpuS * 1000)} ms in ${r.seconds} s).`,
			);
	}
	out.push(
		`- Under 16 KiB resident per open stream: ${yes(memory.ours.perStreamKiB < 16)} (${fmt(memory.ours.perStreamKiB, 2)} KiB).`,
	);
	return out.join('\n');
}

// The store sync on a quiet disk beside the same sync under a competing writer.
function diskTable(disk) {
	const out = [];
	out.push(`#### The client's per-event store sync, 50 a second for ${disk.seconds} s, quiet and beside a flat-out writer`);
	out.push('');
	out.push('| Disk | p50 ms | p99 ms | max ms | Syncs | Over one frame (16.7 ms) |');
	out.push('|---|---:|---:|---:|---:|---:|');
	for (const [label, st] of [
		['Quiet', disk.quiet],
		[`Beside dd oflag=direct writing flat out (the disks took ${fmt(disk.writeMiBs)} MiB/s)`, disk.loaded],
	])
		out.push(`| ${label} | ${ms(st.p50_us)} | ${ms(st.p99_us)} | ${ms(st.max_us)} | ${st.count} | ${st.over_frame} |`);
	out.push(`| Ratio, beside the writer ÷ quiet | ${ratio(disk.loaded.p50_us, disk.quiet.p50_us)} | ${ratio(disk.loaded.p99_us, disk.quiet.p99_us)} | ${ratio(disk.loaded.max_us, disk.quiet.max_us)} | | |`);
	return out.join('\n');
}

// The bus of this tree beside the baseline build, for bench/compare-bus.
function baselineReport({ fan, pacedRows, memory, closeRows }) {
	const out = [];
	out.push(`Machine: ${os.cpus().length} CPUs, load average at the end ${os.loadavg().map((x) => x.toFixed(2)).join(' ')}.`);
	out.push(`Baseline: ${baselineBus}`);
	out.push('');
	const rows = [
		...fan.map((r) => ({ ...r, label: `${r.n} unpaced` })),
		...pacedRows.map((r) => ({ ...r, label: `${r.n} at 1 event/ms` })),
	];
	if (rows.length) {
		out.push(`| Streams | Events/s: now | before | now ÷ before | CPU µs per delivery: now / before | p99 ms: now / before |`);
		out.push('|---|---:|---:|---:|---|---|');
		for (const r of rows)
			out.push(
				`| ${r.label} | ${fmt(r.ours.rate)} | ${fmt(r.before.rate)} | ${ratio(r.ours.rate, r.before.rate)} | ` +
					`${fmt(r.ours.cpuPerDelivery, 2)} / ${fmt(r.before.cpuPerDelivery, 2)} | ${ms(r.ours.p99)} / ${ms(r.before.p99)} |`,
			);
		out.push('');
	}
	if (memory)
		out.push(
			`Resident memory per open stream, 1,000 streams: now ${fmt(memory.ours.perStreamKiB, 2)} KiB, ` +
				`before ${fmt(memory.before.perStreamKiB, 2)} KiB.`,
		);
	if (closeRows) out.push('', closeTable(closeRows));
	return out.join('\n');
}

const sections = ['fanout', 'paced', 'memory', 'e2e', 'idle', 'sha', 'disk', 'batch', 'close'];
const only = (process.env.BENCH_ONLY ?? sections.join(',')).split(',');
const results = {};
results.fan = only.includes('fanout') ? await fanOut() : [];
results.pacedRows = only.includes('paced') ? await paced() : [];
results.memory = only.includes('memory') ? await memoryPerStream() : null;
results.e2e = only.includes('e2e') ? await endToEnd() : null;
results.idleRun = only.includes('idle') ? await idle() : null;
results.sha = only.includes('sha') ? await sha256() : null;
results.disk = only.includes('disk') ? await storeUnderDiskLoad() : null;
results.batch = only.includes('batch') ? await batchHold() : null;
results.closeRows = only.includes('close') ? await closeHold() : null;
fs.writeFileSync(path.join(build, 'bench', 'results.json'), JSON.stringify(results, null, 2));
if (baselineBus) process.stdout.write(baselineReport(results) + '\n');
else if (sections.every((name) => only.includes(name)))
	process.stdout.write(
		report(results) + '\n\n' + batchTable(results.batch) + '\n\n' + closeTable(results.closeRows) + '\n',
	);
else if (results.batch && only.length === 1) process.stdout.write(batchTable(results.batch) + '\n');
else if (results.closeRows && only.length === 1) process.stdout.write(closeTable(results.closeRows) + '\n');
else if (results.disk && only.length === 1) process.stdout.write(diskTable(results.disk) + '\n');
else if (results.fan.length && results.pacedRows.length && only.length === 2)
	process.stdout.write(bufferedTable(results.fan, results.pacedRows) + '\n');
else process.stdout.write(JSON.stringify(results, null, 2) + '\n');
