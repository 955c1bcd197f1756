// The internet link on a lossy network: the real rendezvous server, the real
// host in test-pattern mode and the page in Chromium, with nftables dropping
// one packet in twenty at random on the input hook of this test's own
// namespace (loopback carries both directions, so both lose). The video
// channel never retransmits: frames arrive incomplete, the page drops them
// and asks for a key frame, and the reliable control channel keeps text and
// input flowing. Runs only inside tests/tools/in-netns.sh's namespace.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { Host, hook, waitFor } from './support.mjs';
import { launchRtcPhone, SignalServer, internetLink, connectLog } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I change the namespace\'s packet filter');

const REGISTERED = '[rtc] 待ち合わせ役に登録しました';
const TABLE = 'tolvane_loss';

const nft = (script) => execFileSync('nft', ['-f', '-'], { input: script });
// UDP only: the peer connection's packets. The signalling socket and the
// browser's own page load stay whole, as they would on a lossy radio link
// under TCP's retransmissions.
function startLoss(pct) {
  nft(`table inet ${TABLE} {
  chain input {
    type filter hook input priority 0; policy accept;
    meta l4proto udp numgen random mod 100 < ${pct} counter drop
  }
}`);
}
function stopLoss() { try { execFileSync('nft', ['delete', 'table', 'inet', TABLE], { stdio: 'ignore' }); } catch { /* not there */ } }
const lost = () => {
  const m = execFileSync('nft', ['list', 'table', 'inet', TABLE]).toString().match(/packets (\d+)/);
  return m ? Number(m[1]) : 0;
};

let phone, signal, host;
before(async () => {
  phone = await launchRtcPhone();
  signal = new SignalServer();
  await signal.start();
  // The plain test pattern: with scroll noise nearly every key frame would
  // lose a packet at this rate and the picture could take minutes to return.
  host = new Host({ signal: signal.wsBase });
  await host.start();
  await waitFor(() => host.log().includes(REGISTERED), 'the host to register', 30000);
});
after(async () => { stopLoss(); await phone?.close(); await host?.dispose(); await signal?.dispose(); });

const rtc = async (page) => (await hook(page))?.rtc;

test('5 % loss: incomplete frames are dropped, the picture comes back with a key frame, text and input go on', async () => {
  const page = await phone.page();
  try {
    await page.goto(internetLink(host));
    await waitFor(async () => (await hook(page))?.hello, 'hello over the internet link', 40000);
    await waitFor(async () => (await hook(page)).drawn > 0, 'a first picture', 40000);
    startLoss(5);

    // Losses hit frames: the page counts them incomplete and then holds the
    // deltas that follow until a key frame. A chunk that is lost whole leaves
    // a gap in frame numbers instead, which waits the same way.
    const hit = await waitFor(async () => { const r = await rtc(page); return r.incomplete + r.gaps > 0 && r.waited > 0 && r; },
      'an incomplete frame and deltas held back', 60000);
    assert.ok(hit.asks > 0, 'a key frame asked for: ' + JSON.stringify(hit));
    const drawnThen = (await hook(page)).drawn;
    // The picture comes back: a key frame gets through whole after the loss,
    // and pictures are drawn again.
    await waitFor(async () => (await rtc(page)).keys > hit.keys, 'a whole key frame after the loss', 90000);
    await waitFor(async () => (await hook(page)).drawn >= drawnThen + 3, 'pictures after the loss', 90000);
    const t = await hook(page);
    assert.equal(t.error, null, 'no decoder error: ' + JSON.stringify(t));

    // Text: pongs keep coming over the reliable control channel.
    const rtt = t.rtt;
    await waitFor(async () => (await hook(page)).rtt !== rtt, 'a pong under loss', 30000);
    // Input: a tap reaches the host's input journal.
    const before = host.inputs().filter((m) => m.t === 'mu').length;
    await page.touchscreen.tap(195, 300);
    await waitFor(() => host.inputs().filter((m) => m.t === 'mu').length > before, 'the tap at the host', 30000);

    assert.ok(lost() > 0, 'the filter dropped packets');
    assert.equal((await rtc(page)).phase, 'live', 'the session lived through it');
    // The host's journal shows the session took the page's key frame requests
    // in stride: it succeeded and has not ended.
    const log = connectLog(host);
    assert.ok(log.some((r) => r.src === 'host' && r.result === 'ok'), JSON.stringify(log));
    assert.ok(!log.some((r) => r.src === 'host' && (r.result === 'ended' || r.result === 'fail')), JSON.stringify(log));
    assert.deepEqual(phone.errors, []);
  } catch (e) {
    e.message += '\n--- host log ---\n' + host.log().slice(-4000);
    throw e;
  } finally {
    stopLoss();
    await page.close();
  }
});
