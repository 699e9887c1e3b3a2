// The built-in Event Goal page in headless Chromium, served and fed by the real bus.
// Environment (set by CTest): KELP_BUS_DRIVER, KELP_WIDGET_RUNTIME, KELP_ARTIFACTS, NODE_PATH.
'use strict';

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { chromium } = require('playwright-core');
const { encodePng } = require('../../tools/widget-images/make-widget-images.cjs');

const PAGE_URL = 'http://127.0.0.1:4251/widget/event-goal/?runtime=bundled';
const CHROMIUM = process.env.KELP_CHROMIUM || '/usr/bin/chromium';
const ARTIFACTS = process.env.KELP_ARTIFACTS || path.join(__dirname, 'artifacts');
const WAIT = { timeout: 10000 };

// Speaks the driver's line protocol: one command out, one "ok[ value]" line back, in order.
function startDriver(executable) {
	const child = spawn(executable, [], { stdio: ['pipe', 'pipe', 'inherit'] });
	const pending = [];
	readline.createInterface({ input: child.stdout }).on('line', (line) => {
		const waiter = pending.shift();
		if (line.startsWith('ok'))
			waiter?.resolve(line.slice(3));
		else
			waiter?.reject(new Error(`bus driver: ${line}`));
	});
	child.on('exit', () => pending.splice(0).forEach((w) => w.reject(new Error('bus driver exited'))));
	const send = (...words) => new Promise((resolve, reject) => {
		pending.push({ resolve, reject });
		child.stdin.write(`${words.join(' ')}\n`);
	});
	const event = (object) => send('event', JSON.stringify(object));
	return {
		send, event,
		exited: new Promise((resolve) => child.on('exit', resolve)),
		config: (object) => send('config', `rev-${Date.now()}`, JSON.stringify(object)),
		donation: (amount, currency = 'RUB', extra = {}) =>
			event({ type: 'donation', provider: 'kelp', amount, currency, id: `d-${Math.random()}`, ...extra }),
	};
}

let bus;
let browser;

