// The view control on a 390x844 phone against the host in test mode: the
// page's choices reach the host, the applied mode comes back, and the picture
// takes the shape the host made. A pinch sets the zoom with one request.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Host, launchPhone, openPage, hook, waitFor, pictureRect, Touch, sleep } from './support.mjs';

let host, phone, page;
before(async () => {
  host = new Host();
  await host.start();
  phone = await launchPhone({ viewport: { width: 390, height: 844 } });
  page = await openPage(phone, host);
});
after(async () => {
  await phone?.close();
  if (host) { if (process.exitCode) console.error(host.log()); await host.dispose(); }
});

const requests = () => host.log().split('\n').filter((l) => l.startsWith('[view] 要求 '));

async function choose(label) {
  await page.click('#bView');
  await page.click(`#viewChoices button:text-is("${label}")`);
  assert.equal(await page.isHidden('#viewMenu'), true, 'the menu closes after a choice');
}

// Waits for the applied mode and a picture of that orientation.
async function shaped(mode, portrait) {
  return waitFor(async () => {
    const t = await hook(page), r = await pictureRect(page);
    if (t.view?.mode !== mode || !r.vw) return false;
    return (r.vh > r.vw) === portrait && { t, r };
  }, `${mode} with a ${portrait ? 'portrait' : 'landscape'} picture`);
}

test('the page asks for its own shape and switches modes from the control', async () => {
  // On opening: "auto" for the stage, which the test host applies as a zoom.
  const first = await shaped('zoom', true);
  const stage = await page.evaluate(() => ({ w: innerWidth, h: document.getElementById('stage').clientHeight }));
  assert.ok(Math.abs(first.r.vw / first.r.vh - stage.w / stage.h) < 0.02, JSON.stringify([first.r, stage]));
  assert.match(requests()[0], /^\[view\] 要求 390x\d+pt 方式=auto zoom=1\.0$/);

  await choose('Whole screen');
  const fit = await shaped('fit', false);
  assert.equal(fit.r.vw, 1280);
  assert.equal(fit.r.vh, 720);
  assert.equal(await page.textContent('#viewLabel'), 'Whole');

  await choose('Portrait display');
  const v = await shaped('virtual', true);
  assert.equal(v.r.vh, 1280);
  assert.equal(await page.textContent('#viewLabel'), 'Portrait');

  await choose('Zoom 3×');
  const z = await shaped('zoom', true);
  assert.ok(Math.abs(z.t.view.rh - 982 / 3) < 0.01, JSON.stringify(z.t.view));
  assert.equal(await page.textContent('#viewLabel'), 'Zoom 3×');
  assert.equal(await page.getAttribute('#viewChoices button:text-is("Zoom 3×")', 'aria-checked'), 'true');
});

test('a pinch sets the zoom level with one request per gesture', async () => {
  await choose('Zoom 1×');
  await waitFor(async () => (await hook(page)).view?.rh === 982, 'zoom 1×');
  const touch = await Touch.for(page);
  const before = requests().length, inputsBefore = host.inputs().length;
  const c = { x: 195, y: 380 };
  await touch.send('touchStart', [[c.x - 40, c.y], [c.x + 40, c.y]]);
  for (let i = 1; i <= 10; i++) {
    await sleep(16);
    await touch.send('touchMove', [[c.x - 40 - 4 * i, c.y], [c.x + 40 + 4 * i, c.y]]);
  }
  await touch.send('touchEnd', []);
  const t = await waitFor(async () => { const t = await hook(page); return t.view?.rh === 982 / 2 && t; }, 'zoom 2× from the pinch');
  assert.equal(t.view.mode, 'zoom');
  await sleep(800);
  const made = requests().slice(before);
  assert.deepEqual(made.map((l) => l.replace(/.* zoom=/, '')), ['2.0'], made.join('\n'));
  const clicks = host.inputs().slice(inputsBefore).filter((m) => m.t === 'md' || m.t === 'mu');
  assert.deepEqual(clicks, [], 'a pinch is no two-finger tap');
});
