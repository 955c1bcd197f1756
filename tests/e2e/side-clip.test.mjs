// Clipboard both ways against a scripted computer: the chip for "clip",
// "Send clipboard" and "Send and paste", and the field for browsers that do
// not let the page read the clipboard.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchPhone, hook, waitFor, sleep } from './support.mjs';
import { ScriptedHost } from './side-host.mjs';

let phone, host;
before(async () => {
  phone = await launchPhone();
  host = new ScriptedHost();
  await host.start();
  await phone.context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: `http://127.0.0.1:${host.port}` });
});
after(async () => { await phone?.close(); await host?.stop(); });

async function open(init) {
  const page = await phone.page();
  if (init) await page.addInitScript(init);
  await page.goto(host.url);
  await waitFor(async () => (await hook(page))?.hello, 'the hello message');
  await waitFor(() => host.socks.length && host.of('ping').length, 'the session');
  return page;
}

test('a copy on the computer shows as a chip, a tap puts it on the phone\'s clipboard; odd "clip" messages change nothing', async () => {
  const page = await open();
  const text = 'Hello from the desk ✓\nsecond line';
  host.sendAll({ t: 'clip', s: text });
  await page.waitForSelector('#clipChip:not([hidden])');
  assert.match(await page.textContent('#clipChip .tx'), /Copied on computer · Hello from the desk ✓ second line/);
  await page.screenshot({ path: '/work/shots/page-clip-chip.png' }).catch(() => {});
  for (const bad of [{ t: 'clip' }, { t: 'clip', s: 5 }, { t: 'clip', s: '' }, '{"t":"clip","s":']) host.sendAll(bad);
  await sleep(300);
  assert.equal((await hook(page)).clip, text, 'the last good text stays');
  await page.click('#clipChip .tx');
  await waitFor(async () => (await hook(page)).clipCopied, 'the copy');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), text);
  await page.waitForSelector('#clipChip', { state: 'hidden' });
  // A long text shows shortened; the whole text is copied.
  const long = 'x'.repeat(5000);
  host.sendAll({ t: 'clip', s: long });
  await waitFor(async () => (await hook(page)).clip === long, 'the long text');
  assert.ok((await page.textContent('#clipChip .tx')).length < 120);
  await page.click('#clipChip .tx');
  await waitFor(async () => (await page.evaluate(() => navigator.clipboard.readText())) === long, 'the long copy');
  assert.deepEqual(phone.errors, []);
  await page.close();
});

test('"Send clipboard" sends the phone\'s text; "Send and paste" sends it, then Ctrl+V as a key', async () => {
  const page = await open();
  await page.evaluate(() => navigator.clipboard.writeText('from the phone'));
  await page.click('#bClip');
  await page.waitForSelector('#clipMenu:not([hidden])');
  assert.equal(await page.getAttribute('#bClip', 'aria-pressed'), 'true');
  await page.screenshot({ path: '/work/shots/page-clip-menu.png' }).catch(() => {});
  const n0 = host.got.length;
  await page.click('#clipSend');
  await waitFor(() => host.of('setclip').length === 1, 'the setclip');
  assert.equal(host.of('setclip')[0].s, 'from the phone');
  await sleep(500);
  assert.ok(!host.got.slice(n0).some((m) => m.t === 'key'), 'no key for a plain send');

  await page.evaluate(() => navigator.clipboard.writeText('paste me'));
  await page.click('#clipPaste');
  const key = await waitFor(() => host.got.find((m) => m.t === 'key'), 'the Ctrl+V');
  assert.deepEqual({ k: key.k, m: key.m }, { k: 'v', m: 2 });
  assert.ok(Number.isInteger(key.id), 'sent as typed keys are, with an input id');
  const order = host.got.filter((m) => m.t === 'setclip' || m.t === 'key').map((m) => m.t + ':' + (m.s || m.k));
  assert.deepEqual(order, ['setclip:from the phone', 'setclip:paste me', 'key:v']);
  // The Files button puts the menu away.
  await page.click('#bFiles');
  await page.waitForSelector('#clipMenu', { state: 'hidden' });
  assert.deepEqual(phone.errors, []);
  await page.close();
});

test('where the page may not read the clipboard, the text is pasted into a field and sent from there', async () => {
  const page = await open(() => {
    Object.defineProperty(Navigator.prototype, 'clipboard', { get() { return { readText: () => Promise.reject(new DOMException('no', 'NotAllowedError')), writeText: () => Promise.reject(new DOMException('no', 'NotAllowedError')) }; } });
  });
  const before = host.of('setclip').length;
  const keys = () => host.got.filter((m) => m.t === 'key' && m.k === 'v').length;
  const keys0 = keys();
  await page.click('#bClip');
  await page.click('#clipPaste');
  await page.waitForSelector('#clipText');
  await page.fill('#clipText', 'typed by hand');
  await page.screenshot({ path: '/work/shots/page-clip-field.png' }).catch(() => {});
  // Typing in the field is not sent to the computer as keys.
  assert.ok(!host.got.some((m) => m.t === 'text' && m.s.includes('typed')));
  await page.click('#clipTextSend');
  await waitFor(() => host.of('setclip').length === before + 1, 'the setclip');
  assert.equal(host.of('setclip').at(-1).s, 'typed by hand');
  await waitFor(() => keys() === keys0 + 1, 'the Ctrl+V after it');
  assert.deepEqual(phone.errors, []);
  await page.close();
});
