// The internet link's video chunks put back together in a real Chromium page:
// whole packets out, byte for byte; lost, interrupted, skipped and malformed
// frames held back until a key frame, with the computer asked for one at most
// once a second (the page's clock is the test's). Never an exception.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchPhone } from './support.mjs';
import { ScriptedSignal } from './rtc-support.mjs';

let phone, signal, page;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchPhone();
  page = await phone.page();
  await page.goto(signal.blank);
  await page.evaluate(async () => {
    const { Reassembler } = await import('/reassembly.js');
    // A video packet: kind 1, key flag, capture time, no input ids, then `body` bytes counting up from `fill`.
    const packet = (key, capMs, body, fill = 0) => {
      const b = new Uint8Array(11 + body);
      b[0] = 1; b[1] = key ? 1 : 0;
      new DataView(b.buffer).setFloat64(2, capMs, false);
      for (let i = 0; i < body; i++) b[11 + i] = (fill + i) & 255;
      return b;
    };
    const chunk = (seq, idx, count, payload) => {
      const b = new Uint8Array(8 + payload.length);
      const dv = new DataView(b.buffer);
      dv.setUint32(0, seq >>> 0, false); dv.setUint16(4, idx, false); dv.setUint16(6, count, false);
      b.set(payload, 8);
      return b.buffer;
    };
    // The computer's cutting: 15000 bytes a chunk, the last one shorter.
    const cut = (seq, pkt) => {
      const n = Math.max(1, Math.ceil(pkt.length / 15000));
      return Array.from({ length: n }, (_, i) => chunk(seq, i, n, pkt.subarray(i * 15000, (i + 1) * 15000)));
    };
    // A reassembler on a clock the test moves; what it hands out and asks for, in order.
    const rig = () => {
      const r = { t: 0, out: [], events: [], errors: [] };
      r.asm = new Reassembler({ now: () => r.t });
      r.asm.onPacket = (p) => { const b = new Uint8Array(p); r.out.push(b); r.events.push((b[1] ? 'K' : 'D') + b.length); };
      r.asm.onWantKey = () => r.events.push('ask@' + r.t);
      r.push = (m) => { try { r.asm.push(m); } catch (e) { r.errors.push(String(e)); } };
      r.frame = (seq, key, body = 20, capMs = 1e12) => { for (const c of cut(seq, packet(key, capMs, body, seq))) r.push(c); };
      return r;
    };
    window.V = { packet, chunk, cut, rig };
  });
});
after(async () => { await phone?.close(); await signal?.stop(); });

const inPage = (fn, arg) => page.evaluate(fn, arg);

test('frames in order come out whole, byte for byte, from one chunk or many', async () => {
  const r = await inPage(() => {
    const { packet, cut, rig } = window.V;
    const x = rig();
    const sizes = [30001 - 11, 0, 15000 - 11, 15001 - 11, 3 * 15000 - 11];
    const sent = sizes.map((body, i) => packet(i === 0, 1e12 + i, body, i));
    const chunks = sent.map((p, i) => cut(100 + i, p));
    chunks.flat().forEach(x.push);
    const same = sent.map((p, i) => x.out[i] && x.out[i].length === p.length && x.out[i].every((v, j) => v === p[j]));
    return { same, counts: chunks.map((c) => c.length), lastSizes: chunks.map((c) => c.at(-1).byteLength - 8),
      n: x.out.length, total: x.asm.total, errors: x.errors };
  });
  assert.deepEqual(r.errors, []);
  // 30001 bytes: 15000, 15000 and 1; exactly 15000: one chunk; 15001: 15000 and 1.
  assert.deepEqual(r.counts, [3, 1, 1, 2, 3]);
  assert.deepEqual(r.lastSizes, [1, 11, 15000, 1, 15000]);
  assert.equal(r.n, 5);
  assert.deepEqual(r.same, [true, true, true, true, true]);
  assert.equal(r.total.frames, 5);
  assert.equal(r.total.keys, 1);
  for (const k of ['incomplete', 'gaps', 'bad', 'asks', 'waited', 'stale']) assert.equal(r.total[k], 0, k);
});

