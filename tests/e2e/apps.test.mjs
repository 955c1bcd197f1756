// The Apps panel against a scripted host: the grid fills batch by batch with
// the icons, a running badge and names; a tap sends "open" with the switch.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchPhone, hook, waitFor } from './support.mjs';
import { ScriptedHost, solidIcon } from './scripted-host.mjs';

let phone;
before(async () => { phone = await launchPhone(); });
after(async () => { await phone?.close(); });

const COLOURS = [[220, 30, 40], [20, 200, 60], [30, 60, 230], [240, 180, 20]];
const entries = Array.from({ length: 25 }, (_, i) => ({
  n: i === 0 ? 'Text Editor' : `App ${i}`, p: `/usr/share/applications/app${i}.desktop`, r: i === 0,
  ic: i === 24 ? '' : solidIcon(COLOURS[i % COLOURS.length]),
}));

test('the grid fills batch by batch and a tap opens the application', async () => {
  const host = new ScriptedHost();
  await host.start();
  let release = null;
  host.onMessage = (m, ws) => {
    if (m.t !== 'apps') return;
    const batch = (k) => ws.send(JSON.stringify({ t: 'appl', items: entries.slice(k * 12, k * 12 + 12), first: k === 0, done: k === 2 }));
    batch(0);
    // The rest only when the test says: the spinner must still turn meanwhile.
    release = () => { batch(1); batch(2); };
  };
  try {
    const page = await phone.page();
    await page.goto(host.url);
    await waitFor(async () => (await hook(page))?.hello, 'hello');
    await page.tap('#bApps');
    await waitFor(() => release, 'the apps request');
    await waitFor(async () => (await page.locator('#appsGrid .app').count()) === 12, 'the first batch');
    assert.equal(await page.locator('#appsSpin').isVisible(), true);
    release();
    await waitFor(async () => (await page.locator('#appsGrid .app').count()) === 25, 'all batches');
    assert.equal(await page.locator('#appsSpin').isVisible(), false);
    // Icons decoded as pictures, the running badge only on the running one.
    const loaded = await page.$$eval('#appsGrid .app img', (imgs) => imgs.map((i) => i.complete && i.naturalWidth));
    assert.deepEqual(loaded, Array(24).fill(96));
    assert.equal(await page.locator('#appsGrid .app .blank').count(), 1);
    assert.equal(await page.locator('#appsGrid .app .run').count(), 1);
    assert.equal(await page.locator('#appsGrid .app').first().locator('.run').count(), 1);
    await page.screenshot({ path: '/work/shots/apps-grid.png' });

    // Asking again starts over: "first" clears what was there.
    await page.tap('#appsClose');
    await page.tap('#bApps');
    await waitFor(() => host.count('apps') === 2, 'the second request');
    await waitFor(async () => (await page.locator('#appsGrid .app').count()) === 12, 'a fresh first batch');
    release();
    await waitFor(async () => (await page.locator('#appsGrid .app').count()) === 25, 'the second list');

    await page.tap('#appsSolo');
    await page.locator('#appsGrid .app').nth(3).tap();
    await waitFor(() => host.count('open') === 1, 'the open message');
    assert.deepEqual(host.received.find((m) => m.t === 'open'), { t: 'open', p: entries[3].p, solo: true });
    assert.equal(await page.locator('#apps').isVisible(), false);
    assert.deepEqual(phone.errors, []);
    await page.close();
  } finally { await host.stop(); }
});

test('an empty list says so, and hostile names stay text', async () => {
  const host = new ScriptedHost();
  await host.start();
  let n = 0;
  host.onMessage = (m, ws) => {
    if (m.t !== 'apps') return;
    const items = n++ === 0 ? [] : [{ n: '<img src=x onerror="window.__bad=1">', p: '/a.desktop', r: false, ic: '"><script>' }, { bogus: 1 }];
    ws.send(JSON.stringify({ t: 'appl', items, first: true, done: true }));
  };
  try {
    const page = await phone.page();
    await page.goto(host.url);
    await waitFor(async () => (await hook(page))?.hello, 'hello');
    await page.tap('#bApps');
    await waitFor(async () => (await page.locator('#appsGrid .none').count()) === 1, 'the empty note');
    await page.tap('#appsClose');
    await page.tap('#bApps');
    await waitFor(async () => (await page.locator('#appsGrid .app').count()) === 1, 'one tile');
    assert.equal(await page.locator('#appsGrid .app .name').textContent(), '<img src=x onerror="window.__bad=1">');
    assert.equal(await page.locator('#appsGrid .app img').count(), 0);
    assert.equal(await page.evaluate(() => window.__bad), undefined);
    await page.close();
  } finally { await host.stop(); }
});
