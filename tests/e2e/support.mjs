// Shared helpers for the browser tests: the real host binary on a free
// loopback port, and Debian's Chromium with a phone's screen and touch.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, '../..');
export const hostBin = process.env.TOLVANE_HOST_BIN || path.join(repo, 'build/tolvane-host');
export const clientDir = path.join(repo, 'client');

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

// Polls fn until it returns something truthy; throws with `what` after the time-out.
export async function waitFor(fn, what, timeoutMs = 30000, everyMs = 100) {
  const end = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try { last = await fn(); } catch (e) { last = undefined; }
    if (last) return last;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await sleep(everyMs);
  }
}

function tcpOpen(port) {
  return new Promise((resolve) => {
    const c = net.connect(port, '127.0.0.1');
    c.once('connect', () => { c.destroy(); resolve(true); });
    c.once('error', () => resolve(false));
  });
}

// The host in test-pattern mode, with its own data folder and input journal.
// `bare` starts it with only the options a person would type (no journal, no
// client folder), `env` adds to its environment (DISPLAY, HOME), `signal`
// names a rendezvous server (ws URL) for the internet link.
export class Host {
  constructor({ port, token = 'e2e' + Math.random().toString(16).slice(2), extraArgs = [], testPattern = true, tlsPort = 0, bare = false, env = {}, signal = '' } = {}) {
    this.port = port;
    this.signal = signal;
    this.bare = bare;
    this.env = env;
    this.tlsPort = tlsPort;
    this.token = token;
    this.extraArgs = extraArgs;
    this.testPattern = testPattern;
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-e2e-'));
    this.inputLog = path.join(this.dir, 'input.jsonl');
    this.logPath = path.join(this.dir, 'host.log');
    this.proc = null;
  }

  get url() { return `http://127.0.0.1:${this.port}/?t=${this.token}`; }
  get secureUrl() { return `https://127.0.0.1:${this.tlsPort}/?t=${this.token}`; }
  get caPath() { return path.join(this.dir, 'cert', 'ca.pem'); }

