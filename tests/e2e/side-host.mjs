// A scripted computer for the page's side features: serves the page and
// speaks the session's WebSocket protocol on 127.0.0.1 (greeting, pongs)
// with an in-memory home folder behind "ls", "fget" and "fput". A test can
// take over any message (`script`) to answer as a broken or hostile host.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { createRequire } from 'node:module';
import { clientDir } from './support.mjs';

const { WebSocketServer } = createRequire(import.meta.url)('ws');
export const CHUNK = 49152;

export class ScriptedHost {
  constructor() {
    this.token = 'side' + Math.random().toString(16).slice(2);
    this.files = new Map();   // path -> { data: Buffer, mt }
    this.dirs = new Map([['', 0]]); // path -> mt
    this.got = [];            // every message the page sent, parsed
    this.sizes = [];          // byte length of every text the page sent
    this.socks = [];
    this.script = null;       // (msg, ws) -> true when it answered
    this.holdAcks = false;    // no "fack" while set
    this.ackPaceMs = 0;       // send each "fack" this much later
    this.saved = [];          // { name, data, last } of finished uploads
    this.incoming = new Map();
    this.cancelled = new Set();
    this.maxUnacked = 0;
    this.chunkDelayMs = 0;    // between outgoing "fdat" chunks
  }

  get url() { return `http://127.0.0.1:${this.port}/?t=${this.token}`; }
  of(t) { return this.got.filter((m) => m.t === t); }

  addDir(p, mt = 1700000000) { this.dirs.set(p, mt); return this; }
  addFile(p, data, mt = 1700000000) { this.files.set(p, { data: Buffer.from(data), mt }); return this; }

  async start() {
    this.server = http.createServer((req, res) => {
      const name = new URL(req.url, 'http://x').pathname.slice(1) || 'index.html';
      const file = path.join(clientDir, path.basename(name));
      if (name.includes('/') || !fs.existsSync(file)) { res.writeHead(404); res.end(); return; }
      res.writeHead(200, { 'Content-Type': name.endsWith('.js') ? 'text/javascript' : 'text/html' });
      res.end(fs.readFileSync(file));
    });
    this.wss = new WebSocketServer({ server: this.server, path: '/ws', maxPayload: 4 << 20 });
    this.wss.on('connection', (ws) => {
      this.socks.push(ws);
      this.send(ws, { t: 'hello', name: 'Scripted Desk', test: true, screen: true, ax: true, caps: ['clip', 'files', 'browse'], ver: 'x' });
      this.send(ws, { t: 'app', name: 'Scripted App' });
      ws.on('message', (data, binary) => {
        if (binary) return;
        const text = data.toString('utf8');
        this.sizes.push(data.length);
        let m;
        try { m = JSON.parse(text); } catch { return; }
        this.got.push(m);
        if (m.t === 'ping') { this.send(ws, { t: 'pong', c: m.c, h: Date.now() }); return; }
        if (this.script && this.script(m, ws)) return;
        this.handle(m, ws);
      });
    });
    await new Promise((r) => this.server.listen(0, '127.0.0.1', r));
    this.port = this.server.address().port;
  }

  send(ws, obj) { if (ws.readyState === 1) ws.send(typeof obj === 'string' ? obj : JSON.stringify(obj)); }
  sendAll(obj) { for (const ws of this.socks) this.send(ws, obj); }
  dropAll() { for (const ws of this.socks) ws.terminate(); this.socks = []; }

  async stop() {
    this.dropAll();
    await new Promise((r) => this.wss.close(r));
    await new Promise((r) => this.server.close(r));
  }

  handle(m, ws) {
    if (m.t === 'ls') this.list(m, ws);
    else if (m.t === 'fget') this.fget(m, ws);
    else if (m.t === 'fput') this.fput(m, ws);
    else if (m.t === 'fcancel') this.fcancel(m, ws);
  }

  list(m, ws) {
    const p = typeof m.path === 'string' ? m.path : '';
    if (p.split('/').includes('..') || p.startsWith('/')) { this.send(ws, { t: 'lsr', path: m.path, err: 'denied' }); return; }
    if (!this.dirs.has(p)) { this.send(ws, { t: 'lsr', path: m.path, err: 'read' }); return; }
    const items = [];
    const prefix = p ? p + '/' : '';
    const child = (q) => q.startsWith(prefix) && q !== p && !q.slice(prefix.length).includes('/');
    for (const [d, mt] of this.dirs) if (d && child(d)) items.push({ n: d.slice(prefix.length), dir: true, size: 4096, mt });
    for (const [f, e] of this.files) if (child(f)) items.push({ n: f.slice(prefix.length), dir: false, size: e.data.length, mt: e.mt });
    this.send(ws, { t: 'lsr', path: m.path, items: items.filter((i) => !i.n.startsWith('.')), more: false });
  }

  async fget(m, ws) {
    const f = this.files.get(m.path);
    if (!f) { this.send(ws, { t: 'fdat', id: m.id, err: 'read' }); return; }
    const size = f.data.length, n = Math.max(1, Math.ceil(size / CHUNK)), name = m.path.split('/').pop();
    for (let i = 0; i < n; i++) {
      if (this.cancelled.delete(m.id)) return;
      this.send(ws, { t: 'fdat', id: m.id, i, n, name, size, d: f.data.subarray(i * CHUNK, (i + 1) * CHUNK).toString('base64') });
      await new Promise((r) => (this.chunkDelayMs ? setTimeout(r, this.chunkDelayMs) : setImmediate(r)));
    }
  }

  fput(m, ws) {
    const d = Buffer.from(m.d, 'base64');
    if (m.i === 0) this.incoming.set(m.id, { parts: [], acked: -1, name: m.name, next: 0 });
    const x = this.incoming.get(m.id);
    if (!x) return;
    if (m.i !== x.next) { this.incoming.delete(m.id); this.send(ws, { t: 'fdone', id: m.id, ok: false }); return; }
    x.next++;
    this.maxUnacked = Math.max(this.maxUnacked, m.i - x.acked);
    x.parts.push(d);
    if (m.i % 8 === 7 && !this.holdAcks) {
      const ack = () => { x.acked = m.i; this.send(ws, { t: 'fack', id: m.id, i: m.i }); };
      if (this.ackPaceMs) setTimeout(ack, this.ackPaceMs); else ack();
    }
    if (m.i >= m.n - 1) {
      this.incoming.delete(m.id);
      let name = x.name, k = 2;
      const dot = name.lastIndexOf('.');
      while (this.saved.some((s) => s.name === name)) name = dot > 0 ? `${x.name.slice(0, dot)} ${k++}${x.name.slice(dot)}` : `${x.name} ${k++}`;
      this.saved.push({ name, data: Buffer.concat(x.parts), last: m.last });
      this.send(ws, { t: 'fdone', id: m.id, ok: true, name });
    }
  }

  // Releases the acknowledgements held back while holdAcks was set.
  ackAll(ws = this.socks[0]) {
    for (const [id, x] of this.incoming) {
      const top = Math.floor((x.next) / 8) * 8 - 1;
      if (top > x.acked) { x.acked = top; this.send(ws, { t: 'fack', id, i: top }); }
    }
  }

  fcancel(m, ws) {
    if (this.incoming.delete(m.id)) this.send(ws, { t: 'fdone', id: m.id, ok: false });
    else this.cancelled.add(m.id);
  }
}
