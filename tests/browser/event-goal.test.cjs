// The built-in Event Goal page in headless Chromium, served and fed by the real bus.
// Environment (set by CTest): KELP_BUS_DRIVER, KELP_WIDGET_RUNTIME, KELP_ARTIFACTS, NODE_PATH.
'use strict';

const { test, before, after } = require('node:test');
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
function startDriver() {
	const child = spawn(process.env.KELP_BUS_DRIVER, [process.env.KELP_WIDGET_RUNTIME], { stdio: ['pipe', 'pipe', 'inherit'] });
	const pending = [];
	readline.createInterface({ input: child.stdout }).on('line', (line) => {
		const waiter = pending.shift();
		line.startsWith('ok') ? waiter?.resolve(line.slice(3)) : waiter?.reject(new Error(`bus driver: ${line}`));
	});
	const exited = new Promise((resolve) => child.on('exit', resolve));
	exited.then(() => pending.splice(0).forEach((w) => w.reject(new Error('bus driver exited'))));
	const send = (...words) => new Promise((resolve, reject) => {
		pending.push({ resolve, reject });
		child.stdin.write(`${words.join(' ')}\n`);
	});
	const event = (object) => send('event', JSON.stringify(object));
	return {
		send, event,
		quit: () => { child.stdin.end(); return exited; },
		config: (object) => send('config', `rev-${Date.now()}`, JSON.stringify(object)),
		donation: (amount, currency = 'RUB', extra = {}) =>
			event({ type: 'donation', provider: 'kelp', amount, currency, id: `d-${Math.random()}`, ...extra }),
		asset: (slot, mime, revision, bytes) => send('asset', slot, mime, revision, bytes.toString('base64')),
	};
}

let bus;
let browser;

before(async () => {
	fs.mkdirSync(ARTIFACTS, { recursive: true });
	bus = startDriver();
	// CTest keeps its own suites off the port; another program on a developer's machine may not.
	await eventually(async () => (await bus.send('start')) === '1', 'the bus could not bind port 4251');
	// launch() gives every run a fresh temporary profile of its own.
	browser = await chromium.launch({ executablePath: CHROMIUM, args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
		'--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--lang=en-US'] });
});

after(async () => {
	await browser?.close();
	await bus?.quit();
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

const texts = (page) => page.evaluate(() => Object.fromEntries(['title', 'percent', 'raised', 'target'].map((id) => [id, document.getElementById(id).textContent])));
const waitForText = (page, id, text) => page.waitForFunction(([id, text]) => document.getElementById(id).textContent === text, [id, text], WAIT);
const white = (w, h) => encodePng(w, h, new Float32Array(w * h * 4).fill(1));

// Pushes a configuration and waits until the page has taken it in, changed or not.
async function pushConfig(page, config) {
	const seen = await page.evaluate(() => kelpGoal.counters.config);
	await bus.config(config);
	await page.waitForFunction((n) => kelpGoal.counters.config > n, seen, WAIT);
}

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

test('a goal renders transparent and 1000 px wide from the fallback images, then follows its configuration', () => withContext(async (context) => {
	await bus.config({});
	const errors = [];
	const page = await openGoal(context, errors);
	await page.waitForFunction(() => Object.values(kelpGoal.assets).every((a) => a.revision === 'bundled' && a.width > 0), null, WAIT);
	assert.deepEqual(await texts(page), { title: 'Event Goal', percent: '0%', raised: '₽0', target: '/ ₽10,000' });
	const look = await page.evaluate(() => ({
		backgrounds: [document.body, document.documentElement].map((e) => getComputedStyle(e).backgroundColor),
		width: document.documentElement.scrollWidth,
		fill: getComputedStyle(document.getElementById('fill')).transform,
		framed: getComputedStyle(document.getElementById('goal'), '::before').borderImageSource.includes(kelpGoal.assets.frame.url),
	}));
	assert.deepEqual(look.backgrounds, ['rgba(0, 0, 0, 0)', 'rgba(0, 0, 0, 0)']);
	assert.ok(look.width <= 1000, `page is ${look.width} px wide`);
	// translateX(-100%) of a track 916 px wide: nothing of the bar is filled.
	assert.match(look.fill, /^matrix\(1, 0, 0, 1, -9\d\d(\.\d+)?, 0\)$/);
	assert.ok(look.framed, 'the frame is drawn from the fallback image');
	await screenshot(page, 'event-goal-default.png');

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
		return {
			sizes: ['title', 'raised', 'percent'].map((id) => style(id).fontSize),
			rows: [...document.querySelectorAll('.row')].map((row) => getComputedStyle(row).transform),
			fill: style('fill').transform,
			barWidth: document.getElementById('bar').getBoundingClientRect().width,
			colours: ['--bar-from', '--bar-to'].map((name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim()),
		};
	});
	assert.deepEqual(layout.sizes, ['40px', '60px', '60px']);
	assert.deepEqual(layout.rows, ['matrix(1, 0, 0, 1, 0, -40)', 'matrix(1, 0, 0, 1, 0, -40)']);
	// A quarter of the goal: the fill stands three quarters of the track to the left.
	const shift = Number(layout.fill.match(/, (-?[\d.]+), 0\)$/)[1]);
	assert.ok(Math.abs(shift + layout.barWidth * 0.75) < 1, `${layout.fill} for a track of ${layout.barWidth}`);
	// A colour the browser cannot parse falls back to the bar's start colour, not to the default end.
	assert.deepEqual(layout.colours, ['#ff5f6d', '#ff5f6d']);

	// An identical configuration, as the bus pushes every few seconds, changes nothing on the page.
	await page.evaluate(() => {
		window.mutations = [];
		new MutationObserver((records) => window.mutations.push(...records.map((r) => r.type + ':' + r.target.nodeName)))
			.observe(document.documentElement, { subtree: true, childList: true, attributes: true, characterData: true });
	});
	await pushConfig(page, config);
	// Give a stray repaint the chance to show before judging.
	await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
	assert.deepEqual(await page.evaluate(() => window.mutations), []);
	assert.deepEqual(errors, []);
}));

