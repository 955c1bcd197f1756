// Helpers for the internet link's browser tests: the connect key's codes
// computed outside the browser, a scripted rendezvous server that also hands
// out the page (so the page's "/ws" is this server), and a computer played by
// a second browser page with a real RTCPeerConnection and the computer's four
// channels. Everything listens on 127.0.0.1 only.
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { clientDir, freePort, launchPhone, repo, waitFor } from './support.mjs';

const { WebSocketServer } = createRequire(import.meta.url)('ws');

// Chromium offers no loopback candidates without the first switch, and with
// the second it writes addresses instead of mDNS names, which nothing in a
// private network namespace could resolve.
export const RTC_ARGS = ['--allow-loopback-in-peer-connection', '--disable-features=WebRtcHideLocalIpsWithMdns'];

// A phone for peer connections in the namespace. Without camera and
// microphone permission Chromium gathers only on the interface of the
// default route, and a namespace with only loopback has none.
export async function launchRtcPhone() {
  const phone = await launchPhone({ extraArgs: RTC_ARGS });
  await phone.context.grantPermissions(['camera', 'microphone']);
  return phone;
}

export const RELAY_TEXT = 'A direct connection was not possible on this network (a relay server is required).';

export const sha256hex = (s) => crypto.createHash('sha256').update(Buffer.from(s, 'utf8')).digest('hex');
export const macFor = (key, s) => crypto.createHmac('sha256', Buffer.from(key, 'utf8')).update(Buffer.from(s, 'utf8')).digest('hex');
export const newKey = () => crypto.randomBytes(32).toString('hex');
export const roomFor = (key) => sha256hex('rid:' + key);

// The rendezvous server's phone side, scripted by the test. Every text a
// page sends is kept in `got` as { sock, msg }; `onJoin` decides what a join
// gets (by default nothing: the test answers).
export class ScriptedSignal {
  constructor() {
    this.got = [];
    this.sockets = [];
    this.requests = [];
    this.onJoin = null;
    this.server = null;
    this.wss = null;
  }

  async start(port = 0) {
    this.server = http.createServer((req, res) => {
      this.requests.push(req.url);
      const name = new URL(req.url, 'http://x').pathname.slice(1) || 'index.html';
      if (name === 'blank') { res.writeHead(200, { 'Content-Type': 'text/html' }); res.end('<!doctype html><title>blank</title>'); return; }
      const file = path.join(clientDir, path.basename(name));
      if (name.includes('/') || !fs.existsSync(file)) { res.writeHead(404); res.end(); return; }
      res.writeHead(200, { 'Content-Type': name.endsWith('.js') ? 'text/javascript' : 'text/html' });
      res.end(fs.readFileSync(file));
    });
    this.wss = new WebSocketServer({ noServer: true });
    this.server.on('upgrade', (req, sock, head) => {
      this.requests.push(req.url);
      if (new URL(req.url, 'http://x').pathname !== '/ws') { sock.destroy(); return; }
      this.wss.handleUpgrade(req, sock, head, (ws) => this.accept(ws));
    });
    await new Promise((r) => this.server.listen(port, '127.0.0.1', r));
    this.port = this.server.address().port;
  }

  accept(ws) {
    this.sockets.push(ws);
    ws.on('message', (data, binary) => {
      if (binary) return;
      let msg;
      try { msg = JSON.parse(String(data)); } catch { return; }
      this.got.push({ sock: ws, msg });
      if (msg.t === 'ping') this.send(ws, { t: 'pong' });
      if (msg.t === 'join' && this.onJoin) this.onJoin(ws, msg);
    });
  }

  link(key) { return `http://127.0.0.1:${this.port}/#k=${key}`; }
  get blank() { return `http://127.0.0.1:${this.port}/blank`; }

  send(ws, obj) { if (ws.readyState === 1) ws.send(typeof obj === 'string' ? obj : JSON.stringify(obj)); }
  of(kind) { return this.got.filter((g) => g.msg.t === kind); }
  sigs(kind) { return this.got.filter((g) => g.msg.t === 'sig' && g.msg.d && g.msg.d.kind === kind); }
  get open() { return this.sockets.filter((s) => s.readyState === 1); }

  // Every socket cut at once, as when the server process goes away.
  dropAll() { for (const s of this.sockets) s.terminate(); }

