// The real desktop as someone starting the host for the first time gets it:
// a private X server with a window manager and a terminal, the host with only
// the options a person types, and the phone page in Chromium. The picture is
// checked by its pixels, the pointer and the typed text on the X side.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Host, launchPhone, hook, waitFor, pictureRect, meanColour, sleep } from './support.mjs';

const W = 1280, H = 720;
const TERM_BG = [0x20, 0x60, 0xc0];
const TERM_TITLE = 'tolvane-typing';

// One private X session and everything started on it; stop() ends all of it.
class Desktop {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-desk-'));
    this.procs = [];
    this.display = null;
    this.typed = path.join(this.dir, 'typed.txt');
  }

  // Each child leads its own process group so that a stop reaches its helpers too.
  spawn(name, cmd, args, { env = {}, extraFd = false } = {}) {
    const log = fs.openSync(path.join(this.dir, name + '.log'), 'a');
    const p = spawn(cmd, args, {
      detached: true,
      stdio: ['ignore', log, log, ...(extraFd ? ['pipe'] : [])],
      env: { ...process.env, ...(this.display ? { DISPLAY: this.display } : {}), ...env },
    });
    fs.closeSync(log);
    p.name = name;
    p.on('error', () => {});
    this.procs.push(p);
    return p;
  }

  x(cmd, ...args) {
    return execFileSync(cmd, args, { env: { ...process.env, DISPLAY: this.display }, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], timeout: 10000 }).trim();
  }

  async start() {
    // The server picks a free display itself and tells us its number.
    const xvfb = this.spawn('xvfb', 'Xvfb', ['-displayfd', '3', '-screen', '0', `${W}x${H}x24`, '-noreset', '+extension', 'RANDR', '-nolisten', 'tcp'], { extraFd: true });
    let out = '';
    xvfb.stdio[3].on('data', (d) => { out += d; });
    await waitFor(() => { if (xvfb.exitCode !== null) throw new Error('Xvfb exited'); return /\d+\n/.test(out); }, 'Xvfb to pick a display', 15000)
      .catch((e) => { throw new Error(e.message + '\n' + this.logs()); });
    this.display = ':' + out.trim();
    await waitFor(() => this.x('xdpyinfo').includes(`${W}x${H} pixels`), 'the X server to answer');

    this.spawn('wm', 'openbox', ['--sm-disable']);
    await waitFor(() => /window id #/.test(this.x('xprop', '-root', '_NET_SUPPORTING_WM_CHECK')), 'the window manager', 15000);

    // `cat` gets the terminal's lines as the tty hands them over, i.e. after Enter.
    this.spawn('xterm', 'xterm', ['-u8', '-fa', 'DejaVu Sans Mono', '-fs', '11', '-bg', rgbHex(TERM_BG), '-fg', 'white',
      '-T', TERM_TITLE, '-geometry', '70x16+560+260', '-e', 'sh', '-c', `exec cat > '${this.typed}'`], { env: { LC_ALL: 'C.UTF-8' } });
    this.term = await waitFor(() => this.x('xdotool', 'search', '--name', TERM_TITLE).split('\n')[0], 'the terminal window', 15000);
    await waitFor(() => fs.existsSync(this.typed), 'the terminal to run cat');
    // Windows opened before the host are what the first picture must show.
    await waitFor(() => this.x('xdotool', 'getwindowfocus') === this.term, 'the terminal to take the focus');
  }

  // Client area of the terminal in screen pixels.
  termRect() {
    const info = this.x('xwininfo', '-id', this.term);
    const n = (k) => Number(info.match(new RegExp(k + ':\\s+(-?\\d+)'))[1]);
    return { x: n('Absolute upper-left X'), y: n('Absolute upper-left Y'), w: n('Width'), h: n('Height') };
  }

  pointer() {
    const m = this.x('xdotool', 'getmouselocation').match(/x:(\d+) y:(\d+)/);
    return { x: Number(m[1]), y: Number(m[2]) };
  }

  logs() {
    let text = '';
    for (const f of fs.readdirSync(this.dir).filter((f) => f.endsWith('.log'))) text += `--- ${f} ---\n` + fs.readFileSync(path.join(this.dir, f), 'utf8');
    return text;
  }

  async stop() {
    for (const p of this.procs.reverse()) {
      if (p.exitCode !== null || p.signalCode !== null || !p.pid) continue;
      const gone = new Promise((r) => p.once('exit', r));
      try { process.kill(-p.pid, 'SIGTERM'); } catch { continue; }
      const t = setTimeout(() => { try { process.kill(-p.pid, 'SIGKILL'); } catch {} }, 3000);
      await gone;
      clearTimeout(t);
    }
  }

  alive() { return this.procs.filter((p) => { try { process.kill(p.pid, 0); return true; } catch { return false; } }).map((p) => p.name); }
}

