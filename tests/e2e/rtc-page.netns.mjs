// The page's internet link against a scripted rendezvous server and a
// computer played by a second browser page (a real peer connection with the
// computer's channels). Opens peer connections: runs only inside a private
// network namespace (tests/tools/in-netns.sh), never on the real network.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { hook, waitFor } from './support.mjs';
import { launchRtcPhone, RELAY_TEXT, ScriptedSignal, FakeHost, negotiate, complete, marks, offerMsg, newKey, newSid, roomFor } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

let phone, signal;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchRtcPhone();
});
after(async () => { await phone?.close(); await signal?.stop(); });

const rtc = async (page) => (await hook(page))?.rtc;

// A page on a fresh key, its join and the computer's page; `init` runs in the page before its modules.
async function joinPage({ key = newKey(), init } = {}) {
  signal.onJoin = null;
  const page = await phone.page();
  if (init) await page.addInitScript(init);
  const host = await FakeHost.open(phone.context, signal);
  const before = signal.of('join').length;
  await page.goto(signal.link(key));
  const join = await waitFor(() => signal.of('join')[before], 'the join');
  const s = { page, host, key, join, neg: null };
  s.close = async () => { s.neg?.stop(); await page.close(); await host.page.close(); };
  return s;
}

async function livePage(opts) {
  const s = await joinPage(opts);
  if (opts?.ack === false) await s.host.setAck(false);
  s.neg = await negotiate(signal, s.host, s.join.sock, s.key);
  await waitFor(async () => (await hook(s.page))?.hello, 'hello over the control channel');
  return s;
}

const joinsAfter = (n) => waitFor(() => signal.of('join').length > n && signal.of('join').at(-1), 'another join', 20000);