test('donations add up and burst particles from the template; repeats, other currencies, bad amounts and malformed blocks do not count', () => withContext(async (context) => {
	const goal = { title: 'Stream goal', goal: 1000, raised: 100 };
	await bus.config(goal);
	const errors = [];
	const page = await openGoal(context, errors);
	await waitForText(page, 'raised', '₽100');
	await bus.donation(150, 'RUB');
	await page.waitForFunction(() => document.querySelectorAll('.particle').length > 0, null, WAIT);
	assert.ok(await page.evaluate(() => [...document.querySelectorAll('.particle')].every((p) => p.src === kelpGoal.assets.particle.url)),
		'particles are copies of the particle template');
	await bus.donation(200.5, 'rub');
	// The picture is taken mid-burst, while the new donation's sparks are spreading.
	await page.waitForFunction(() => [...document.querySelectorAll('.gain')].some((gain) =>
		gain.textContent.includes('200.50') && gain.getAnimations()[0]?.currentTime > 450), null, WAIT);
	await screenshot(page, 'event-goal-donation.png');
	await waitForText(page, 'raised', '₽450.50');
	assert.equal((await texts(page)).percent, '45%');
	// What donations added stays until the service's own figure moves, which then already counts it.
	await bus.config({ ...goal, title: 'Renamed' });
	await waitForText(page, 'title', 'Renamed');
	assert.equal(await page.evaluate(() => kelpGoal.total), 450.5);
	await bus.config({ ...goal, title: 'Renamed', raised: 450 });
	await waitForText(page, 'raised', '₽450');

	const start = await page.evaluate(() => kelpGoal.counters);
	for (const [amount, currency, id] of [[10, 'RUB', 'same-id'], [10, 'RUB', 'same-id'], [99, 'EUR'], [-5], ['lots'], ['7']])
		await bus.donation(amount, currency, id && { id });
	await bus.event({ type: 'donation', amount: 3 });
	// Nine blocks the page must shrug off, among them slots it does not know (one with a quote).
	for (const command of [['event', '{"type":"donation","amount":'], ['event', '[1,2,3]'], ['event', 'null'],
		['event', '{"type":"follow","user":"someone"}'], ['event', '{"type":"donation","amount":{"value":5}}'],
		['config', 'broken', '{"title":'], ['config', 'array', '[]'], ['clear', 'ma"sk'], ['clear', 'unknown-slot']])
		await bus.send(...command);
	await bus.donation(25);
	await page.waitForFunction((n) => kelpGoal.counters.donations >= n + 4, start.donations, WAIT);
	const now = await page.evaluate(() => ({ total: kelpGoal.total, counters: kelpGoal.counters, mask: kelpGoal.assets.mask.revision }));
	assert.equal(now.total, 450 + 10 + 7 + 3 + 25);
	assert.equal(now.counters.donations - start.donations, 4);
	assert.equal(now.counters.ignored - start.ignored, 4 + 9);
	assert.equal(now.mask, 'bundled');
	assert.equal((await texts(page)).title, 'Renamed');
	assert.deepEqual(errors, []);
}));

