#!/usr/bin/env node
// Draws the Event Goal runtime's fallback images (frame.png, mask.png, particle-template.svg) into
// the folder given as the first argument. Run it by hand after changing a design, then commit the
// images: the runtime ships the files, not this script.
'use strict';

const fs = require('fs');
const path = require('path');
const zlib = require('zlib');

const CRC_TABLE = new Int32Array(256).map((_, n) => {
	let c = n;
	for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
	return c;
});

function crc32(bytes) {
	let c = -1;
	for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
	return (c ^ -1) >>> 0;
}

function chunk(type, data) {
	const head = Buffer.alloc(8);
	head.writeUInt32BE(data.length, 0);
	head.write(type, 4, 'latin1');
	const crc = Buffer.alloc(4);
	crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
	return Buffer.concat([head, data, crc]);
}

// rgba: Float32Array of straight (not premultiplied) RGBA in 0..1.
function encodePng(width, height, rgba) {
	const raw = Buffer.alloc((width * 4 + 1) * height);
	for (let y = 0; y < height; y++) {
		raw[y * (width * 4 + 1)] = 0;
		for (let x = 0; x < width * 4; x++) {
			const v = Math.round(Math.min(1, Math.max(0, rgba[y * width * 4 + x])) * 255);
			raw[y * (width * 4 + 1) + 1 + x] = v;
		}
	}
	const ihdr = Buffer.alloc(13);
	ihdr.writeUInt32BE(width, 0);
	ihdr.writeUInt32BE(height, 4);
	ihdr[8] = 8; // bit depth
	ihdr[9] = 6; // RGBA
	return Buffer.concat([
		Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
		chunk('IHDR', ihdr),
		chunk('IDAT', zlib.deflateSync(raw, { level: 9 })),
		chunk('IEND', Buffer.alloc(0)),
	]);
}

// Paints with 4x4 supersampling so edges are antialiased; shade(x, y) returns [r, g, b, a] in 0..1.
function render(width, height, shade) {
	const out = new Float32Array(width * height * 4);
	const n = 4;
	for (let y = 0; y < height; y++) {
		for (let x = 0; x < width; x++) {
			let r = 0, g = 0, b = 0, a = 0;
			for (let sy = 0; sy < n; sy++) {
				for (let sx = 0; sx < n; sx++) {
					const [pr, pg, pb, pa] = shade(x + (sx + 0.5) / n, y + (sy + 0.5) / n);
					r += pr * pa;
					g += pg * pa;
					b += pb * pa;
					a += pa;
				}
			}
			const i = (y * width + x) * 4;
			out[i + 3] = a / (n * n);
			if (a > 0) {
				out[i] = r / a;
				out[i + 1] = g / a;
				out[i + 2] = b / a;
			}
		}
	}
	return out;
}

// Signed distance from a point to a rounded rectangle (negative inside).
function roundedRectDistance(px, py, x0, y0, x1, y1, radius) {
	const cx = (x0 + x1) / 2, cy = (y0 + y1) / 2;
	const hx = (x1 - x0) / 2 - radius, hy = (y1 - y0) / 2 - radius;
	const qx = Math.abs(px - cx) - hx, qy = Math.abs(py - cy) - hy;
	const outside = Math.hypot(Math.max(qx, 0), Math.max(qy, 0));
	return outside + Math.min(Math.max(qx, qy), 0) - radius;
}

const mix = (a, b, t) => a + (b - a) * t;
const hex = (h) => [1, 3, 5].map((i) => parseInt(h.slice(i, i + 2), 16) / 255);

// Over: composites straight-alpha colour `top` onto `under`.
function over(under, top) {
	const a = top[3] + under[3] * (1 - top[3]);
	if (a <= 0) return [0, 0, 0, 0];
	const c = (i) => (top[i] * top[3] + under[i] * under[3] * (1 - top[3])) / a;
	return [c(0), c(1), c(2), a];
}

