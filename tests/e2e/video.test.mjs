// The test pattern as the phone shows it: WebCodecs decoding of the host's
// stream into the canvas, checked by the picture's own pixels.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Host, launchPhone, hook, waitFor, pictureRect, sleep, findYellow, meanColour } from './support.mjs';

let host, phone, page;
const sent = [];
before(async () => {
  host = new Host();
  await host.start();
  phone = await launchPhone();
  page = await phone.page();
  page.on('websocket', (ws) => ws.on('framesent', (f) => typeof f.payload === 'string' && sent.push(JSON.parse(f.payload))));
  await page.goto(host.url);
});
after(async () => {
  await phone?.close();
  if (host) { if (process.exitCode) console.error(host.log()); await host.dispose(); }
});

const waitDrawn = (n, what = n + ' frames') => waitFor(async () => (await hook(page)).drawn >= n, what, 20000);

// Waits until the crosshair sits at the given fractions of the frame.
async function crosshairAt(fx, fy, tol = 8) {
  let last = null;
  try {
    return await waitFor(async () => {
      last = await findYellow(page);
      return last && Math.abs(last.x - fx * last.w) <= tol && Math.abs(last.y - fy * last.h) <= tol && last;
    }, `the crosshair at ${fx},${fy}`, 30000);
  } catch (e) { e.message += ' (last seen ' + JSON.stringify(last) + ')'; throw e; }
}

test('shows the test pattern in a letterboxed picture that keeps its shape', async () => {
  await waitDrawn(10);
  const t = await hook(page);
  assert.equal(t.state, 'live');
  assert.match(t.config.codec, /^avc1\.[0-9a-f]{6}$/);
  const r = await pictureRect(page);
  assert.ok(r.vw > 0 && r.vh > 0);
  assert.ok(Math.abs(r.w / r.h - r.vw / r.vh) < 0.02, `shape ${r.w}x${r.h} vs ${r.vw}x${r.vh}`);
  const vp = page.viewportSize();
  assert.ok(r.x >= 0 && r.y >= 0 && r.x + r.w <= vp.width + 0.5 && r.y + r.h <= vp.height, 'inside the screen');
  assert.ok(Math.abs(r.w - vp.width) < 1 || r.h > vp.height * 0.5, 'fills the width or most of the height');
  // Background (0.08, 0.10, 0.16) in the strip above the moving bars.
  const bg = await meanColour(page, Math.round(r.vw / 2), Math.round(r.vh * 0.06));
  const want = [0.08, 0.10, 0.16].map((v) => v * 255);
  bg.forEach((v, i) => assert.ok(Math.abs(v - want[i]) <= 12, `background ${bg.map(Math.round)} vs ${want}`));
  // The yellow crosshair starts in the middle.
  const y = await crosshairAt(0.5, 0.5);
  assert.ok(y.n > 150, 'crosshair pixels ' + y.n);
  assert.deepEqual(phone.errors, []);
});

test('a tap moves the crosshair to the tapped place', async () => {
  await waitDrawn(10);
  for (const [fx, fy] of [[0.25, 0.3], [0.8, 0.7], [0.1, 0.85]]) {
    const r = await pictureRect(page);
    await page.touchscreen.tap(r.x + fx * r.w, r.y + fy * r.h);
    await crosshairAt(fx, fy);
  }
});

test('measures input-to-picture delay and decode time, and reports them to the host', async () => {
  await waitDrawn(10);
  const before = (await hook(page)).delays.length;
  const r = await pictureRect(page);
  for (let i = 0; i < 10; i++) {
    await page.touchscreen.tap(r.x + (0.1 + 0.08 * i) * r.w, r.y + 0.5 * r.h);
    await sleep(120);
  }
  const t = await waitFor(async () => { const t = await hook(page); return t.delays.length >= before + 10 && t; }, 'ten measured delays');
  // Measured times in milliseconds, however busy the machine.
  for (const d of t.delays) assert.ok(d > 0 && d < 30000, 'delay ' + d);
  const line = await waitFor(() => host.statsLines().find((l) => l.n > 0), 'a stats line with samples', 30000);
  for (const k of ['p50', 'p95', 'decode_ms', 'rtt_ms']) assert.equal(typeof line[k], 'number', k + ' in ' + JSON.stringify(line));
  assert.ok(line.p50 <= line.p95);
  await page.tap('#bStats');
  assert.match(await page.textContent('#stats'), /input→picture\s+\d+ \/ \d+ ms/);
  await page.tap('#bStats');
});

test('when the page falls behind it skips to the next key frame instead of queueing', async () => {
  await waitDrawn(10);
  const t0 = await hook(page);
  // Freeze the page for a while so that frames pile up in the socket.
  await page.evaluate(() => { const end = performance.now() + 1500; while (performance.now() < end); });
  const t1 = await waitFor(async () => { const t = await hook(page); return t.drawn > t0.drawn + 20 && t; }, 'drawing to resume', 10000);
  assert.ok(t1.dropped > t0.dropped, `dropped ${t0.dropped} -> ${t1.dropped}`);
  // It asked for a key frame rather than wait for the periodic one.
  assert.ok(sent.some((m) => m.t === 'retry'), 'a key frame request');
  // Pictures are current again: the crosshair still follows a tap.
  const r = await pictureRect(page);
  await page.touchscreen.tap(r.x + 0.6 * r.w, r.y + 0.2 * r.h);
  await crosshairAt(0.6, 0.2);
  assert.deepEqual(phone.errors, []);
});
