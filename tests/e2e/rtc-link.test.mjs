// The internet link's video side on the test's clock: the arrival delay
// ("qd") against the quickest frame of 30 s, and, in a real Chromium page, the
// link's report, key-frame requests and route on a stand-in control channel,
// and the end of a session whose computer went quiet.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { ArrivalDelay, QD_MAX } from '../../client/arrival.js';
import { launchPhone } from './support.mjs';
import { ScriptedSignal } from './rtc-support.mjs';

test('qd: the excess over the quickest frame of 30 s, whatever the clocks\' offset', () => {
  for (const offset of [1e6, 1.7e12, 1.7e12 - 3.6e6]) {
    const d = new ArrivalDelay();
    // Frames every 33 ms taking 40 to 44 ms: nothing queued.
    let t = 1000;
    for (let i = 0; i < 30; i++, t += 33) d.add(t - 40 - (i % 5) + offset, t);
    assert.equal(d.take(t), 2, 'the median of 0..4 ms: ' + offset);
    // A queue builds: each frame 10 ms later than the one before.
    for (let i = 1; i <= 30; i++, t += 33) d.add(t - 40 - 10 * i + offset, t);
    assert.equal(d.take(t), 150, 'median of 10..300');
    // Nothing since the last report: nothing to say.
    assert.equal(d.take(t + 500), 0);
  }
});

test('qd: the quickest frame is forgotten after 30 s, so a path that got slower for good counts as normal', () => {
  const d = new ArrivalDelay();
  let t = 0;
  for (; t < 5000; t += 50) d.add(t - 20, t);
  // From now on every frame takes 220 ms.
  for (; t < 20000; t += 50) d.add(t - 220, t);
  assert.equal(d.take(t), 200);
  for (; t < 36000; t += 50) d.add(t - 220, t);
  assert.equal(d.take(t), 0);
});

test('qd: a delta still in assembly counts from its capture; nonsense in, bounded number out', () => {
  const d = new ArrivalDelay();
  assert.equal(d.take(100, 50), 0, 'no best yet: nothing to compare with');
  d.add(1000 - 30, 1000);
  d.add(1033 - 30, 1033);
  assert.equal(d.take(1100, 1100 - 30 - 400), 400, 'waiting 400 ms longer than the best');
  assert.equal(d.take(1100, 1100 - 10), 0, 'quicker than the best is not negative');
  for (const bad of [NaN, Infinity, -Infinity, 0, -5, undefined, null, '12']) d.add(bad, 2000);
  d.add(1000, NaN);
  assert.equal(d.take(2000), 0);
  assert.equal(d.take(2000, NaN), 0);
  const e = new ArrivalDelay();
  e.add(1e12, 1000);
  e.add(1e12 - 1e8, 1500);
  e.add(1e12 - 1e8, 1600);
  assert.equal(e.take(1500), QD_MAX, 'a huge delay is clamped');
});

let phone, signal, page;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchPhone();
  page = await phone.page();
  await page.goto(signal.blank);
  await page.evaluate(async () => {
    const { RtcConnection } = await import('/rtc-connection.js');
    const packet = (key, capMs, body) => {
      const b = new Uint8Array(11 + body);
      b[0] = 1; b[1] = key ? 1 : 0;
      new DataView(b.buffer).setFloat64(2, capMs, false);
      return b;
    };
    const chunks = (seq, pkt) => {
      const n = Math.max(1, Math.ceil(pkt.length / 15000));
      return Array.from({ length: n }, (_, i) => {
        const part = pkt.subarray(i * 15000, (i + 1) * 15000);
        const b = new Uint8Array(8 + part.length);
        const dv = new DataView(b.buffer);
        dv.setUint32(0, seq, false); dv.setUint16(4, i, false); dv.setUint16(6, n, false);
        b.set(part, 8);
        return b.buffer;
      });
    };
    // A link whose control channel is a stand-in, opened at `openAt` on a clock the test moves.
    window.live = (openAt = 0) => {
      const L = { t: 0, sent: [], packets: [], events: [] };
      const c = L.c = new RtcConnection('ws://127.0.0.1:9/ws', 'k'.repeat(64), { now: () => L.t });
      const pc = { close() {} };
      const ch = { label: 'ctl', readyState: 'open', send: (s) => L.sent.push(JSON.parse(s)), close() {} };
      c.onmessage = (d) => { if (d instanceof ArrayBuffer) L.packets.push(d.byteLength); };
      c.onsilent = () => L.events.push('silent@' + L.t);
      c.onclose = () => L.events.push('closed@' + L.t);
      c.onroute = (k) => L.events.push('route:' + k);
      L.t = openAt;
      c.running = true; c.pc = pc; c.ctl = ch;
      c.ctlOpen(pc, ch);
      L.frame = (seq, key, body, capMs) => { for (const b of chunks(seq, packet(key, capMs, body))) c.videoMessage(b); };
      L.retries = () => L.sent.filter((m) => m.t === 'retry').length;
      L.done = () => c.close();
      return L;
    };
  });
});
after(async () => { await phone?.close(); await signal?.stop(); });

