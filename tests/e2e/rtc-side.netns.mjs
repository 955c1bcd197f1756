// The side features over the internet link: replies come on the computer's
// "file" channel, requests and uploads go on "ctl" within its message size;
// and the paused screen, which tries again by itself at most once per
// interval. Opens peer connections: runs only inside a private network
// namespace (tests/tools/in-netns.sh).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { hook, waitFor, sleep } from './support.mjs';
import { launchRtcPhone, ScriptedSignal, FakeHost, negotiate, newKey } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

let phone, signal;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchRtcPhone();
});
after(async () => { await phone?.close(); await signal?.stop(); });

async function livePage(init) {
  signal.onJoin = null;
  const key = newKey();
  const page = await phone.page();
  if (init) await page.addInitScript(init);
  const host = await FakeHost.open(phone.context, signal);
  const before = signal.of('join').length;
  await page.goto(signal.link(key));
  const join = await waitFor(() => signal.of('join')[before], 'the join');
  const neg = await negotiate(signal, host, join.sock, key);
  await waitFor(async () => (await hook(page))?.hello, 'hello over the control channel');
  return { page, host, key, neg, close: async () => { neg.stop(); await page.close(); await host.page.close(); } };
}

const fromPage = async (host, t) => (await host.got()).filter((m) => m.t === t);

test('listing, download and upload: requests on "ctl", replies on "file"', async () => {
  const s = await livePage();
  try {
    await s.page.click('#bFiles');
    const ls = await waitFor(async () => (await fromPage(s.host, 'ls'))[0], 'the ls on ctl');
    assert.equal(ls.path, '');
    await s.host.send('file', JSON.stringify({ t: 'lsr', path: '', more: false, items: [
      { n: 'b.bin', dir: false, size: 70000, mt: 1700000000 }, { n: 'Music', dir: true, size: 0, mt: 1700000000 }] }));
    await waitFor(async () => (await hook(s.page)).files?.items.length === 2, 'the listing');
    assert.deepEqual((await hook(s.page)).files.items, ['Music', 'b.bin']);

    const data = crypto.randomBytes(70000);
    const dl = s.page.waitForEvent('download');
    await s.page.click('#filesList .item[data-name="b.bin"]');
    const fget = await waitFor(async () => (await fromPage(s.host, 'fget'))[0], 'the fget');
    assert.equal(fget.path, 'b.bin');
    for (let i = 0; i < 2; i++) {
      await s.host.send('file', JSON.stringify({ t: 'fdat', id: fget.id, i, n: 2, name: 'b.bin', size: data.length,
        d: data.subarray(i * 49152, (i + 1) * 49152).toString('base64') }));
    }
    assert.ok(fs.readFileSync(await (await dl).path()).equals(data), 'bytes equal');

    const up = crypto.randomBytes(300000);
    await s.page.setInputFiles('#filesPick', [{ name: 'up.bin', mimeType: 'application/octet-stream', buffer: up }]);
    const puts = await waitFor(async () => { const p = await fromPage(s.host, 'fput'); return p.length && p.at(-1).i === p.at(-1).n - 1 && p; }, 'every chunk');
    assert.ok(Buffer.concat(puts.map((m) => Buffer.from(m.d, 'base64'))).equals(up));
    assert.ok(puts.every((m) => Buffer.byteLength(JSON.stringify(m)) <= 65536), 'each message within 64 KiB');
    await s.host.send('file', JSON.stringify({ t: 'fdone', id: puts[0].id, ok: true, name: 'up 2.bin' }));
    await waitFor(async () => (await hook(s.page)).transfers.find((t) => t.name === 'up.bin')?.savedAs === 'up 2.bin', 'the fdone');
    // The clipboard's "clip" comes on ctl, as every broadcast does.
    await s.host.send('ctl', JSON.stringify({ t: 'clip', s: 'over the internet' }));
    await waitFor(async () => (await hook(s.page)).clip === 'over the internet', 'the chip');
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});

test('paused: the computer\'s text, and tries by itself no more often than the interval until one gets through', async () => {
  const EVERY = 4000;
  const s = await livePage(`window.__tolvaneTest = { pauseRetryMs: ${EVERY}, connectMs: 1500 };`);
  const joins = [];
  try {
    // A paused computer never offers: the join only times out.
    signal.onJoin = (ws) => { joins.push({ at: Date.now(), ws }); if (joins.length <= 2) signal.send(ws, { t: 'joined', cid: 9, ice: [] }); };
    await s.host.send('ctl', JSON.stringify({ t: 'paused', msg: 'Paused on your computer.' }));
    await s.page.waitForSelector('#reconnectBtn');
    await s.page.screenshot({ path: '/work/shots/page-paused.png' }).catch(() => {});
    await s.host.close();
    await waitFor(async () => (await hook(s.page)).state === 'held', 'the session held');
    assert.match(await s.page.textContent('#pauseStatus'), /tries again by itself in \d+ s/);
    await waitFor(() => joins.length >= 3, 'three tries by itself', 60000);
    for (let k = 1; k < joins.length; k++) {
      // The page waits the whole interval; arrival here may bunch up by a little.
      assert.ok(joins[k].at - joins[k - 1].at >= EVERY - 1500, 'tries ' + (joins[k].at - joins[k - 1].at) + ' ms apart');
    }
    const t = await hook(s.page);
    assert.equal(t.paused, 'Paused on your computer.');
    assert.equal(await s.page.textContent('#nTitle'), 'Paused on the computer', 'the card stays over the time-outs');
    // The third try is answered: the card goes, the session runs.
    const neg = await negotiate(signal, s.host, joins[2].ws, s.key);
    try {
      await waitFor(async () => { const h = await hook(s.page); return h.state === 'live' || h.state === 'open'; }, 'the session again');
      await s.page.waitForSelector('#notice', { state: 'hidden' });
      assert.equal((await hook(s.page)).pause.waiting, false);
    } finally { neg.stop(); }
    assert.deepEqual(phone.errors, []);
  } finally { signal.onJoin = null; await s.close(); }
});
