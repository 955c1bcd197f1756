// The internet link as a person uses it: the real rendezvous server, the real
// host in test-pattern mode registered there, and the link from the host's
// last_url.txt opened in a phone-shaped Chromium. Opens peer connections:
// runs only inside a private network namespace (tests/tools/in-netns.sh).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Host, hook, waitFor, Touch } from './support.mjs';
import { launchRtcPhone, SignalServer, connectLog, internetLink, newKey, roomFor } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

const REGISTERED = '[rtc] 待ち合わせ役に登録しました';

let phone;
before(async () => { phone = await launchRtcPhone(); });
after(async () => { await phone?.close(); });

// A rendezvous server and a host registered with it, for one test.
async function withPair(fn) {
  const signal = new SignalServer();
  await signal.start();
  const host = new Host({ signal: signal.wsBase });
  try {
    await host.start();
    await waitFor(() => host.log().includes(REGISTERED), 'the host to register', 20000);
    await fn(signal, host);
  } catch (e) {
    e.message += '\n--- host log ---\n' + host.log() + '\n--- server log ---\n' + signal.log();
    throw e;
  } finally {
    await host.dispose();
    await signal.dispose();
  }
}

const rtc = async (page) => (await hook(page))?.rtc;
const registrations = (host) => host.log().split(REGISTERED).length - 1;

async function openLink(link) {
  const page = await phone.page();
  await page.goto(link);
  await waitFor(async () => (await hook(page))?.hello, 'hello over the internet link', 40000);
  return page;
}

test('the host\'s internet link: greeting, pings, stats and input, and the page\'s journal in the host\'s', () => withPair(async (signal, host) => {
  const link = internetLink(host);
  assert.match(link, new RegExp(`^http://127\\.0\\.0\\.1:${signal.port}/#k=[0-9a-f]{64}$`));
  const page = await openLink(link);
  const t = await hook(page);
  assert.equal(t.hello.t, 'hello');
  await waitFor(async () => (await hook(page)).app, 'the app message');
  const pill = await page.textContent('#pill');
  assert.match(pill, new RegExp(t.hello.name));
  assert.match(pill, new RegExp((await hook(page)).app));
  await waitFor(async () => (await hook(page)).rtt !== null, 'a pong');
  // The 5 s report lands in the host's latency journal.
  const stats = await waitFor(() => host.statsLines()[0], 'a stats line', 20000);
  assert.equal(typeof stats.fps, 'number');
  // A tap and a drag reach the host's input journal.
  const touch = await Touch.for(page);
  await page.touchscreen.tap(195, 300);
  await waitFor(() => host.inputs().some((m) => m.t === 'mu'), 'the tap in the input journal');
  await touch.drag([[100, 300], [140, 320], [180, 340], [220, 360]]);
  await waitFor(() => host.inputs().some((m) => m.t === 'mv'), 'a move in the input journal');
  // The host journals the session, and the page's own events, which it acknowledges.
  const log = await waitFor(() => { const l = connectLog(host); return l.some((r) => r.src === 'client') && l; }, 'the page\'s journal at the host');
  assert.ok(log.some((r) => r.src === 'host' && r.result === 'ok' && r.mode === 'webrtc'), 'a success record');
  const client = log.find((r) => r.src === 'client');
  assert.equal(client.sid, (await rtc(page)).sid);
  assert.ok(client.events.some((e) => e.ev === 'offer_ok'), JSON.stringify(client));
  await waitFor(async () => (await rtc(page)).acked > 0, 'an evack from the host');
  // Neither the host's journal nor the server's log holds the key.
  const key = link.split('#k=')[1];
  assert.ok(!JSON.stringify(connectLog(host)).includes(key));
  assert.ok(!signal.log().includes(key) && !signal.log().includes(roomFor(key)));
  assert.deepEqual(phone.errors, []);
  await page.close();
}));