before(async () => {
	fs.mkdirSync(ARTIFACTS, { recursive: true });
	assert.ok(process.env.KELP_BUS_DRIVER, 'KELP_BUS_DRIVER is not set');
	assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing`);
	bus = startDriver(process.env.KELP_BUS_DRIVER);
	await bus.send('root', process.env.KELP_WIDGET_RUNTIME);
	// CTest keeps its own suites off the port; another program on a developer's machine may not.
	await eventually(async () => (await bus.send('start')) === '1', 'the bus could not bind port 4251');
	// launch() gives every run a fresh temporary profile of its own.
	browser = await chromium.launch({ executablePath: CHROMIUM, args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
		'--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--lang=en-US'] });
});

after(async () => {
	await browser?.close();
	if (bus) {
		await bus.send('quit').catch(() => {});
		await bus.exited;
	}
});

// Runs body with a fresh browser context (its own pages, locks and channels) and always closes it, so
// a failed test leaves no stream open behind it. direct: the browser lacks what pages share a stream with.
async function withContext(body, { direct = false } = {}) {
	const context = await browser.newContext();
	try {
		if (direct)
			await context.addInitScript(() => { delete window.BroadcastChannel; });
		return await body(context);
	} finally {
		await context.close();
	}
}

// A page that has its configuration and an open stream; page errors go to `errors`.
async function openGoal(context, errors = []) {
	const page = await context.newPage();
	page.on('pageerror', (err) => errors.push(err));
	await page.setViewportSize({ width: 1000, height: 1600 });
	await page.goto(PAGE_URL);
	await page.waitForFunction(() => window.kelpGoal && kelpGoal.link.state === 'open' && kelpGoal.counters.config > 0, null, WAIT);
	return page;
}

function texts(page) {
	return page.evaluate(() => Object.fromEntries(['title', 'percent', 'raised', 'target'].map((id) => [id, document.getElementById(id).textContent])));
}

const snapshot = (page) => page.evaluate(() => ({ total: kelpGoal.total, counters: kelpGoal.counters }));
const waitForText = (page, id, text) => page.waitForFunction(([id, text]) => document.getElementById(id).textContent === text, [id, text], WAIT);

// Polls a condition outside the browser (the driver's figures) until it holds.
async function eventually(condition, message, timeoutMs = 10000) {
	const end = Date.now() + timeoutMs;
	while (!(await condition())) {
		if (Date.now() > end)
			assert.fail(message);
		await new Promise((resolve) => setTimeout(resolve, 50));
	}
}

// A stream-like backdrop, so the transparent widget is judged as it will look over a scene.
async function screenshot(page, name) {
	await page.addStyleTag({ content: 'html { background: radial-gradient(circle at 20% 10%, #3a4f7a, #141a2c 55%, #2b1631); }' });
	const bottom = await page.evaluate(() => Math.ceil(document.getElementById('goal').getBoundingClientRect().bottom));
	const file = path.join(ARTIFACTS, name);
	await page.screenshot({ path: file, clip: { x: 0, y: 0, width: 1000, height: bottom + 40 } });
	console.log('screenshot:', file);
}

describe('rendering', () => {
	test('the default configuration renders a transparent goal that fits 1000 px, drawn from the fallback images', () => withContext(async (context) => {
		await bus.config({});
		const errors = [];
		const page = await openGoal(context, errors);
		await page.waitForFunction(() => Object.values(kelpGoal.assets).every((a) => a.revision === 'bundled' && a.width > 0), null, WAIT);
		assert.deepEqual(await texts(page), { title: 'Event Goal', percent: '0%', raised: '₽0', target: '/ ₽10,000' });
		const look = await page.evaluate(() => ({
			backgrounds: [document.body, document.documentElement].map((e) => getComputedStyle(e).backgroundColor),
			width: document.documentElement.scrollWidth,
			fill: getComputedStyle(document.getElementById('fill')).transform,
			frame: getComputedStyle(document.getElementById('goal'), '::before').borderImageSource,
			assets: kelpGoal.assets,
			transport: kelpGoal.transport,
			role: kelpGoal.role,
		}));
		assert.deepEqual(look.backgrounds, ['rgba(0, 0, 0, 0)', 'rgba(0, 0, 0, 0)']);
		assert.ok(look.width <= 1000, `page is ${look.width} px wide`);
		// translateX(-100%) of a track 916 px wide: nothing of the bar is filled.
		assert.match(look.fill, /^matrix\(1, 0, 0, 1, -9\d\d(\.\d+)?, 0\)$/);
		assert.ok(look.frame.includes(look.assets.frame.url), 'the frame is drawn from the fallback image');
		assert.deepEqual([look.assets.frame.width, look.assets.mask.width, look.assets.particle.width], [96, 64, 64]);
		assert.deepEqual([look.transport, look.role], ['shared', 'leader']);
		await screenshot(page, 'event-goal-default.png');
		assert.deepEqual(errors, []);
	}));

	test('a configuration sets title, goal, currency and layout; an identical one changes nothing', () => withContext(async (context) => {
		const errors = [];
		const page = await openGoal(context, errors);
		const config = {
			title: 'Road to the new microphone', goal: 5000, raised: 1250, currency: 'usd', locale: 'en-US',
			text_layout: { offset_y: -40, title_size: 40, value_size: 60 },
			colors: { bar: '#ff5f6d', bar_end: 'not a colour' },
		};
		await bus.config(config);
		await waitForText(page, 'raised', '$1,250');
		assert.deepEqual(await texts(page), { title: config.title, percent: '25%', raised: '$1,250', target: '/ $5,000' });
		const layout = await page.evaluate(() => {
			const style = (id) => getComputedStyle(document.getElementById(id));
			const root = getComputedStyle(document.documentElement);
			return {
				sizes: ['title', 'raised', 'percent'].map((id) => style(id).fontSize),
				rows: [...document.querySelectorAll('.row')].map((row) => getComputedStyle(row).transform),
				fill: style('fill').transform,
				barWidth: document.getElementById('bar').getBoundingClientRect().width,
				colours: ['--bar-from', '--bar-to'].map((name) => root.getPropertyValue(name).trim()),
			};
		});
		assert.deepEqual(layout.sizes, ['40px', '60px', '60px']);
		assert.deepEqual(layout.rows, ['matrix(1, 0, 0, 1, 0, -40)', 'matrix(1, 0, 0, 1, 0, -40)']);
		// A quarter of the goal: the fill stands three quarters of the track to the left.
		const shift = Number(layout.fill.match(/, (-?[\d.]+), 0\)$/)[1]);
		assert.ok(Math.abs(shift + layout.barWidth * 0.75) < 1, `${layout.fill} for a track of ${layout.barWidth}`);
		// A colour the browser cannot parse falls back to the bar's start colour, not to the default end.
		assert.deepEqual(layout.colours, ['#ff5f6d', '#ff5f6d']);

		const seen = await page.evaluate(() => {
			window.mutations = [];
			new MutationObserver((records) => window.mutations.push(...records.map((r) => r.type + ':' + r.target.nodeName)))
				.observe(document.documentElement, { subtree: true, childList: true, attributes: true, characterData: true });
			return kelpGoal.counters.config;
		});
		await bus.config(config);
		await page.waitForFunction((n) => kelpGoal.counters.config > n, seen, WAIT);
		// Give a stray repaint the chance to show before judging.
		await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
		assert.deepEqual(await page.evaluate(() => window.mutations), []);
		assert.deepEqual(errors, []);
	}));
});

describe('donations', () => {
	let context;
	let page;
	const errors = [];
	const goal = { title: 'Stream goal', goal: 1000, raised: 100 };
	before(async () => {
		context = await browser.newContext();
		await bus.config(goal);
		page = await openGoal(context, errors);
		await waitForText(page, 'raised', '₽100');
	});
	after(async () => {
		await context.close();
		assert.deepEqual(errors, []);
	});

	test('two donations add up, burst particles from the template and survive the periodic config push', async () => {
		await bus.donation(150, 'RUB');
		await page.waitForFunction(() => document.querySelectorAll('.particle').length > 0, null, WAIT);
		const particles = await page.evaluate(() => [...document.querySelectorAll('.particle')].map((p) => p.src));
		const template = await page.evaluate(() => kelpGoal.assets.particle.url);
		assert.ok(particles.every((src) => src === template), 'particles are copies of the particle template');
		await bus.donation(200.5, 'rub');
		// The picture is taken mid-burst, while the new donation's sparks are spreading.
		await page.waitForFunction(() => [...document.querySelectorAll('.gain')].some((gain) =>
			gain.textContent.includes('200.50') && gain.getAnimations()[0]?.currentTime > 450), null, WAIT);
		await screenshot(page, 'event-goal-donation.png');
		await waitForText(page, 'raised', '₽450.50');
		assert.equal((await texts(page)).percent, '45%');

		// The bus pushes the unchanged configuration every few seconds; it must not reset the total.
		const seen = await page.evaluate(() => kelpGoal.counters.config);
		await bus.config(goal);
		await page.waitForFunction((n) => kelpGoal.counters.config > n, seen, WAIT);
		assert.equal(await page.evaluate(() => kelpGoal.total), 450.5);
		// Once the service's own figure moves, it already counts what we added.
		await bus.config({ ...goal, raised: 450 });
		await waitForText(page, 'raised', '₽450');
	});

	test('repeats, other currencies, amounts that are no positive number and malformed blocks neither count nor break the page', async () => {
		const start = await snapshot(page);
		await bus.donation(10, 'RUB', { id: 'same-id' });
		await bus.donation(10, 'RUB', { id: 'same-id' });
		await bus.donation(99, 'EUR');
		await bus.donation(-5);
		await bus.donation('lots');
		await bus.donation('7');
		await bus.event({ type: 'donation', amount: 3 });
		// Nine blocks the page must shrug off.
		for (const data of ['{"type":"donation","amount":', '[1,2,3]', 'null', '{"type":"follow","user":"someone"}', '{"type":"donation","amount":{"value":5}}'])
			await bus.send('event', data);
		await bus.send('config', 'broken', '{"title":');
		await bus.send('config', 'array', '[]');
		// Slots the page does not know, one with a quote in its name among them.
		await bus.send('clear', 'ma"sk');
		await bus.send('clear', 'unknown-slot');
		await bus.donation(25);
		await page.waitForFunction((n) => kelpGoal.counters.donations >= n + 4, start.counters.donations, WAIT);
		const now = await snapshot(page);
		assert.equal(now.total, start.total + 10 + 7 + 3 + 25);
		assert.equal(now.counters.donations - start.counters.donations, 4);
		assert.equal(now.counters.ignored - start.counters.ignored, 4 + 9);
		assert.equal((await texts(page)).title, 'Stream goal');
		assert.equal(await page.evaluate(() => kelpGoal.assets.mask.revision), 'bundled');
	});
});

test('a stored asset replaces the fallback image and a cleared one restores it', () => withContext(async (context) => {
	const white = (w, h) => encodePng(w, h, new Float32Array(w * h * 4).fill(1));
	const images = {
		frame: { mime: 'image/png', size: [40, 40], bytes: white(40, 40) },
		mask: { mime: 'image/png', size: [30, 12], bytes: white(30, 12) },
		particle: { mime: 'image/svg+xml', size: [20, 20],
			bytes: Buffer.from('<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20"><circle cx="10" cy="10" r="9" fill="#f0f"/></svg>') },
	};
	const page = await openGoal(context);
	const allBundled = () => Object.values(kelpGoal.assets).every((a) => a.revision === 'bundled');
	await page.waitForFunction(allBundled, null, WAIT);
	const fallback = await page.evaluate(() => kelpGoal.assets);
	for (const [slot, image] of Object.entries(images))
		await bus.send('asset', slot, image.mime, `2024-05-0${slot.length}T10:00:00Z`, image.bytes.toString('base64'));
	await page.waitForFunction(() => Object.values(kelpGoal.assets).every((a) => a.revision !== 'bundled'), null, WAIT);
	const stored = await page.evaluate(() => ({
		assets: kelpGoal.assets,
		shown: ['mask', 'frame', 'particle'].map((slot) => document.getElementById(`asset-${slot}`).naturalWidth),
		frame: getComputedStyle(document.getElementById('goal'), '::before').borderImageSource,
		mask: getComputedStyle(document.getElementById('fill')).webkitMaskImage,
	}));
	for (const [slot, image] of Object.entries(images))
		assert.deepEqual([stored.assets[slot].revision, stored.assets[slot].width, stored.assets[slot].height], [`2024-05-0${slot.length}T10:00:00Z`, ...image.size]);
	assert.deepEqual(stored.shown, [30, 40, 20]);
	assert.ok(stored.frame.includes(stored.assets.frame.url));
	assert.ok(stored.mask.includes(stored.assets.mask.url));

	for (const slot of Object.keys(images))
		await bus.send('clear', slot);
	await page.waitForFunction(allBundled, null, WAIT);
	const restored = await page.evaluate(() => kelpGoal.assets);
	for (const slot of Object.keys(images))
		assert.deepEqual([restored[slot].width, restored[slot].height], [fallback[slot].width, fallback[slot].height], slot);
}));

describe('stream recovery', () => {
	for (const transport of ['shared', 'direct']) {
		test(`${transport}: after the bus stops and starts again the page shows the current configuration and assets`, () => withContext(async (context) => {
			const page = await openGoal(context);
			assert.equal(await page.evaluate(() => kelpGoal.transport), transport);
			await bus.send('stop');
			await page.waitForFunction(() => kelpGoal.link.state !== 'open', null, WAIT);
			// Changed while no stream was open: no page heard of these.
			await bus.config({ title: `Back again (${transport})`, goal: 300 });
			const png = encodePng(12, 12, new Float32Array(12 * 12 * 4).fill(1));
			await bus.send('asset', 'frame', 'image/png', `while-down-${transport}`, png.toString('base64'));
			assert.equal(await bus.send('start'), '1');
			await waitForText(page, 'title', `Back again (${transport})`);
			await page.waitForFunction((want) => kelpGoal.assets.frame.revision === want, `while-down-${transport}`, WAIT);
			await bus.send('clear', 'frame');
		}, { direct: transport === 'direct' }));

		test(`${transport}: a stream answered once with something else is recreated by the watchdog`, () => withContext(async (context) => {
			const page = await openGoal(context);
			await bus.config({ title: 'Before the restart', goal: 1000 });
			await waitForText(page, 'title', 'Before the restart');
			await bus.send('break-next-stream');
			// The browser gives up on an answer that is not an event stream; only a new EventSource gets back.
			await page.waitForFunction(() => kelpGoal.link.state === 'closed', null, WAIT);
			await page.waitForFunction(() => kelpGoal.link.state === 'open' && kelpGoal.link.stats.recreated >= 1, null, WAIT);
			await bus.config({ title: 'After the restart', goal: 1000 });
			await bus.donation(40);
			await page.waitForFunction(() => document.getElementById('title').textContent === 'After the restart' && kelpGoal.total === 40, null, WAIT);
		}, { direct: transport === 'direct' }));
	}
});

test('eight pages in one browser context share one stream, also after the page holding it closes', () => withContext(async (context) => {
	await bus.config({ title: 'Eight at once', goal: 1000 });
	const pages = await Promise.all(Array.from({ length: 8 }, () => openGoal(context)));
	assert.equal(await bus.send('clients'), '1');
	await bus.donation(64);
	await Promise.all(pages.map((page) => waitForText(page, 'raised', '₽64')));

	const roles = await Promise.all(pages.map((page) => page.evaluate(() => kelpGoal.role)));
	assert.equal(roles.filter((role) => role === 'leader').length, 1, roles.join());
	const rest = pages.filter((_, i) => roles[i] !== 'leader');
	await pages[roles.indexOf('leader')].close();
	// Another page takes the stream over; the others hear it open again.
	await Promise.any(rest.map((page) => page.waitForFunction(() => kelpGoal.role === 'leader' && kelpGoal.link.state === 'open', null, WAIT)));
	await eventually(async () => (await bus.send('clients')) === '1', 'the bus still holds more than one stream');
	await bus.donation(36);
	await Promise.all(rest.map((page) => page.waitForFunction(() => kelpGoal.total === 100, null, WAIT)));
}));
