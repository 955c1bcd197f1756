// The video track's frame numbers: the strip read back from rows and from
// frames that went through a real H.264 encoder and decoder in Chromium
// (full size and scaled down), and the "fm" marks matched to presented frames
// on the 2^24 circle, every input id counted once.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { stripNumber } from '../../client/track-strip.js';
import { FrameMarks, behind } from '../../client/frame-marks.js';
import { launchPhone } from './support.mjs';
import { ScriptedSignal } from './rtc-support.mjs';

// One RGBA row of the strip as the computer draws it, `width` pixels for the strip's 416.
function stripRow(n, { width = 416, lit = 255, dark = 0, start = true, gap = false } = {}) {
  const row = new Uint8ClampedArray(4 * width);
  const cellOf = (x) => Math.floor(x * 416 / width / 16);
  for (let x = 0; x < width; x++) {
    const c = cellOf(x);
    const on = c === 0 ? start : c === 1 ? gap : c < 26 && ((n >> (23 - (c - 2))) & 1) === 1;
    row.fill(on ? lit : dark, 4 * x, 4 * x + 3);
    row[4 * x + 3] = 255;
  }
  return row;
}

test('strip rows: bits most significant first, start cell and gap checked, scaled rows too', () => {
  assert.equal(stripNumber(stripRow(5)), 5);
  assert.equal(stripNumber(stripRow(2 ** 24 - 1)), 2 ** 24 - 1);
  assert.equal(stripNumber(stripRow(0)), 0);
  assert.equal(stripNumber(stripRow(0x800001)), 0x800001);
  // Counter 5 lights cells 21 and 23 of the 24 (bits 2 and 0), nothing else.
  const row5 = stripRow(5);
  const litCells = [];
  for (let j = 0; j < 24; j++) if (row5[4 * (32 + 16 * j + 8)] === 255) litCells.push(j);
  assert.deepEqual(litCells, [21, 23]);
  // Compression greys: still read on either side of the middle.
  assert.equal(stripNumber(stripRow(0xa5a5a5, { lit: 190, dark: 60 })), 0xa5a5a5);
  // A half-size picture keeps 8-pixel cells.
  assert.equal(stripNumber(stripRow(123456, { width: 208 }), 208), 123456);
  // Cells looked for where they are not (a strip read at the wrong scale) are not a number.
  assert.equal(stripNumber(stripRow(0, { width: 333 }), 416), -1);
  // Not a strip: start cell dark, gap lit (a white picture row), too short.
  assert.equal(stripNumber(stripRow(5, { start: false })), -1);
  assert.equal(stripNumber(stripRow(5, { gap: true })), -1);
  assert.equal(stripNumber(new Uint8ClampedArray(4 * 416).fill(255)), -1);
  assert.equal(stripNumber(new Uint8ClampedArray(40), 416), -1);
  assert.equal(stripNumber(null), -1);
});

test('marks: a frame takes every mark up to its number once, across the wrap at 2^24', () => {
  const W = 2 ** 24;
  assert.equal(behind(0, W - 1), 1);
  assert.equal(behind(W - 1, 0), W - 1);
  const fm = new FrameMarks();
  fm.add({ t: 'fm', n: W - 2, cap: 10, ids: [1] });
  fm.add({ t: 'fm', n: W - 1, cap: 11, ids: [2, 3] });
  fm.add({ t: 'fm', n: 0, cap: 12, ids: [] });
  fm.add({ t: 'fm', n: 2, cap: 14, ids: [4] });
  // Frame 0 was presented; W-2 and W-1 were not: their ids come with it, and 2 waits.
  assert.deepEqual(fm.take(0), { ids: [1, 2, 3], capMs: 12 });
  assert.equal(fm.size, 1);
  // Frame 1 has no mark of its own: no ids, no capture time; 2 still ahead.
  assert.deepEqual(fm.take(1), { ids: [], capMs: 0 });
  assert.deepEqual(fm.take(2), { ids: [4], capMs: 14 });
  // The same frame again (a repeated callback) gives nothing twice.
  assert.deepEqual(fm.take(2), { ids: [], capMs: 0 });
  // A mark far ahead (more than half the circle) is not taken by an old frame.
  fm.add({ t: 'fm', n: 9, cap: 1, ids: [9] });
  assert.deepEqual(fm.take(9 + W / 2 + 1).ids, []);
  assert.deepEqual(fm.take(9 + 6).ids, [9]);
});

test('marks: malformed messages are refused, repeats merge, the store stays bounded', () => {
  const fm = new FrameMarks();
  for (const bad of [null, {}, { n: -1 }, { n: 2 ** 24 }, { n: 1.5 }, { n: '6' }]) assert.equal(fm.add(bad), false, JSON.stringify(bad));
  assert.equal(fm.add({ n: 6, ids: 'x', cap: 'y' }), true);
  assert.deepEqual(fm.take(6), { ids: [], capMs: 0 });
  fm.add({ n: 7, ids: [1, -2, 2.5, 'x', 3], cap: 5 });
  fm.add({ n: 7, ids: [4], cap: 6 });
  assert.deepEqual(fm.take(7), { ids: [1, 3, 4], capMs: 6 });
  fm.add({ n: 8, ids: Array.from({ length: 500 }, (_, i) => i) });
  assert.equal(fm.take(8).ids.length, 64);
  for (let n = 100; n < 5100; n++) fm.add({ n, ids: [n] });
  assert.ok(fm.size <= 1024, 'kept ' + fm.size);
  const got = fm.take(5099).ids;
  assert.equal(got.at(-1), 5099);
  assert.equal(new Set(got).size, got.length);
});

// ---- the reader on frames that went through H.264 in Chromium ----

