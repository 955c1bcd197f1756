#!/usr/bin/env node
// Input-to-picture delay as the phone page measures it (from sending an input
// message to drawing the first frame whose packet carries that input's id),
// and how steadily pictures are drawn while packets arrive: the largest gap
// between two drawn pictures with at least one packet arriving in between.
// Runs the host (test pattern) and the page in headless Chromium on loopback
// and taps the picture a few hundred times.
//
//   node bench/client_latency.mjs [--inputs 400] [--gap 40] [--fps 60]
//        [--hog 0,1] [--before DIR] [--rounds 1]
// --hog: runs with that many `yes > /dev/null` processes keeping cores busy
// (a list runs each). --before: also runs an older tree (DIR/build/tolvane-host
// with its DIR/client), interleaved with this one, for a comparison in one go.
// (tests/e2e must have its npm packages installed; the host must be built.)
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const argv = process.argv;
const opt = (name, dflt) => {
  const i = argv.indexOf('--' + name);
  return i > 0 ? argv[i + 1] : dflt;
};
const inputs = Number(opt('inputs', 400)), gap = Number(opt('gap', 40)), fps = Number(opt('fps', 60));
const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '..');

const pct = (s, p) => s.length ? s[Math.min(s.length - 1, Math.max(0, Math.ceil(p / 100 * s.length) - 1))] : null;
const r1 = (v) => v === null || v === undefined ? null : Math.round(v * 10) / 10;

// Records, in the page, when binary messages arrive and when pictures are
// drawn, without relying on the page's own hook (older pages lack the fields).
function instrument() {
  const b = window.__bench = { arrivals: [], draws: [] };
  const Orig = window.WebSocket;
  window.WebSocket = class extends Orig {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (e) => { if (typeof e.data !== 'string') b.arrivals.push(performance.now()); });
    }
  };
  const draw = CanvasRenderingContext2D.prototype.drawImage;
  CanvasRenderingContext2D.prototype.drawImage = function (...args) {
    if (this.canvas && this.canvas.id === 'screen') b.draws.push(performance.now());
    return draw.apply(this, args);
  };
}

// Largest interval between consecutive draws (and from the start to the
// first) during which at least one packet arrived, within [from, to].
export function drawGaps(draws, arrivals, from, to) {
  const d = draws.filter((t) => t >= from && t <= to);
  const marks = [from, ...d];
  let max = 0, over250 = 0, ai = 0;
  const arr = arrivals.filter((t) => t >= from && t <= to);
  for (let i = 1; i < marks.length; i++) {
    while (ai < arr.length && arr[ai] <= marks[i - 1]) ai++;
    const arrived = ai < arr.length && arr[ai] < marks[i];
    if (!arrived) continue;
    const g = marks[i] - marks[i - 1];
    if (g > max) max = g;
    if (g > 250) over250++;
  }
  return { max, over250, drawn: d.length, arrived: arr.length };
}