const rgbHex = (c) => '#' + c.map((v) => v.toString(16).padStart(2, '0')).join('');
const close = (a, b, tol) => a.every((v, i) => Math.abs(v - b[i]) <= tol);

// X session, host on it, phone on the page; all of it ends with the test.
async function withDesktop(fn) {
  const desk = new Desktop();
  let host, phone;
  try {
    await desk.start();
    host = new Host({ bare: true, testPattern: false, env: { DISPLAY: desk.display, HOME: desk.dir } });
    await host.start();
    phone = await launchPhone();
    const page = await phone.page();
    await page.goto(host.url);
    await waitFor(async () => (await hook(page))?.drawn >= 1, 'the first picture of the desktop', 20000);
    // The page asks for its own shape ("auto": a zoom on a desktop with a
    // screen); these checks are about the whole screen.
    await page.click('#bView');
    await page.click('#viewChoices button:text-is("Whole screen")');
    await waitFor(async () => {
      const r = await pictureRect(page);
      return (await hook(page)).view?.mode === 'fit' && Math.abs(r.vw / r.vh - W / H) < 0.01;
    }, 'the whole screen', 20000);
    await fn({ desk, host, phone, page });
    assert.deepEqual(phone.errors, []);
  } catch (e) {
    e.message += '\n--- host log ---\n' + (host ? host.log() : '') + '\n' + desk.logs();
    throw e;
  } finally {
    await phone?.close();
    await host?.dispose();
    await desk.stop();
    const left = desk.alive();
    fs.rmSync(desk.dir, { recursive: true, force: true });
    assert.deepEqual(left, [], 'everything started for the test has ended');
  }
}

// Video pixels per screen pixel.
const scaleOf = (r) => ({ sx: r.vw / W, sy: r.vh / H });

// Waits until the picture around screen point (x, y) has the given colour.
async function colourAt(page, x, y, want, what, tol = 24) {
  let last;
  try {
    await waitFor(async () => {
      const { sx, sy } = scaleOf(await pictureRect(page));
      last = await meanColour(page, Math.round(x * sx), Math.round(y * sy), 6);
      return close(last, want, tol);
    }, what, 30000);
  } catch (e) { e.message += ` (last ${last?.map(Math.round)}, want ${want})`; throw e; }
}

// Points inside r, away from the pointer (which is drawn into the picture) by at least `gap`.
function samplesIn(r, pointer, gap = 40) {
  const pts = [];
  for (const fx of [0.2, 0.5, 0.8]) for (const fy of [0.3, 0.6, 0.85]) pts.push({ x: Math.round(r.x + fx * r.w), y: Math.round(r.y + fy * r.h) });
  return pts.filter((p) => Math.hypot(p.x - pointer.x, p.y - pointer.y) >= gap);
}

test('the picture is the X screen: its shape, the terminal, and what changes on it', () => withDesktop(async ({ desk, page }) => {
  const r = await pictureRect(page);
  assert.ok(Math.abs(r.vw / r.vh - W / H) < 0.01, `video ${r.vw}x${r.vh} keeps the screen's shape`);
  assert.ok(Math.abs(r.w / r.h - W / H) < 0.02, `shown ${r.w}x${r.h}`);
  assert.equal((await hook(page)).state, 'live');
  const term = desk.termRect();
  const pointer = desk.pointer();
  for (const p of samplesIn(term, pointer)) await colourAt(page, p.x, p.y, TERM_BG, `the terminal's colour at ${p.x},${p.y}`);
  // The bare root window around it is black.
  for (const p of samplesIn({ x: 40, y: 40, w: 400, h: 160 }, pointer)) await colourAt(page, p.x, p.y, [0, 0, 0], `the desktop at ${p.x},${p.y}`);

  // A still screen sends nothing new; moving the window must reach the picture.
  desk.x('xdotool', 'windowmove', desk.term, 40, 40);
  await waitFor(() => desk.termRect().x < 100, 'the window to move');
  const moved = desk.termRect();
  for (const p of samplesIn(moved, pointer)) await colourAt(page, p.x, p.y, TERM_BG, `the moved terminal at ${p.x},${p.y}`);
  for (const p of samplesIn({ x: 900, y: 420, w: 300, h: 200 }, pointer)) await colourAt(page, p.x, p.y, [0, 0, 0], `the place it left at ${p.x},${p.y}`);
}));