test('7 s without text on the control channel ends the session, counted from the channel\'s opening; video does not count', async () => {
  const r = await page.evaluate(() => {
    // The connection took 20 s to come up: that is not silence.
    const L = window.live(20000);
    const out = {};
    L.t = 26900; L.c.checkAlive();
    out.early = L.c.live;
    L.c.ctlMessage('{"t":"hb"}');
    // Frames keep coming, but the computer says nothing.
    for (let s = 1; s <= 200; s++) { L.t = 26900 + s * 33; L.frame(s, s === 1, 500, 1e12 + L.t); L.c.checkAlive(); }
    out.withVideo = L.c.live;
    L.t = 33900; L.c.checkAlive();
    out.at7s = L.c.live;
    L.t = 33901; L.c.checkAlive();
    out.after = { live: L.c.live, active: L.c.active, lastEnd: L.c.stats.lastEnd, events: L.events };
    L.t = 40000; L.c.checkAlive();
    out.once = L.events.length;
    return out;
  });
  assert.equal(r.early, true);
  assert.equal(r.withVideo, true);
  assert.equal(r.at7s, true);
  assert.deepEqual(r.after, { live: false, active: false, lastEnd: 'silent', events: ['route:null', 'silent@33901', 'closed@33901'] });
  assert.equal(r.once, 3, 'the end is reported once');
});

test('the report a second: qd from arrival times, what came in, and key frames asked for over the control channel', async () => {
  const r = await page.evaluate(() => {
    const L = window.live(0);
    const out = {};
    // 30 frames in one second; deltas take 50 ms, the key frame 300 ms.
    L.frame(1, true, 20000, 1e12 - 300);
    for (let s = 2; s <= 30; s++) { L.t = s * 33; L.frame(s, false, 1000, 1e12 + L.t - 50); }
    L.t = 1000;
    out.calm = L.c.report();
    // A chunk of frame 31 lost (its first only arrives), frames 32..33 never come, 34 arrives 250 ms later than usual.
    L.t = 1100; L.c.videoMessage(new Uint8Array([0, 0, 0, 31, 0, 0, 0, 2, ...new Uint8Array(15000)]).buffer);
    L.t = 1200; L.frame(34, false, 100, 1e12 + 1200 - 300);
    L.t = 1300; L.frame(35, false, 100, 1e12 + 1300 - 300);
    L.t = 2000;
    out.lossy = L.c.report();
    out.retries = L.retries();
    out.packets = L.packets.length;
    L.t = 2100; L.frame(36, true, 100, 1e12 + 2100 - 50);
    out.back = L.packets.length;
    L.done();
    return out;
  });
  assert.equal(r.calm.t, 'rep');
  assert.equal(r.calm.qd, 0, 'the key frame\'s 300 ms are left out');
  assert.equal(r.calm.fps, 30);
  assert.equal(r.calm.inc + r.calm.gap + r.calm.bad + r.calm.ask, 0);
  // 20011 + 29 × 1011 packet bytes plus 8 a chunk: 2 + 29 chunks.
  assert.equal(r.calm.kbps, Math.round((20011 + 29 * 1011 + 31 * 8) * 8 / 1000));
  assert.equal(r.lossy.qd, 250);
  assert.equal(r.lossy.inc, 1);
  assert.equal(r.lossy.gap, 1);
  assert.equal(r.lossy.miss, 2);
  assert.equal(r.lossy.wait, 2, 'whole deltas after a loss are not decoded');
  assert.equal(r.retries, 1, 'one "retry" within the second');
  assert.equal(r.packets, 30);
  assert.equal(r.back, 31, 'the key frame goes to the decoder');
});

test('the route the computer reports: same network, internet, relay, or unknown; nonsense changes nothing', async () => {
  const r = await page.evaluate(() => {
    const L = window.live(0);
    const seen = [];
    for (const m of ['{"t":"route","local_kind":"private","remote_kind":"mdns","same_lan":true}',
      '{"t":"route","local_kind":"private","remote_kind":"public","same_lan":false}',
      '{"t":"route","local_kind":"public","remote_kind":"private","route":"relay","same_lan":false}',
      '{"t":"route","local_kind":"private","remote_kind":"?","same_lan":null}',
      '{"t":"route","same_lan":true}', '{"t":"route"', '["route"]', '{"t":"routex","same_lan":false}', '{"t":"route","same_lan":"yes"}']) {
      L.c.ctlMessage(m);
      seen.push(L.c.route);
    }
    L.done();
    return seen;
  });
  assert.deepEqual(r, ['lan', 'internet', 'relay', 'unknown', 'lan', 'lan', 'lan', 'lan', 'unknown']);
});