async function single() {
  const { Host, launchPhone, openPage, hook, waitFor, pictureRect, sleep } = await import('../tests/e2e/support.mjs');
  // Bare: the host finds the page beside its own executable, so an older tree runs with its own page.
  const host = new Host({ bare: true, extraArgs: ['--fps', String(fps)] });
  let phone;
  try {
    await host.start();
    phone = await launchPhone();
    const page = await phone.page();
    await page.addInitScript(instrument);
    await openPage(phone, host);
    await waitFor(async () => (await hook(page)).drawn >= 30, 'the picture', 20000);
    await sleep(1000);
    const t0 = await hook(page);
    const from = await page.evaluate(() => performance.now());
    const r = await pictureRect(page);
    // Each tap is two input messages (press and release).
    for (let i = 0; i < inputs / 2; i++) {
      const fx = 0.1 + 0.8 * ((i * 37) % 100) / 100, fy = 0.15 + 0.7 * ((i * 61) % 100) / 100;
      await page.touchscreen.tap(r.x + fx * r.w, r.y + fy * r.h);
      await sleep(gap);
    }
    await sleep(1000);
    const to = await page.evaluate(() => performance.now());
    const t = await hook(page);
    const b = await page.evaluate(() => window.__bench);
    const d = t.delays.slice(t0.delays.length).sort((a, b) => a - b);
    if (!d.length) throw new Error('no delays measured');
    const g = drawGaps(b.draws, b.arrivals, from, to);
    const secs = (to - from) / 1000;
    return {
      measured: d.length, p50_ms: r1(pct(d, 50)), p95_ms: r1(pct(d, 95)), max_ms: r1(d.at(-1)),
      max_gap_ms: r1(g.max), gaps_over_250: g.over250,
      drawn_fps: r1(g.drawn / secs), arrived_fps: r1(g.arrived / secs),
      dropped: t.dropped - t0.dropped, decode_ms: t.decodeMs, rtt_ms: r1(t.rtt),
      // The host's frame-rate caps in order (0: lifted), from its log.
      fps_caps: [...host.log().matchAll(/映像を (\d+) fps に|(元に戻します)/g)].map((m) => (m[1] ? Number(m[1]) : 0)),
    };
  } finally {
    await phone?.close();
    await host.dispose();
  }
}

// One measurement in a fresh process, so that each tree's host binary is used.
function child(hostBin) {
  return new Promise((resolve, reject) => {
    const p = spawn(process.execPath, [fileURLToPath(import.meta.url), '--single', '--inputs', String(inputs), '--gap', String(gap), '--fps', String(fps)],
      { env: { ...process.env, TOLVANE_HOST_BIN: hostBin }, stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    p.stdout.on('data', (c) => { out += c; });
    p.on('exit', (code) => code === 0 ? resolve(JSON.parse(out.trim().split('\n').at(-1))) : reject(new Error('run failed: ' + code)));
  });
}

function startHogs(n) {
  const hogs = [];
  for (let i = 0; i < n; i++) hogs.push(spawn('yes', [], { stdio: ['ignore', 'ignore', 'ignore'] }));
  return () => { for (const h of hogs) h.kill('SIGKILL'); };
}

if (argv.includes('--single')) {
  console.log(JSON.stringify(await single()));
} else {
  const hogs = String(opt('hog', '0')).split(',').map(Number);
  const rounds = Number(opt('rounds', 1));
  const before = opt('before', null);
  const trees = [...(before ? [['before', path.resolve(before)]] : []), ['after', repo]];
  const all = [];
  for (let round = 0; round < rounds; round++) {
    for (const h of hogs) {
      for (const [label, dir] of trees) {
        const stop = startHogs(h);
        try {
          const res = await child(process.env.TOLVANE_HOST_BIN && label === 'after' ? process.env.TOLVANE_HOST_BIN : path.join(dir, 'build/tolvane-host'));
          all.push({ tree: label, hog: h, ...res });
          console.log(JSON.stringify({ tree: label, hog: h, inputs, fps, ...res }));
        } catch (e) {
          // One starved run (no picture in time) must not cost the others.
          console.log(JSON.stringify({ tree: label, hog: h, error: e.message }));
        } finally { stop(); }
      }
    }
  }
  // Medians over the rounds, and the worst gap, per tree and hog count.
  const med = (v) => { const s = v.slice().sort((a, b) => a - b); return s.length ? s[Math.floor((s.length - 1) / 2)] : null; };
  for (const h of hogs) {
    for (const [label] of trees) {
      const rs = all.filter((r) => r.tree === label && r.hog === h);
      if (!rs.length) continue;
      const m = (k) => med(rs.map((r) => r[k]));
      console.log(JSON.stringify({ summary: label, hog: h, runs: rs.length, p50_ms: m('p50_ms'), p95_ms: m('p95_ms'),
        max_gap_ms: m('max_gap_ms'), worst_gap_ms: Math.max(...rs.map((r) => r.max_gap_ms)),
        gaps_over_250: m('gaps_over_250'), dropped: m('dropped'), drawn_fps: m('drawn_fps') }));
    }
  }
}