test('a tap puts the X pointer at the tapped place, and the picture draws it there', () => withDesktop(async ({ desk, page }) => {
  const term = desk.termRect();
  const inTerm = (x, y) => x > term.x - 40 && x < term.x + term.w + 40 && y > term.y - 60 && y < term.y + term.h + 40;
  for (const [fx, fy] of [[0.25, 0.3], [0.85, 0.15], [0.1, 0.85], [0.5, 0.05], [0.97, 0.95]]) {
    const want = { x: fx * W, y: fy * H };
    const r = await pictureRect(page);
    await page.touchscreen.tap(r.x + fx * r.w, r.y + fy * r.h);
    let at;
    await waitFor(() => { at = desk.pointer(); return Math.abs(at.x - want.x) <= 3 && Math.abs(at.y - want.y) <= 3; },
      `the pointer at ${want.x},${want.y}`, 30000).catch((e) => { e.message += ` (it is at ${JSON.stringify(at)})`; throw e; });
    if (inTerm(at.x, at.y) || at.x > W - 20 || at.y > H - 24) continue;
    // On the black desktop the arrow shows as light pixels just below and right of its tip.
    const { sx, sy } = scaleOf(r);
    await waitFor(() => page.evaluate(([x, y, w, h]) => {
      const d = document.getElementById('screen').getContext('2d').getImageData(x, y, w, h).data;
      let light = 0;
      for (let i = 0; i < d.length; i += 4) if (d[i] + d[i + 1] + d[i + 2] > 450) light++;
      return light >= 6;
    }, [Math.round(at.x * sx), Math.round(at.y * sy), Math.max(4, Math.round(12 * sx)), Math.max(4, Math.round(18 * sy))]),
    `the arrow drawn at ${at.x},${at.y}`, 30000);
  }
}));

test('text typed on the phone keyboard reaches the focused X application intact', () => withDesktop(async ({ desk, page }) => {
  const term = desk.termRect();
  const r = await pictureRect(page);
  const { sx, sy } = scaleOf(r);
  const k = r.w / r.vw;
  // Tap into the terminal first, as one would.
  await page.touchscreen.tap(r.x + (term.x + term.w / 2) * sx * k, r.y + (term.y + term.h / 2) * sy * k);
  await waitFor(() => desk.x('xdotool', 'getwindowfocus') === desk.term, 'the terminal to have the focus');
  await page.tap('#bKbd');
  await waitFor(() => page.evaluate(() => document.activeElement.id === 'kb'), 'the keyboard field to take focus');
  const read = () => fs.readFileSync(desk.typed, 'utf8');

  await page.keyboard.type('héllo 日本語');
  await page.keyboard.press('Enter');
  await waitFor(() => read().endsWith('\n'), 'the first line in the terminal', 30000)
    .catch((e) => { e.message += ` (file holds ${JSON.stringify(read())})`; throw e; });
  assert.equal(read(), 'héllo 日本語\n');

  // Named keys too: Backspace edits the line before it is handed over.
  await page.keyboard.type('Ab!x');
  await page.keyboard.press('Backspace');
  await page.keyboard.type('ç');
  await page.keyboard.press('Enter');
  await waitFor(() => read().split('\n').length > 2, 'the second line', 30000)
    .catch((e) => { e.message += ` (file holds ${JSON.stringify(read())})`; throw e; });
  assert.equal(read(), 'héllo 日本語\nAb!ç\n');

  if (process.env.TOLVANE_DESKTOP_SHOT) await page.screenshot({ path: process.env.TOLVANE_DESKTOP_SHOT });
}));