test('a lost chunk, a newer frame cutting in, or frame numbers skipped: nothing but a key frame goes on', async () => {
  const r = await inPage(() => {
    const { packet, cut, rig } = window.V;
    const out = {};
    // The middle chunk of frame 2 never comes.
    let x = rig();
    x.frame(1, true);
    const f2 = cut(2, packet(false, 1, 40000));
    x.push(f2[0]); x.push(f2[2]);
    x.t = 100; x.frame(3, false);
    x.t = 200; x.frame(4, true); x.frame(5, false);
    out.lost = { events: x.events, total: x.asm.total };
    // Frame 2's last chunk is lost: only frame 3 beginning shows it.
    x = rig();
    x.frame(1, true);
    const g2 = cut(2, packet(false, 1, 20000));
    x.push(g2[0]);
    x.frame(3, false);
    x.frame(4, true);
    out.cut = { events: x.events, total: x.asm.total };
    // Frames 2 and 3 never arrive; the computer's next frame after dropping is a key frame: nothing to ask.
    x = rig();
    x.frame(1, true); x.frame(4, true); x.frame(5, false);
    out.gapKey = { events: x.events, total: x.asm.total };
    // A delta after the gap: it is useless, the key frame is asked for.
    x = rig();
    x.frame(1, true); x.frame(2, false); x.t = 50; x.frame(5, false); x.frame(6, false); x.t = 80; x.frame(7, true);
    out.gapDelta = { events: x.events, total: x.asm.total };
    return out;
  });
  assert.deepEqual(r.lost.events, ['K31', 'ask@0', 'K31', 'D31']);
  assert.equal(r.lost.total.incomplete, 1);
  assert.equal(r.lost.total.waited, 1, 'frame 3 arrived whole but could not be used');
  assert.deepEqual(r.cut.events, ['K31', 'ask@0', 'K31']);
  assert.equal(r.cut.total.incomplete, 1);
  assert.equal(r.cut.total.gaps, 0);
  assert.deepEqual(r.gapKey.events, ['K31', 'K31', 'D31']);
  assert.equal(r.gapKey.total.gaps, 1);
  assert.equal(r.gapKey.total.missed, 2);
  assert.deepEqual(r.gapDelta.events, ['K31', 'D31', 'ask@50', 'K31']);
  assert.equal(r.gapDelta.total.missed, 2);
  assert.equal(r.gapDelta.total.waited, 2);
});

test('frame numbers wrap at 2^32: no gap across the wrap, a real gap still seen, older frames ignored', async () => {
  const r = await inPage(() => {
    const { rig } = window.V;
    const x = rig();
    x.frame(0xfffffffe, true); x.frame(0xffffffff, false); x.frame(0, false); x.frame(1, false);
    const straight = { events: x.events.slice(), gaps: x.asm.total.gaps };
    // A frame from before the wrap arriving now is old, not 4 billion frames ahead.
    x.frame(0xffffffff, false);
    const stale = x.asm.total.stale;
    const y = rig();
    y.frame(0xffffffff, true); y.frame(1, false); y.t = 2000; y.frame(2, true);
    // One chunk claiming a number far ahead: the real frames look old until a long run of them starts afresh.
    const z = rig();
    z.frame(1, true);
    z.push(window.V.chunk(100000, 0, 2, new Uint8Array(15000)));
    for (let s = 2; s < 80; s++) z.frame(s, false);
    z.t = 3000; z.frame(80, true); z.frame(81, false);
    return { straight, stale, after: x.events.length, gap: { events: y.events, missed: y.asm.total.missed },
      ahead: { events: z.events, stale: z.asm.total.stale }, errors: x.errors.concat(y.errors, z.errors) };
  });
  assert.deepEqual(r.errors, []);
  assert.deepEqual(r.straight.events, ['K31', 'D31', 'D31', 'D31']);
  assert.equal(r.straight.gaps, 0);
  assert.equal(r.stale, 1);
  assert.equal(r.after, 4, 'the old frame is not handed out');
  assert.deepEqual(r.gap.events, ['K31', 'ask@0', 'K31']);
  assert.equal(r.gap.missed, 1);
  assert.deepEqual(r.ahead.events, ['K31', 'ask@0', 'K31', 'D31']);
  assert.equal(r.ahead.stale, 65);
});

