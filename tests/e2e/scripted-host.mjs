// A scripted stand-in for the host: serves the page's files and answers on
// "/ws" as the test says, so the page's side features can be driven without
// a desktop. Only loopback.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import zlib from 'node:zlib';
import { WebSocketServer } from 'ws';
import { clientDir } from './support.mjs';

export class ScriptedHost {
  constructor() {
    this.received = [];     // parsed control messages from the page
    this.onMessage = null;  // (msg, ws)
    this.sockets = new Set();
  }

  async start() {
    this.server = http.createServer((req, res) => {
      const name = new URL(req.url, 'http://x').pathname.slice(1) || 'index.html';
      const file = path.join(clientDir, path.basename(name));
      if (name.includes('/') || !fs.existsSync(file)) { res.writeHead(404); res.end(); return; }
      res.writeHead(200, { 'Content-Type': name.endsWith('.js') ? 'text/javascript' : 'text/html' });
      res.end(fs.readFileSync(file));
    });
    this.wss = new WebSocketServer({ server: this.server, path: '/ws' });
    this.wss.on('connection', (ws) => {
      this.sockets.add(ws);
      ws.on('close', () => this.sockets.delete(ws));
      ws.send(JSON.stringify({ t: 'hello', screen: false, name: 'Scripted' }));
      ws.on('message', (data, binary) => {
        if (binary) return;
        let m;
        try { m = JSON.parse(String(data)); } catch { return; }
        this.received.push(m);
        if (this.onMessage) this.onMessage(m, ws);
      });
    });
    await new Promise((r) => this.server.listen(0, '127.0.0.1', r));
    this.port = this.server.address().port;
  }

  get url() { return `http://127.0.0.1:${this.port}/?t=scripted`; }

  count(kind) { return this.received.filter((m) => m.t === kind).length; }

  async stop() {
    for (const ws of this.sockets) ws.terminate();
    await new Promise((r) => this.wss.close(r));
    await new Promise((r) => this.server.close(r));
  }
}

const CRC = new Int32Array(256).map((_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c;
});
function crc32(buf) {
  let c = -1;
  for (const b of buf) c = CRC[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ -1) >>> 0;
}
function chunk(type, data) {
  const out = Buffer.alloc(12 + data.length);
  out.writeUInt32BE(data.length, 0);
  out.write(type, 4, 'latin1');
  data.copy(out, 8);
  out.writeUInt32BE(crc32(out.subarray(4, 8 + data.length)), 8 + data.length);
  return out;
}

// A 96×96 RGBA PNG of one colour, base64, as the host sends icons.
export function solidIcon([r, g, b]) {
  const row = Buffer.alloc(1 + 96 * 4);
  for (let x = 0; x < 96; x++) row.set([r, g, b, 255], 1 + x * 4);
  const raw = Buffer.concat(Array(96).fill(row));
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(96, 0); ihdr.writeUInt32BE(96, 4);
  ihdr.set([8, 6, 0, 0, 0], 8);
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', ihdr),
    chunk('IDAT', zlib.deflateSync(raw)), chunk('IEND', Buffer.alloc(0))]).toString('base64');
}

// One LAN sound packet: kind 2, then 16-bit little-endian samples of a tone.
export function tonePacket(startSample, n = 480, hz = 1000, amp = 0.5) {
  const b = Buffer.alloc(1 + 2 * n);
  b[0] = 2;
  for (let i = 0; i < n; i++) {
    b.writeInt16LE(Math.trunc(amp * 32767 * Math.sin((2 * Math.PI * hz * (startSample + i)) / 24000)), 1 + 2 * i);
  }
  return b;
}
