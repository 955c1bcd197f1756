// A page that cannot keep up with the frame rate: the host slows the picture
// down for it, and it keeps drawing and following input instead of freezing.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Host, launchPhone, hook, waitFor, pictureRect, findYellow } from './support.mjs';

let host, phone, page;
const reports = [], retries = [];
before(async () => {
  host = new Host();
  await host.start();
  phone = await launchPhone();
  page = await phone.page();
  // Every decoded picture can be made to cost the page's thread a fixed time, as on a slow phone.
  await page.addInitScript(() => {
    const Orig = window.VideoDecoder;
    if (!Orig) return;
    window.VideoDecoder = class extends Orig {
      constructor(init) {
        super({ ...init, output: (f) => {
          const end = performance.now() + (window.__costMs || 0);
          while (performance.now() < end);
          init.output(f);
        } });
      }
    };
  });
  page.on('websocket', (ws) => ws.on('framesent', (f) => {
    if (typeof f.payload !== 'string') return;
    const m = JSON.parse(f.payload);
    if (m.t === 'rep') reports.push(m);
    if (m.t === 'retry') retries.push(m);
  }));
  await page.goto(host.url);
  await waitFor(async () => (await hook(page)).drawn >= 10, 'the picture', 20000);
});
after(async () => {
  await phone?.close();
  if (host) { if (process.exitCode) console.error(host.log()); await host.dispose(); }
});

const capLine = /映像を (\d+) fps に/;

test('reports its queue delay a few times a second', async () => {
  const n = reports.length;
  await waitFor(() => reports.length >= n + 4, 'four reports');
  for (const r of reports) assert.ok(Number.isInteger(r.qd) && r.qd >= 0, JSON.stringify(r));
});

test('at 25 ms per picture the host lowers the frame rate and the picture goes on', async () => {
  await page.evaluate(() => { window.__costMs = 25; });
  await waitFor(() => capLine.test(host.log()), 'a frame-rate cap in the host log', 30000);
  assert.ok(Number(host.log().match(capLine)[1]) < 60);
  assert.ok(reports.some((r) => r.qd > 100), 'a report of the delay');
  const t0 = await hook(page);
  await waitFor(async () => (await hook(page)).drawn >= t0.drawn + 30, 'pictures while slowed', 20000);
  // Still current: the crosshair follows a tap.
  const r = await pictureRect(page);
  for (const [fx, fy] of [[0.3, 0.3], [0.7, 0.6]]) {
    await page.touchscreen.tap(r.x + fx * r.w, r.y + fy * r.h);
    await waitFor(async () => {
      const y = await findYellow(page);
      return y && Math.abs(y.x - fx * y.w) <= 8 && Math.abs(y.y - fy * y.h) <= 8;
    }, `the crosshair at ${fx},${fy}`, 15000);
  }
  await page.evaluate(() => { window.__costMs = 0; });
  assert.deepEqual(phone.errors, []);
});

test('far behind in its decoder it keeps drawing, asks for a key frame and jumps to it', async () => {
  const t0 = await hook(page);
  const asked = retries.length;
  // Ten pictures a second at most, whatever the host sends: a backlog builds.
  await page.evaluate(() => { window.__costMs = 100; });
  const t1 = await waitFor(async () => { const t = await hook(page); return retries.length > asked && t.jumps > t0.jumps && t.dropped > t0.dropped && t; },
    'a key frame asked for and the queue before it dropped', 30000);
  await waitFor(async () => (await hook(page)).drawn >= t1.drawn + 10, 'pictures after the jump', 20000);
  await page.evaluate(() => { window.__costMs = 0; });
  assert.deepEqual(phone.errors, []);
});