test('a session: the key\'s room, a checked offer, a signed answer, candidates both ways, the session layer', async () => {
  const s = await livePage();
  try {
    assert.equal(s.join.msg.rid, roomFor(s.key));
    await waitFor(async () => (await s.page.textContent('#pill')).includes('Fake App'), 'the pill with the app');
    assert.match(await s.page.textContent('#pill'), /Fake Desk/);
    assert.ok(await waitFor(async () => (await hook(s.page)).rtt !== null, 'a pong'));
    const got = await s.host.got();
    assert.ok(got.some((m) => m.t === 'ping'), 'pings on the control channel');
    assert.ok(got.some((m) => m.t === 'view'), 'the view size');
    const r = await rtc(s.page);
    assert.equal(r.phase, 'live');
    assert.equal(r.sid, s.neg.sid);
    assert.ok(r.iceIn > 0 && r.iceOut > 0, JSON.stringify(r));
    // The key stays in the page: not in a request, not to the server, not to the computer.
    assert.ok(signal.requests.length > 3);
    for (const u of signal.requests) assert.ok(!u.includes(s.key), u);
    assert.ok(!JSON.stringify(signal.got.map((g) => g.msg)).includes(s.key));
    assert.ok(!JSON.stringify(await s.host.got()).includes(s.key));
    // Input goes over the control channel.
    await s.page.touchscreen.tap(195, 300);
    await waitFor(async () => (await s.host.got()).some((m) => m.t === 'mu'), 'the tap at the computer');
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});

test('the page\'s journal reaches the computer numbered from 1, again and again until acknowledged', async () => {
  const s = await livePage({ ack: false });
  try {
    const conns = async () => (await s.host.got()).filter((m) => m.t === 'conn');
    const [first, second] = await waitFor(async () => { const c = await conns(); return c.length >= 2 && c; }, 'a resent journal', 20000);
    const ns = first.events.map((e) => e.n);
    assert.deepEqual(ns, ns.map((_, i) => i + 1), 'numbered 1, 2, 3 …');
    const names = first.events.map((e) => e.ev);
    for (const ev of ['joined', 'offer_ok', 'answer_sent', 'dc']) assert.ok(names.includes(ev), ev + ' in ' + names);
    assert.deepEqual(second.events.slice(0, ns.length).map((e) => e.n), ns, 'the same numbers again');
    assert.equal(first.att, 1);
    assert.equal(typeof first.ua, 'string');
    // Acknowledged: nothing is left to send.
    await s.host.setAck(true);
    await waitFor(async () => { const r = await rtc(s.page); return r.pending === 0 && r.acked >= ns.length; }, 'the acknowledgement');
  } finally { await s.close(); }
});

test('video channel messages are taken and counted', async () => {
  const s = await livePage();
  try {
    await waitFor(() => s.host.send('video', [0, 0, 0, 1, 0, 0, 0, 1, 9, 9]), 'the video channel open');
    await s.host.send('video', Array(15008).fill(7));
    await s.host.send('video', [0, 0, 0, 2, 0, 0, 0, 1]);
    const r = await waitFor(async () => { const x = await rtc(s.page); return x.video === 3 && x; }, 'three chunks');
    assert.equal(r.videoBytes, 10 + 15008 + 8);
  } finally { await s.close(); }
});

test('an offer signed with another key gets the link message and no answer; the genuine one still connects', async () => {
  const s = await joinPage();
  try {
    const ws = s.join.sock, sid = newSid();
    signal.send(ws, { t: 'joined', cid: 4, ice: [] });
    const sdp = await s.host.offer();
    const mark = marks(signal);
    signal.send(ws, offerMsg(newKey(), sid, sdp));
    await waitFor(async () => (await rtc(s.page)).badOffers === 1, 'the page to check the offer');
    assert.equal(signal.sigs('answer').length, mark.answers, 'no answer to a forged offer');
    await s.page.waitForSelector('#notice:not([hidden])');
    assert.equal(await s.page.textContent('#nTitle'), 'This link does not match the computer');
    assert.equal((await hook(s.page)).error, 'auth');
    // Tampering at the server is not fatal: the computer's own offer is answered.
    signal.send(ws, offerMsg(s.key, sid, sdp));
    s.neg = await complete(signal, s.host, ws, s.key, sid, mark);
    await waitFor(async () => (await hook(s.page)).hello, 'the session after all');
    assert.equal(await s.page.isHidden('#notice'), true, 'the link message goes with the session');
  } finally { await s.close(); }
});

test('only forged offers until the time-out: the page stops and waits for the person', async () => {
  const s = await joinPage({ init: () => { window.__tolvaneTest = { connectMs: 2500 }; } });
  try {
    signal.send(s.join.sock, { t: 'joined', cid: 5, ice: [] });
    signal.send(s.join.sock, offerMsg(newKey(), newSid(), await s.host.offer()));
    await waitFor(async () => (await hook(s.page)).state === 'held', 'the page to stop', 10000);
    const joins = signal.of('join').length;
    assert.equal((await rtc(s.page)).answers, 0);
    assert.equal((await hook(s.page)).error, 'auth', 'the link message, not the relay text');
    assert.match(await s.page.textContent('#pill'), /Not connected/);
    await s.page.click('#authRetryBtn');
    const again = await joinsAfter(joins);
    assert.equal(again.msg.rid, roomFor(s.key));
  } finally { await s.close(); }
});

test('no open channel in time: the relay text, then a new attempt by itself', async () => {
  const s = await joinPage({ init: () => { window.__tolvaneTest = { connectMs: 2500 }; } });
  try {
    const joins = signal.of('join').length;
    signal.send(s.join.sock, { t: 'joined', cid: 6, ice: ['stun:127.0.0.1:3478'] });
    await s.page.waitForSelector('#notice:not([hidden])', { timeout: 10000 });
    assert.equal(await s.page.textContent('#nBody'), RELAY_TEXT);
    assert.equal((await hook(s.page)).error, 'relay');
    const again = await joinsAfter(joins);
    assert.notEqual(again.sock, s.join.sock, 'a new socket for the new attempt');
    assert.equal((await rtc(s.page)).lastEnd, 'timeout');
  } finally { await s.close(); }
});

test('no computer in the room: the page says so and joins again when the computer comes', async () => {
  const s = await joinPage();
  try {
    signal.send(s.join.sock, { t: 'nohost' });
    await waitFor(async () => (await s.page.textContent('#pill')).includes('Waiting for the computer'), 'the waiting text');
    assert.match(await s.page.textContent('#waitText'), /not connected to the server/);
    const joins = signal.of('join').length;
    signal.send(s.join.sock, { t: 'hostup' });
    const again = await joinsAfter(joins);
    assert.equal(again.sock, s.join.sock, 'the same socket');
    s.neg = await negotiate(signal, s.host, again.sock, s.key);
    await waitFor(async () => (await hook(s.page)).hello, 'the session');
  } finally { await s.close(); }
});

test('paused by the computer: its text and a Reconnect button, and no new join until it is pressed', async () => {
  const s = await livePage();
  try {
    const joins = signal.of('join').length;
    await s.host.send('ctl', JSON.stringify({ t: 'paused', msg: 'Paused on your computer. Resume it there.' }));
    await s.page.waitForSelector('#reconnectBtn');
    assert.equal(await s.page.textContent('#nBody'), 'Paused on your computer. Resume it there.');
    await s.host.close();
    await waitFor(async () => (await hook(s.page)).state === 'held', 'the session to end and stay ended', 20000);
    assert.equal(signal.of('join').length, joins, 'no join while paused');
    await s.page.click('#reconnectBtn');
    await joinsAfter(joins);
  } finally { await s.close(); }
});

test('a live session outlasts the server; the page joins again once the session ends', async () => {
  const s = await livePage();
  try {
    const sockets = signal.sockets.length;
    signal.dropAll();
    await waitFor(async () => (await rtc(s.page)).phase === 'live' && signal.open.length === 0, 'the server gone');
    const pings = async () => (await s.host.got()).filter((m) => m.t === 'ping').length;
    const p0 = await pings();
    await waitFor(async () => (await pings()) >= p0 + 3, 'pings going on over the peer connection', 20000);
    assert.equal((await hook(s.page)).state === 'live' || (await hook(s.page)).state === 'open', true);
    assert.equal(signal.sockets.length, sockets, 'no new socket while the session is live');
    const joins = signal.of('join').length;
    await s.host.close();
    const again = await joinsAfter(joins);
    assert.equal(again.msg.rid, roomFor(s.key));
  } finally { await s.close(); }
});

test('malformed messages from the server and the computer are dropped without harm', async () => {
  const s = await joinPage();
  try {
    const ws = s.join.sock;
    for (const bad of ['not json', '[1,2]', 'null', '{"t":5}', '{"t":"joined","cid":"x","ice":"stun:x"}',
      '{"t":"joined","cid":2,"ice":["no-such-scheme"]}', '{"t":"sig","d":"x"}', '{"t":"sig","d":[1]}',
      '{"t":"sig","d":{"kind":"offer","sdp":5,"sid":"a","mac":"b"}}', '{"t":"sig","d":{"kind":"ice","cand":{}}}',
      '{"t":"sig","d":{"kind":"ice","cand":"candidate:bogus 1 udp 1 1.2.3.4 9 typ host","idx":1e300}}',
      '{"t":"sig","d":{"kind":"answer","sdp":"x"}}', '{"t":"error","reason":{"x":1}}', '{"t":"' + 'x'.repeat(1 << 21) + '"}']) {
      signal.send(ws, bad);
    }
    s.neg = await negotiate(signal, s.host, ws, s.key);
    await waitFor(async () => (await hook(s.page)).hello, 'the session after the noise');
    for (const bad of ['garbage', '{"t":"evack"}', '{"t":"evack","n":"5"}', '{"t":"evack","n":1e300}', '{"t":"config","codec":5}', '{"t":"hello","name":7}', '[]']) {
      await s.host.send('ctl', bad);
    }
    await s.host.send('ctl', [1, 2, 3]);
    await s.host.send('video', 'text on the video channel');
    const rtt = (await hook(s.page)).rtt;
    await waitFor(async () => (await hook(s.page)).rtt !== rtt, 'pongs still answered');
    assert.equal((await rtc(s.page)).phase, 'live');
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});

// Frames cut as the computer cuts them, sent from the computer's page; `lose` names chunks that never leave.
const sendFrames = (host, frames) => host.page.evaluate((list) => {
  for (const { seq, key, body, lose = [] } of list) {
    const pkt = new Uint8Array(11 + body);
    pkt[0] = 1; pkt[1] = key ? 1 : 0;
    new DataView(pkt.buffer).setFloat64(2, Date.now(), false);
    const n = Math.max(1, Math.ceil(pkt.length / 15000));
    for (let i = 0; i < n; i++) {
      if (lose.includes(i)) continue;
      const part = pkt.subarray(i * 15000, (i + 1) * 15000);
      const b = new Uint8Array(8 + part.length);
      const dv = new DataView(b.buffer);
      dv.setUint32(0, seq >>> 0, false); dv.setUint16(4, i, false); dv.setUint16(6, n, false);
      b.set(part, 8);
      window.H.ch.video.send(b);
    }
  }
}, frames);

test('chunked frames on the video channel: whole ones go on, a lost chunk asks for a key frame, a report a second', async () => {
  const s = await livePage();
  try {
    await waitFor(() => s.host.page.evaluate(() => window.H.ch.video.readyState === 'open'), 'the video channel open');
    await sendFrames(s.host, [{ seq: 7, key: true, body: 20000 }, { seq: 8, key: false, body: 500 },
      { seq: 9, key: false, body: 40000, lose: [1] }, { seq: 10, key: false, body: 500 }]);
    const r = await waitFor(async () => { const x = await rtc(s.page); return x.video === 6 && x; }, 'six chunks');
    assert.equal(r.frames, 3);
    assert.equal(r.incomplete, 1);
    assert.equal(r.waited, 1);
    await waitFor(async () => (await s.host.got()).some((m) => m.t === 'retry'), 'a key frame asked for');
    const reps = await waitFor(async () => { const g = (await s.host.got()).filter((m) => m.t === 'rep'); return g.length >= 2 && g; }, 'reports');
    for (const m of reps) for (const k of ['qd', 'kbps', 'inc', 'gap', 'dq']) assert.equal(typeof m[k], 'number', k + ' in ' + JSON.stringify(m));
    assert.equal(reps.reduce((a, m) => a + m.inc, 0), 1, JSON.stringify(reps));
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});

test('the route the computer reports shows beside its name', async () => {
  const s = await livePage();
  try {
    const route = () => s.page.textContent('#pRoute');
    assert.equal(await route(), '');
    await s.host.send('ctl', JSON.stringify({ t: 'route', local_kind: 'private', remote_kind: 'mdns', same_lan: true }));
    await waitFor(async () => (await route()) === '· same network', 'same network');
    await s.host.send('ctl', JSON.stringify({ t: 'route', local_kind: 'public', remote_kind: 'private', route: 'relay', same_lan: false }));
    await waitFor(async () => (await route()) === '· through a relay', 'the relay');
    await s.host.send('ctl', JSON.stringify({ t: 'route', local_kind: 'public', remote_kind: 'public', same_lan: false }));
    await waitFor(async () => (await route()) === '· across the internet', 'the internet');
    assert.equal((await hook(s.page)).route, 'internet');
  } finally { await s.close(); }
});

test('a computer gone quiet on the control channel: the page says so, ends the session and joins again', async () => {
  const s = await livePage();
  try {
    const joins = signal.of('join').length;
    await s.host.setMute(true);
    await s.page.waitForSelector('#notice:not([hidden])', { timeout: 20000 });
    assert.equal(await s.page.textContent('#nTitle'), 'The computer stopped answering');
    assert.equal((await rtc(s.page)).lastEnd, 'silent');
    const again = await joinsAfter(joins);
    await s.host.setMute(false);
    s.neg.stop();
    s.neg = await negotiate(signal, s.host, again.sock, s.key);
    await waitFor(async () => (await rtc(s.page)).phase === 'live', 'the new session');
    await waitFor(async () => s.page.isHidden('#notice'), 'the notice gone with the new session');
  } finally { await s.close(); }
});