  async stop() {
    for (const s of this.sockets) s.terminate();
    await new Promise((r) => { this.wss.close(); this.server.close(r); this.server.closeAllConnections?.(); });
  }
}

// The computer, in a browser page of its own: one RTCPeerConnection with the
// channels ctl, video, file and audio; it greets on ctl and answers pings.
// Journal messages ("conn") are kept, and acknowledged unless `ackJournal`
// is turned off; with `mute` on it answers nothing (a computer gone quiet).
export class FakeHost {
  constructor(page) { this.page = page; this.candidates = []; }

  static async open(context, signal) {
    const page = await context.newPage();
    await page.goto(signal.blank);
    const host = new FakeHost(page);
    await page.exposeFunction('hostCandidate', (c) => host.candidates.push(c));
    await page.evaluate(() => {
      const H = window.H = { got: [], ackJournal: true, mute: false, pc: null, ch: {} };
      H.start = async () => {
        if (H.pc) H.pc.close();
        const pc = H.pc = new RTCPeerConnection();
        pc.onicecandidate = (e) => { if (e.candidate && e.candidate.candidate) window.hostCandidate({ cand: e.candidate.candidate, mid: e.candidate.sdpMid || '', idx: e.candidate.sdpMLineIndex ?? 0 }); };
        const ctl = pc.createDataChannel('ctl', { ordered: true });
        H.ch = { ctl, video: pc.createDataChannel('video', { ordered: true, maxRetransmits: 0 }),
          file: pc.createDataChannel('file', { ordered: true }), audio: pc.createDataChannel('audio', { ordered: false, maxRetransmits: 0 }) };
        H.got = [];
        ctl.onopen = () => {
          ctl.send(JSON.stringify({ t: 'hello', name: 'Fake Desk', test: true, screen: true, ax: true, caps: [], ver: 'x' }));
          ctl.send(JSON.stringify({ t: 'app', name: 'Fake App' }));
        };
        ctl.onmessage = (e) => {
          let m;
          try { m = JSON.parse(e.data); } catch { return; }
          H.got.push(m);
          if (H.mute) return;
          if (m.t === 'ping') ctl.send(JSON.stringify({ t: 'pong', c: m.c, h: Date.now() }));
          if (m.t === 'conn' && H.ackJournal && Array.isArray(m.events)) {
            const n = Math.max(0, ...m.events.map((x) => x.n));
            ctl.send(JSON.stringify({ t: 'evack', n }));
          }
        };
        await pc.setLocalDescription(await pc.createOffer());
        return pc.localDescription.sdp;
      };
      H.answer = (sdp) => H.pc.setRemoteDescription({ type: 'answer', sdp });
      H.ice = (c) => H.pc.addIceCandidate({ candidate: c.cand, sdpMid: c.mid || undefined, sdpMLineIndex: c.idx });
      H.send = (label, data) => {
        const ch = H.ch[label];
        if (!ch || ch.readyState !== 'open') return false;
        ch.send(typeof data === 'string' ? data : new Uint8Array(data));
        return true;
      };
      H.ctlState = () => (H.ch.ctl ? H.ch.ctl.readyState : 'none');
    });
    return host;
  }

  offer() { this.candidates = []; return this.page.evaluate(() => window.H.start()); }
  answer(sdp) { return this.page.evaluate((s) => window.H.answer(s), sdp); }
  ice(c) { return this.page.evaluate((x) => window.H.ice(x), c); }
  got() { return this.page.evaluate(() => window.H.got); }
  send(label, data) { return this.page.evaluate(([l, d]) => window.H.send(l, d), [label, data]); }
  ctlState() { return this.page.evaluate(() => window.H.ctlState()); }
  setAck(v) { return this.page.evaluate((x) => { window.H.ackJournal = x; }, v); }
  setMute(v) { return this.page.evaluate((x) => { window.H.mute = x; }, v); }
  close() { return this.page.evaluate(() => { if (window.H.pc) window.H.pc.close(); }); }
}

export const newSid = () => crypto.randomBytes(16).toString('hex');
export const offerMsg = (signKey, sid, sdp) =>
  ({ t: 'sig', d: { kind: 'offer', sdp, sid, mac: macFor(signKey, 'sdp|offer|' + sid + '|' + sdp) } });