let phone, signal, page;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchPhone();
  page = await phone.page();
  await page.goto(signal.blank);
});
after(async () => { await phone?.close(); await signal?.stop(); });

// Encodes pictures w x (h + 32) with the strip (or without: `noStrip`) at the
// given scale and low rate, decodes them and reads every decoded frame with
// the size w x h. `own`: the picture is scaled first and gets a strip of its
// own 32 rows, as the computer does, while the page still has the old size.
const throughH264 = (opts) => page.evaluate(async ({ numbers, w, h, scale, bitrate, noStrip, own }) => {
  const { StripReader } = await import('/track-strip.js');
  const reader = new StripReader();
  const fw = Math.round(w * scale / 2) * 2;
  const fh = own ? Math.round(h * scale / 2) * 2 + 32 : Math.round((h + 32) * scale / 2) * 2;
  const full = new OffscreenCanvas(w, h + 32), fc = full.getContext('2d');
  const out = new OffscreenCanvas(fw, fh), oc = out.getContext('2d');
  const read = [];
  let decoder = null;
  const decoded = [];
  const encoder = new VideoEncoder({
    output: (chunk, meta) => {
      if (meta?.decoderConfig) {
        decoder = new VideoDecoder({ output: (f) => { read.push(reader.read(f, w, h)); f.close(); }, error: (e) => decoded.push(String(e)) });
        decoder.configure(meta.decoderConfig);
      }
      decoder.decode(chunk);
    },
    error: (e) => decoded.push(String(e)),
  });
  encoder.configure({ codec: 'avc1.42e034', width: fw, height: fh, bitrate, framerate: 30, latencyMode: 'realtime', avc: { format: 'avc' } });
  numbers.forEach((n, i) => {
    // A busy picture: a moving gradient and a white block on its last rows.
    const g = fc.createLinearGradient(0, 0, w, h);
    g.addColorStop(0, `hsl(${i * 40}, 80%, 50%)`); g.addColorStop(1, '#fff');
    fc.fillStyle = g; fc.fillRect(0, 0, w, h);
    fc.fillStyle = '#fff'; fc.fillRect(0, h - 40, w, 40);
    fc.fillStyle = '#000'; fc.fillRect(0, h, w, 32);
    fc.fillStyle = '#fff';
    if (noStrip) fc.fillRect(0, h, w, 32);
    else {
      fc.fillRect(0, h, 16, 32);
      for (let j = 0; j < 24; j++) if ((n >> (23 - j)) & 1) fc.fillRect(32 + 16 * j, h, 16, 32);
    }
    if (own) {
      oc.drawImage(full, 0, 0, w, h, 0, 0, fw, fh - 32);
      oc.fillStyle = '#000'; oc.fillRect(0, fh - 32, fw, 32);
      oc.fillStyle = '#fff'; oc.fillRect(0, fh - 32, 16, 32);
      for (let j = 0; j < 24; j++) if ((n >> (23 - j)) & 1) oc.fillRect(32 + 16 * j, fh - 32, 16, 32);
    } else oc.drawImage(full, 0, 0, fw, fh);
    const frame = new VideoFrame(out, { timestamp: i * 33333 });
    encoder.encode(frame, { keyFrame: i === 0 });
    frame.close();
  });
  await encoder.flush();
  await decoder.flush();
  return { read, errors: decoded, size: [fw, fh] };
}, opts);

test('the reader gets the numbers back from decoded H.264 frames, full size and scaled down', async () => {
  const numbers = [5, 2 ** 24 - 1, 0, 6, 0xa5a5a5, 0x5a5a5a, 123456, 7];
  const full = await throughH264({ numbers, w: 640, h: 360, scale: 1, bitrate: 250000 });
  assert.deepEqual(full.errors, []);
  assert.deepEqual(full.read, numbers, 'full size ' + full.size);
  // Down to 416 pixels of width (the narrowest the computer encodes): 10.4-pixel cells.
  const small = await throughH264({ numbers, w: 640, h: 360, scale: 0.65, bitrate: 150000 });
  assert.deepEqual(small.read, numbers, 'scaled ' + small.size);
  // Scaled by the computer: a picture of another size with a strip of its own, its "vcfg" not yet read.
  const smaller = await throughH264({ numbers, w: 1280, h: 720, scale: 0.75, bitrate: 400000, own: true });
  assert.deepEqual(smaller.read, numbers, 'own strip ' + smaller.size);
  const wide = await throughH264({ numbers: numbers.slice(0, 3), w: 1920, h: 1080, scale: 1, bitrate: 1000000 });
  assert.deepEqual(wide.read, numbers.slice(0, 3));
});

test('a frame without a strip (white where the strip would be) reads as no number', async () => {
  const r = await throughH264({ numbers: [5, 6], w: 640, h: 360, scale: 1, bitrate: 250000, noStrip: true });
  assert.deepEqual(r.read, [-1, -1]);
  // A frame whose size the page was never told is taken as unscaled with the strip at its bottom.
  const guess = await page.evaluate(async () => {
    const { StripReader } = await import('/track-strip.js');
    const c = new OffscreenCanvas(416, 132), g = c.getContext('2d');
    g.fillStyle = '#345'; g.fillRect(0, 0, 416, 100);
    g.fillStyle = '#000'; g.fillRect(0, 100, 416, 32);
    g.fillStyle = '#fff'; g.fillRect(0, 100, 16, 32); g.fillRect(32 + 16 * 23, 100, 16, 32);
    const f = new VideoFrame(c, { timestamp: 0 });
    const n = new StripReader().read(f, 0, 0);
    f.close();
    return n;
  });
  assert.equal(guess, 1);
});