// A 96x96 nine-slice frame (corners of 32 px): a dark glass panel with a teal-to-blue rim and a soft glow.
function frame() {
	const size = 96, inset = 9, radius = 22;
	const rimA = hex('#62f5cf'), rimB = hex('#4a8dff');
	return render(size, size, (x, y) => {
		const d = roundedRectDistance(x, y, inset, inset, size - inset, size - inset, radius);
		let px = [0, 0, 0, 0];
		if (d > 0) {
			const glow = Math.exp(-d / 3.2) * 0.42;
			px = [rimA[0], rimA[1], rimA[2], glow];
		}
		if (d <= 0.5) {
			const t = (y - inset) / (size - 2 * inset);
			const body = [mix(0.07, 0.03, t), mix(0.11, 0.05, t), mix(0.2, 0.11, t), mix(0.8, 0.88, t)];
			px = over(px, body);
			// A faint highlight just under the top edge gives the glass some depth.
			const hl = Math.exp(-Math.abs(d + 4) / 1.2) * 0.14 * (1 - t);
			px = over(px, [1, 1, 1, hl]);
		}
		const rim = Math.max(0, 1 - Math.abs(d + 0.5) / 1.5);
		if (rim > 0) {
			const t = Math.min(1, Math.max(0, (x + y) / (2 * size)));
			px = over(px, [mix(rimA[0], rimB[0], t), mix(rimA[1], rimB[1], t), mix(rimA[2], rimB[2], t), rim * 0.95]);
		}
		return px;
	});
}

// A 64x64 tile of diagonal stripes for the bar's alpha mask: opaque bands and slightly translucent ones.
function mask() {
	const size = 64, period = 32;
	return render(size, size, (x, y) => {
		const u = (((x + y) % period) + period) % period;
		const band = u < period / 2 ? 1 : 0.74;
		// The top of the tile is a touch brighter so the fill reads as rounded.
		const shade = 0.9 + 0.1 * Math.cos(((y / size) - 0.3) * Math.PI);
		return [1, 1, 1, band * Math.min(1, shade)];
	});
}

const particleSvg = `<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
<defs>
<radialGradient id="glow"><stop offset=".2" stop-color="#ffc53d" stop-opacity=".55"/><stop offset="1" stop-color="#ff8a00" stop-opacity="0"/></radialGradient>
<radialGradient id="star" cx=".5" cy=".5" r=".5"><stop offset=".08" stop-color="#fffdf2"/><stop offset=".3" stop-color="#ffe066"/><stop offset=".75" stop-color="#ffb21e"/><stop offset="1" stop-color="#ff8a00"/></radialGradient>
</defs>
<circle cx="32" cy="32" r="20" fill="url(#glow)"/>
<path d="M32 1C34 20 44 30 63 32 44 34 34 44 32 63 30 44 20 34 1 32 20 30 30 20 32 1Z" fill="url(#star)"/>
<path d="M32 19C32.8 28 36 31.2 45 32 36 32.8 32.8 36 32 45 31.2 36 28 32.8 19 32 28 31.2 31.2 28 32 19Z" fill="#fff"/>
</svg>
`;

function main() {
	const outDir = process.argv[2];
	if (!outDir) {
		console.error('usage: make-widget-images.cjs <runtime folder>');
		process.exit(2);
	}
	fs.writeFileSync(path.join(outDir, 'frame.png'), encodePng(96, 96, frame()));
	fs.writeFileSync(path.join(outDir, 'mask.png'), encodePng(64, 64, mask()));
	fs.writeFileSync(path.join(outDir, 'particle-template.svg'), particleSvg);
	for (const name of ['frame.png', 'mask.png', 'particle-template.svg'])
		console.log(name, fs.statSync(path.join(outDir, name)).size, 'bytes');
}

if (require.main === module)
	main();

module.exports = { encodePng };
