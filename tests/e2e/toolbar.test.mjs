// The toolbar on a phone held upright (390x844): every button fits without
// touching another and keeps its name, and the side panels (Apps, Files, the
// clipboard menu) open one at a time.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchPhone, hook, waitFor } from './support.mjs';
import { ScriptedHost } from './scripted-host.mjs';

let phone, host;
before(async () => {
  phone = await launchPhone({ viewport: { width: 390, height: 844 } });
  host = new ScriptedHost();
  host.onMessage = (m, ws) => {
    if (m.t === 'apps') ws.send(JSON.stringify({ t: 'appl', items: [], first: true, done: true }));
    if (m.t === 'ls') ws.send(JSON.stringify({ t: 'lsr', path: m.path, items: [], more: false }));
  };
  await host.start();
});
after(async () => { await phone?.close(); await host?.stop(); });

const boxes = (page) => page.$$eval('#bar button', (els) => els.filter((e) => !e.hidden && e.offsetParent !== null).map((e) => {
  const r = e.getBoundingClientRect();
  return { id: e.id, left: r.left, right: r.right, top: r.top, bottom: r.bottom, name: e.textContent.trim(), title: e.title };
}));

const openPanels = (page) => page.evaluate(() => ['apps', 'files', 'clipMenu']
  .filter((id) => { const e = document.getElementById(id); return e && !e.hidden && e.getBoundingClientRect().height > 0; }));

test('at 390 px the buttons sit side by side inside the screen, each with its name', async () => {
  const page = await phone.page();
  await page.goto(host.url);
  await waitFor(async () => (await hook(page))?.hello, 'hello');
  const b = await boxes(page);
  assert.ok(b.length >= 9, JSON.stringify(b));
  for (const x of b) {
    assert.ok(x.left >= 0 && x.right <= 390, `${x.id} inside the screen: ${JSON.stringify(x)}`);
    assert.ok(x.right - x.left >= 30, `${x.id} wide enough to tap`);
    assert.ok(x.name && x.title, `${x.id} named`);
  }
  for (let i = 0; i < b.length; i++) {
    for (let j = i + 1; j < b.length; j++) {
      const [p, q] = [b[i], b[j]];
      const apart = p.right <= q.left || q.right <= p.left || p.bottom <= q.top || q.bottom <= p.top;
      assert.ok(apart, `${p.id} and ${q.id} overlap`);
    }
  }
  // Nothing drawn by a button spills past it (a label wider than its button would).
  const spill = await page.$$eval('#bar button', (els) => els.filter((e) => e.scrollWidth > e.clientWidth + 1).map((e) => e.id));
  assert.deepEqual(spill, []);
  await page.screenshot({ path: '/work/shots/toolbar-390.png' });
});

test('opening one side panel closes the others', async () => {
  const page = await phone.page();
  await page.goto(host.url);
  await waitFor(async () => (await hook(page))?.hello, 'hello');
  const only = async (id) => {
    await waitFor(async () => JSON.stringify(await openPanels(page)) === JSON.stringify([id]), `${id} alone`, 10000);
  };
  await page.tap('#bApps');
  await only('apps');
  await page.tap('#bFiles');
  await only('files');
  assert.equal(await page.getAttribute('#bApps', 'aria-pressed'), 'false');
  assert.equal(await page.getAttribute('#bFiles', 'aria-pressed'), 'true');
  await page.tap('#bClip');
  await only('clipMenu');
  assert.equal(await page.getAttribute('#bFiles', 'aria-pressed'), 'false');
  await page.tap('#bApps');
  await only('apps');
  assert.equal(await page.getAttribute('#bClip', 'aria-pressed'), 'false');
  await page.tap('#bFiles');
  await only('files');
  // Closing the open one leaves none.
  await page.tap('#bFiles');
  await waitFor(async () => (await openPanels(page)).length === 0, 'no panel', 10000);
});