test('a stored asset replaces the fallback image and a cleared one restores it', () => withContext(async (context) => {
	const svg = '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="20"><circle cx="10" cy="10" r="9" fill="#f0f"/></svg>';
	const images = [['frame', 'image/png', white(40, 40), 40], ['mask', 'image/png', white(30, 12), 30], ['particle', 'image/svg+xml', Buffer.from(svg), 20]];
	const page = await openGoal(context);
	const revisions = () => page.evaluate(() => Object.values(kelpGoal.assets).map((a) => a.revision).join());
	await eventually(async () => (await revisions()) === 'bundled,bundled,bundled', 'the fallback images did not load');
	const fallback = await page.evaluate(() => kelpGoal.assets);
	for (const [slot, mime, bytes] of images)
		await bus.asset(slot, mime, `stored-${slot}`, bytes);
	await eventually(async () => !(await revisions()).includes('bundled'), 'the stored images did not arrive');
	const stored = await page.evaluate(() => ({
		assets: kelpGoal.assets,
		shown: ['frame', 'mask', 'particle'].map((slot) => document.getElementById(`asset-${slot}`).naturalWidth),
		frame: getComputedStyle(document.getElementById('goal'), '::before').borderImageSource,
		mask: getComputedStyle(document.getElementById('fill')).webkitMaskImage,
	}));
	assert.deepEqual(images.map(([slot]) => stored.assets[slot].revision), ['stored-frame', 'stored-mask', 'stored-particle']);
	assert.deepEqual(stored.shown, images.map((image) => image[3]));
	assert.ok(stored.frame.includes(stored.assets.frame.url) && stored.mask.includes(stored.assets.mask.url));

	for (const [slot] of images)
		await bus.send('clear', slot);
	await eventually(async () => (await revisions()) === 'bundled,bundled,bundled', 'the fallback images did not come back');
	const sizes = (assets) => Object.values(assets).map((a) => [a.width, a.height]);
	assert.deepEqual(sizes(await page.evaluate(() => kelpGoal.assets)), sizes(fallback));
}));

for (const transport of ['shared', 'direct']) {
	test(`${transport}: after the bus restarts, or answers a stream once with something else, the page catches up`, () => withContext(async (context) => {
		const page = await openGoal(context);
		assert.equal(await page.evaluate(() => kelpGoal.transport), transport);
		await bus.send('stop');
		await page.waitForFunction(() => kelpGoal.link.state !== 'open', null, WAIT);
		// Changed while no stream was open: no page heard of these.
		await bus.config({ title: `Back again (${transport})`, goal: 300 });
		await bus.asset('frame', 'image/png', `while-down-${transport}`, white(12, 12));
		assert.equal(await bus.send('start'), '1');
		await waitForText(page, 'title', `Back again (${transport})`);
		await page.waitForFunction((want) => kelpGoal.assets.frame.revision === want, `while-down-${transport}`, WAIT);
		await bus.send('clear', 'frame');

		await bus.send('break-next-stream');
		// The browser gives up on an answer that is not an event stream; only a new EventSource gets back.
		await page.waitForFunction(() => kelpGoal.link.state === 'closed', null, WAIT);
		await page.waitForFunction(() => kelpGoal.link.state === 'open' && kelpGoal.link.stats.recreated >= 1, null, WAIT);
		await bus.config({ title: 'After the restart', goal: 1000 });
		await bus.donation(40);
		await page.waitForFunction(() => document.getElementById('title').textContent === 'After the restart' && kelpGoal.total === 40, null, WAIT);
	}, { direct: transport === 'direct' }));
}

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