test('a reload replaces the session: the old one ends, a new one succeeds', () => withPair(async (signal, host) => {
  const page = await openLink(internetLink(host));
  const first = (await rtc(page)).sid;
  await page.reload();
  await waitFor(async () => { const r = await rtc(page); return r?.phase === 'live' && r.sid && r.sid !== first; }, 'a second session', 40000);
  const log = await waitFor(() => {
    const l = connectLog(host);
    const oks = l.filter((r) => r.result === 'ok').length;
    const ended = l.some((r) => r.sid === first && (r.result === 'ended' || r.ev === 'peer_closed'));
    return oks >= 2 && ended && l;
  }, 'the end of the first session and the success of the second', 20000);
  assert.ok(!log.some((r) => r.result === 'fail' && r.sid === first), 'the first session did not fail');
  assert.deepEqual(phone.errors, []);
  await page.close();
}));

test('restarts of the server and then of the host: the page comes back by itself', () => withPair(async (signal, host) => {
  const page = await openLink(internetLink(host));
  // The server goes and comes back: the live session carries on meanwhile.
  await signal.stop();
  const rtt = (await hook(page)).rtt;
  await waitFor(async () => (await hook(page)).rtt !== rtt, 'pongs without the server');
  assert.equal((await rtc(page)).phase, 'live');
  await signal.start();
  await waitFor(() => registrations(host) >= 2, 'the host to register again', 40000);
  // The host goes: the page notices, waits for it, and joins the new one.
  await host.stop();
  await waitFor(async () => (await rtc(page)).phase !== 'live', 'the page to notice', 20000);
  await host.start();
  await waitFor(async () => { const t = await hook(page); return t.opens >= 2 && t.rtc.phase === 'live'; }, 'a session with the restarted host', 60000);
  await page.touchscreen.tap(195, 300);
  await waitFor(() => host.inputs().some((m) => m.t === 'mu'), 'the tap at the restarted host');
  await page.close();
}));

test('a link with another key: no computer in its room, and nothing succeeds at the host', () => withPair(async (signal, host) => {
  const page = await phone.page();
  await page.goto(`http://127.0.0.1:${signal.port}/#k=${newKey()}`);
  await waitFor(async () => (await page.textContent('#pill')).includes('Waiting for the computer'), 'the waiting text', 20000);
  assert.equal((await rtc(page)).joins, 0);
  assert.ok(!connectLog(host).some((r) => r.result === 'ok'));
  await page.close();
}));

test('a wrong key led into the host\'s room: the offer fails its check, no answer, the host times out', () => withPair(async (signal, host) => {
  const realRoom = roomFor(internetLink(host).split('#k=')[1]);
  const page = await phone.page();
  // Someone between the page and the server sends it to the host's room: the
  // page sees the host's offer, which its own key does not confirm.
  const sent = [];
  await page.routeWebSocket(/\/ws$/, (ws) => {
    const server = ws.connectToServer();
    ws.onMessage((m) => {
      let msg = null;
      try { msg = JSON.parse(m); } catch { /* passed on as it is */ }
      if (msg) sent.push(msg);
      server.send(msg && msg.t === 'join' ? JSON.stringify({ ...msg, rid: realRoom }) : m);
    });
    server.onMessage((m) => ws.send(m));
  });
  await page.goto(`http://127.0.0.1:${signal.port}/#k=${newKey()}`);
  await waitFor(async () => (await rtc(page))?.badOffers === 1, 'the offer to fail its check', 20000);
  await page.waitForSelector('#notice:not([hidden])');
  assert.equal(await page.textContent('#nTitle'), 'This link does not match the computer');
  const fail = await waitFor(() => connectLog(host).find((r) => r.result === 'fail'), 'the host\'s verdict', 40000);
  assert.equal(fail.reason, 'timeout');
  assert.ok(!connectLog(host).some((r) => r.result === 'ok'));
  assert.equal((await rtc(page)).answers, 0);
  assert.ok(!sent.some((m) => m.t === 'sig' && m.d && m.d.kind === 'answer'), 'no answer left the page');
  await page.close();
}));