  async start() {
    if (!this.port) this.port = await freePort();
    if (!fs.existsSync(hostBin)) throw new Error('host binary missing: ' + hostBin + ' (build it first)');
    const args = [
      ...(this.testPattern ? ['--test-pattern'] : []),
      ...(this.tlsPort ? ['--tls-port', String(this.tlsPort)] : ['--no-tls']),
      ...(this.signal ? ['--signal', this.signal, '--stun', 'stun:127.0.0.1:3478'] : ['--no-signal']), '--port', String(this.port), '--token', this.token, '--data-dir', this.dir,
      ...(this.bare ? [] : ['--no-prompt', '--input-log', this.inputLog, '--client-dir', clientDir]), ...this.extraArgs,
    ];
    const out = fs.openSync(this.logPath, 'a');
    this.proc = spawn(hostBin, args, { stdio: ['ignore', out, out], env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent', ...this.env } });
    fs.closeSync(out);
    const proc = this.proc;
    let exited = false;
    proc.once('exit', () => { exited = true; });
    // waitFor swallows what its probe throws, so an early exit ends the wait by returning.
    await waitFor(async () => exited || ((await tcpOpen(this.port)) && (!this.tlsPort || await tcpOpen(this.tlsPort))),
      'the host to listen on ' + this.port, 60000).catch((e) => { throw new Error(e.message + '\n' + this.log()); });
    if (exited) { this.proc = null; throw new Error('host exited at start:\n' + this.log()); }
  }

  async stop() {
    const proc = this.proc;
    if (!proc) return;
    this.proc = null;
    if (proc.exitCode !== null || proc.signalCode !== null) return;
    const gone = new Promise((r) => proc.once('exit', r));
    proc.kill('SIGTERM');
    const t = setTimeout(() => proc.kill('SIGKILL'), 5000);
    await gone;
    clearTimeout(t);
  }

  log() { try { return fs.readFileSync(this.logPath, 'utf8'); } catch { return ''; } }

  // Input journal lines as objects.
  inputs() {
    let text = '';
    try { text = fs.readFileSync(this.inputLog, 'utf8'); } catch { return []; }
    return text.split('\n').filter(Boolean).map((l) => JSON.parse(l));
  }

  statsLines() {
    let text = '';
    try { text = fs.readFileSync(path.join(this.dir, 'latency_log.jsonl'), 'utf8'); } catch { return []; }
    return text.split('\n').filter(Boolean).map((l) => JSON.parse(l));
  }

  async dispose() {
    await this.stop();
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

export const LAUNCH_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// A phone-shaped browser: 390x844 CSS pixels, touch, device scale 3.
// With `desktop`, a plain desktop window with a mouse instead.
// `env` replaces the browser's environment (e.g. a HOME with its own certificate store).
export async function launchPhone({ extraArgs = [], viewport = { width: 390, height: 844 }, desktop = false, ignoreHTTPSErrors = false, env } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-chromium-'));
  const device = desktop
    ? { viewport: { width: 1280, height: 800 }, hasTouch: false, isMobile: false, deviceScaleFactor: 1 }
    : { viewport, hasTouch: true, isMobile: true, deviceScaleFactor: 3 };
  const context = await chromium.launchPersistentContext(dir, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: [...LAUNCH_ARGS, ...extraArgs],
    ignoreHTTPSErrors,
    ...(env ? { env } : {}),
    ...device,
  });
  const errors = [];
  return {
    context, errors,
    async page() {
      const p = context.pages()[0] && context.pages()[0].url() === 'about:blank' ? context.pages()[0] : await context.newPage();
      p.on('pageerror', (e) => errors.push(e.message));
      return p;
    },
    async close() {
      await context.close().catch(() => {});
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// A home folder whose NSS database (what Chromium on Linux takes its own trust
// anchors from) trusts exactly the given CA certificates (PEM files) for web sites.
export function homeTrusting(caFiles = []) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-home-'));
  const db = path.join(home, '.pki', 'nssdb');
  fs.mkdirSync(db, { recursive: true });
  const certutil = (...args) => execFileSync('certutil', ['-d', 'sql:' + db, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  certutil('-N', '--empty-password');
  caFiles.forEach((f, i) => certutil('-A', '-t', 'C,,', '-n', 'tolvane-ca-' + i, '-i', f));
  return { home, env: { ...process.env, HOME: home }, dispose: () => fs.rmSync(home, { recursive: true, force: true }) };
}

// The page's test hook, copied out of the page.
export const hook = (page) => page.evaluate(() => {
  const t = window.__tolvane;
  return t ? JSON.parse(JSON.stringify(t)) : null;
});

export async function openPage(phone, host, extraQuery = '') {
  const page = await phone.page();
  await page.goto(host.url + extraQuery);
  await waitFor(async () => { const t = await hook(page); return t && t.hello && t.state !== 'connecting'; }, 'the hello message');
  return page;
}

// Where the picture is on the screen (CSS pixels) and its size in video pixels.
export const pictureRect = (page) => page.evaluate(() => {
  const c = document.getElementById('screen');
  const r = c.getBoundingClientRect();
  return { x: r.left, y: r.top, w: r.width, h: r.height, vw: c.width, vh: c.height };
});

// CDP touch events, for gestures Playwright's touchscreen does not offer (drags, two fingers).
export class Touch {
  constructor(cdp) { this.cdp = cdp; }
  static async for(page) { return new Touch(await page.context().newCDPSession(page)); }
  send(type, points) {
    return this.cdp.send('Input.dispatchTouchEvent', {
      type, touchPoints: points.map(([x, y], i) => ({ x, y, id: i, radiusX: 4, radiusY: 4, force: 1 })),
    });
  }
  async drag(points, stepMs = 20) {
    await this.send('touchStart', [points[0]]);
    for (const p of points.slice(1)) { await sleep(stepMs); await this.send('touchMove', [p]); }
    await sleep(stepMs);
    await this.send('touchEnd', []);
  }
}

// Reads canvas pixels (RGB) of the shown video frame at video coordinates.
export const pixels = (page, x, y, w, h) => page.evaluate(([x, y, w, h]) => {
  const c = document.getElementById('screen');
  const d = c.getContext('2d').getImageData(x, y, w, h).data;
  const out = [];
  for (let i = 0; i < d.length; i += 4) out.push([d[i], d[i + 1], d[i + 2]]);
  return out;
}, [x, y, w, h]);

// Centroid of the yellow crosshair's pixels in the shown frame (video pixels), or null.
export const findYellow = (page) => page.evaluate(() => {
  const c = document.getElementById('screen');
  if (!c.width) return null;
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let sx = 0, sy = 0, n = 0;
  for (let i = 0, p = 0; i < d.length; i += 4, p++) {
    if (d[i] > 180 && d[i + 1] > 180 && d[i + 2] < 100) { sx += p % c.width; sy += Math.floor(p / c.width); n++; }
  }
  return n ? { x: sx / n, y: sy / n, n, w: c.width, h: c.height } : null;
});

// Mean RGB of a square patch of the shown frame.
export const meanColour = (page, cx, cy, size = 8) => page.evaluate(([cx, cy, size]) => {
  const d = document.getElementById('screen').getContext('2d').getImageData(cx - size / 2, cy - size / 2, size, size).data;
  const m = [0, 0, 0];
  for (let i = 0; i < d.length; i += 4) { m[0] += d[i]; m[1] += d[i + 1]; m[2] += d[i + 2]; }
  return m.map((v) => v / (d.length / 4));
}, [cx, cy, size]);