test('chunks with sizes or indices that cannot be right break their frame; garbage never throws', async () => {
  const r = await inPage(() => {
    const { packet, chunk, cut, rig } = window.V;
    const cases = {};
    const full = (n) => new Uint8Array(n).fill(9);
    const head = (n) => { const p = full(n); p.set(packet(false, 1, 0)); return p; };
    const bad = {
      'count 0': [chunk(2, 0, 0, head(20))],
      'index = count': [chunk(2, 1, 1, head(20))],
      'index past count': [chunk(2, 0, 2, head(15000)), chunk(2, 5, 2, full(10))],
      'count changes': [chunk(2, 0, 3, head(15000)), chunk(2, 1, 2, full(10))],
      'payload over 15000': [chunk(2, 0, 1, head(15001))],
      'short non-last chunk': [chunk(2, 0, 2, head(14999)), chunk(2, 1, 2, full(10))],
      'empty last chunk of several': [chunk(2, 0, 2, head(15000)), chunk(2, 1, 2, full(0))],
      'index repeated': [chunk(2, 0, 3, head(15000)), chunk(2, 0, 3, head(15000)), chunk(2, 2, 3, full(5))],
      'first chunk missing': [chunk(2, 1, 2, full(10))],
      'whole but no video packet': [chunk(2, 0, 1, new Uint8Array([1, 0, 0]))],
      'wrong packet kind': [chunk(2, 0, 1, (() => { const p = packet(false, 1, 5); p[0] = 2; return p; })())],
    };
    for (const [name, chunks] of Object.entries(bad)) {
      const x = rig();
      x.frame(1, true);
      chunks.forEach(x.push);
      x.frame(3, false);     // useless after the broken frame
      x.t = 1500; x.frame(4, true);
      cases[name] = { events: x.events, inc: x.asm.total.incomplete, errors: x.errors };
    }
    const g = rig();
    const garbage = [new ArrayBuffer(0), new ArrayBuffer(7), new Uint8Array(30).buffer, null, undefined, 'text', 42, {},
      new Uint8Array(20), [0, 0, 0, 1, 0, 0, 0, 1], new DataView(new ArrayBuffer(20))];
    g.frame(1, true);
    garbage.forEach(g.push);
    g.frame(2, false);
    // Random bytes, many times: whatever they claim, no exception and the stream goes on after a key frame.
    let seed = 7;
    const rnd = () => (seed = (seed * 1103515245 + 12345) >>> 0) / 2 ** 32;
    for (let i = 0; i < 3000; i++) {
      const len = Math.floor(rnd() * 40);
      const b = new Uint8Array(len).map(() => Math.floor(rnd() * 256));
      if (len >= 8 && rnd() < 0.5) { b[4] = 0; b[5] = Math.floor(rnd() * 3); b[6] = 0; b[7] = Math.floor(rnd() * 3); }
      g.push(b.buffer);
    }
    const next = ((g.asm.cur ? g.asm.cur.seq : 0) + 1) >>> 0;
    g.t = 99999; g.frame(next, true); g.frame(next + 1, false);
    return { cases, garbage: { events: g.events.slice(0, 2), bad: g.asm.total.bad, errors: g.errors },
      tail: g.events.slice(-2) };
  });
  for (const [name, c] of Object.entries(r.cases)) {
    assert.deepEqual(c.errors, [], name);
    assert.deepEqual(c.events, ['K31', 'ask@0', 'K31'], name);
    assert.equal(c.inc, 1, name);
  }
  assert.deepEqual(r.garbage.errors, []);
  assert.deepEqual(r.garbage.events, ['K31', 'D31'], 'short or foreign messages leave the frames alone');
  assert.ok(r.garbage.bad >= 9, 'counted as bad: ' + r.garbage.bad);
  assert.deepEqual(r.tail, ['K31', 'D31']);
});

test('the computer is asked for a key frame at most once a second, and again while none comes', async () => {
  const r = await inPage(() => {
    const { rig } = window.V;
    const x = rig();
    x.frame(1, true);
    // Deltas every 100 ms after a lost frame: the key frame asked for is lost too.
    let seq = 3;
    for (x.t = 0; x.t <= 2500; x.t += 100) x.frame(seq++, false);
    x.frame(seq++, true);
    x.t = 2600; x.frame(seq++, false);
    return { asks: x.events.filter((e) => e.startsWith('ask')), last: x.events.slice(-2), total: x.asm.total };
  });
  assert.deepEqual(r.asks, ['ask@0', 'ask@1000', 'ask@2000']);
  assert.deepEqual(r.last, ['K31', 'D31']);
  assert.equal(r.total.asks, 3);
});

test('the delta being assembled tells how long it has been on its way; a key frame does not', async () => {
  const r = await inPage(() => {
    const { packet, cut, rig } = window.V;
    const x = rig();
    const none = x.asm.pendingCapMs();
    const d = cut(5, packet(false, 1234.5, 20000));
    x.push(d[0]);
    const delta = x.asm.pendingCapMs();
    x.push(d[1]);
    const done = x.asm.pendingCapMs();
    x.push(cut(6, packet(true, 99, 20000))[0]);
    return { none, delta, done, key: x.asm.pendingCapMs() };
  });
  assert.deepEqual(r, { none: null, delta: 1234.5, done: null, key: null });
});
