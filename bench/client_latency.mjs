#!/usr/bin/env node
// Input-to-picture delay as the phone page measures it: from sending an input
// message to drawing the first frame whose packet carries that input's id.
// Runs the real host (test pattern) and the page in headless Chromium on
// loopback, taps the picture a few hundred times and prints p50/p95.
//
//   node bench/client_latency.mjs [--inputs 400] [--gap 40] [--fps 60]
// (tests/e2e must have its npm packages installed; the host must be built.)
import { Host, launchPhone, openPage, hook, waitFor, pictureRect, sleep } from '../tests/e2e/support.mjs';

const arg = (name, dflt) => {
  const i = process.argv.indexOf('--' + name);
  return i > 0 ? Number(process.argv[i + 1]) : dflt;
};
const inputs = arg('inputs', 400), gap = arg('gap', 40), fps = arg('fps', 60);

const pct = (s, p) => s[Math.min(s.length - 1, Math.max(0, Math.ceil(p / 100 * s.length) - 1))];

const host = new Host({ extraArgs: ['--fps', String(fps)] });
let phone;
try {
  await host.start();
  phone = await launchPhone();
  const page = await openPage(phone, host);
  await waitFor(async () => (await hook(page)).drawn >= 30, 'the picture', 20000);
  await sleep(1000);
  const start = (await hook(page)).delays.length;
  const r = await pictureRect(page);
  // Each tap is two input messages (press and release).
  for (let i = 0; i < inputs / 2; i++) {
    const fx = 0.1 + 0.8 * ((i * 37) % 100) / 100, fy = 0.15 + 0.7 * ((i * 61) % 100) / 100;
    await page.touchscreen.tap(r.x + fx * r.w, r.y + fy * r.h);
    await sleep(gap);
  }
  await sleep(1000);
  const t = await hook(page);
  const d = t.delays.slice(start).sort((a, b) => a - b);
  if (!d.length) throw new Error('no delays measured');
  const mean = d.reduce((s, v) => s + v, 0) / d.length;
  const r1 = (v) => Math.round(v * 10) / 10;
  console.log(JSON.stringify({
    inputs, measured: d.length, fps, p50_ms: r1(pct(d, 50)), p95_ms: r1(pct(d, 95)), mean_ms: r1(mean),
    min_ms: r1(d[0]), max_ms: r1(d.at(-1)), decode_ms: t.decodeMs, rtt_ms: t.rtt === null ? null : r1(t.rtt),
    frames_drawn: t.drawn, frames_dropped: t.dropped,
  }));
} finally {
  await phone?.close();
  await host.dispose();
}