// Plays the computer's side of one join through the scripted server: joined,
// a signed offer, then `complete`. Returns the session's facts once the
// page's answer has been applied.
export async function negotiate(signal, host, ws, key, { cid = 1, sid = newSid() } = {}) {
  signal.send(ws, { t: 'joined', cid, ice: [] });
  const sdp = await host.offer();
  const mark = marks(signal);
  signal.send(ws, offerMsg(key, sid, sdp));
  return complete(signal, host, ws, key, sid, mark);
}

// How many answers and candidates the server has seen so far.
export const marks = (signal) => ({ answers: signal.sigs('answer').length, ices: signal.sigs('ice').length });

// The page's answer (after `mark`) checked and applied, candidates pumped both ways.
export async function complete(signal, host, ws, key, sid, mark) {
  const answersBefore = mark.answers, icesBefore = mark.ices;
  const answer = (await waitFor(() => signal.sigs('answer')[answersBefore], 'the signed answer')).msg.d;
  if (answer.sid !== sid || answer.mac !== macFor(key, 'sdp|answer|' + sid + '|' + answer.sdp)) {
    throw new Error('the answer does not authenticate: ' + JSON.stringify({ sid: answer.sid, mac: answer.mac }));
  }
  await host.answer(answer.sdp);
  // Candidates: the computer's through the server to the page, the page's to the computer.
  let sentHost = 0, sentPage = icesBefore;
  const pump = setInterval(async () => {
    try {
      while (sentHost < host.candidates.length) signal.send(ws, { t: 'sig', d: { kind: 'ice', ...host.candidates[sentHost++] } });
      const pageIce = signal.sigs('ice');
      while (sentPage < pageIce.length) await host.ice(pageIce[sentPage++].msg.d);
    } catch { /* the page went away */ }
  }, 50);
  return { sid, answer, stop: () => clearInterval(pump) };
}

export const signalBin = process.env.TOLVANE_SIGNAL_BIN || path.join(repo, 'build/tolvane-signal');

const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, '127.0.0.1');
  c.once('connect', () => { c.destroy(); resolve(true); });
  c.once('error', () => resolve(false));
});

// The real rendezvous server on a port that stays the same across restarts,
// handing out the page from the source tree's client folder.
export class SignalServer {
  constructor() {
    this.port = 0;
    this.proc = null;
    this.logPath = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-signal-')), 'signal.log');
  }

  get wsBase() { return `ws://127.0.0.1:${this.port}`; }

  async start() {
    if (!this.port) this.port = await freePort();
    if (!fs.existsSync(signalBin)) throw new Error('rendezvous server missing: ' + signalBin + ' (build it first)');
    const out = fs.openSync(this.logPath, 'a');
    this.proc = spawn(signalBin, ['--port', String(this.port), '--bind', '127.0.0.1', '--client-dir', clientDir,
      '--stun', 'stun:127.0.0.1:3478'], { stdio: ['ignore', out, out] });
    fs.closeSync(out);
    let exited = false;
    this.proc.once('exit', () => { exited = true; });
    await waitFor(async () => exited || await listening(this.port), 'the rendezvous server on ' + this.port);
    if (exited) throw new Error('rendezvous server exited at start:\n' + this.log());
  }

  async stop() {
    const proc = this.proc;
    this.proc = null;
    if (!proc || proc.exitCode !== null || proc.signalCode !== null) return;
    const gone = new Promise((r) => proc.once('exit', r));
    proc.kill('SIGTERM');
    const t = setTimeout(() => proc.kill('SIGKILL'), 5000);
    await gone;
    clearTimeout(t);
  }

  log() { try { return fs.readFileSync(this.logPath, 'utf8'); } catch { return ''; } }

  async dispose() { await this.stop(); fs.rmSync(path.dirname(this.logPath), { recursive: true, force: true }); }
}

// The host's connection journal (connect_log.jsonl in its data folder).
export function connectLog(host) {
  let text = '';
  try { text = fs.readFileSync(path.join(host.dir, 'connect_log.jsonl'), 'utf8'); } catch { return []; }
  return text.split('\n').filter(Boolean).map((l) => JSON.parse(l));
}

// The internet link the host wrote: the last line of last_url.txt.
export function internetLink(host) {
  let text = '';
  try { text = fs.readFileSync(path.join(host.dir, 'last_url.txt'), 'utf8'); } catch { return null; }
  const lines = text.split('\n').filter(Boolean);
  return lines.length && lines.at(-1).includes('#k=') ? lines.at(-1) : null;
}
