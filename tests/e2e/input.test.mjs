// Phone input as it reaches the host: the host's input journal holds one line
// per input message, so each gesture is checked by what the host received.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Host, launchPhone, openPage, hook, waitFor, pictureRect, sleep, Touch } from './support.mjs';

let host, phone, page, touch;
before(async () => {
  host = new Host();
  await host.start();
  phone = await launchPhone();
  page = await openPage(phone, host);
  await settled(page);
  touch = await Touch.for(page);
});
after(async () => {
  await phone?.close();
  if (host) { if (process.exitCode) console.error(host.log()); await host.dispose(); }
});

// The page asks for its own shape when it opens (a zoom on the test host,
// which fills the stage); these gestures are about a letterboxed picture of
// the whole screen, as a person picks it in the view control.
async function settled(p) {
  await p.click('#bView');
  await p.click('#viewChoices button:text-is("Whole screen")');
  await waitFor(async () => {
    const t = await hook(p), r = await pictureRect(p);
    return t.view?.mode === 'fit' && r.vw === 1280 && r.vh === 720;
  }, 'the whole screen');
}

// Runs fn, then returns the journal lines it caused once `until` holds for them.
async function capture(fn, until, what) {
  const start = host.inputs().length;
  await fn();
  return waitFor(() => { const got = host.inputs().slice(start); return until(got) && got; }, what);
}
const at = (r, fx, fy) => [r.x + fx * r.w, r.y + fy * r.h];
const near = (a, b, tol = 0.012) => Math.abs(a - b) <= tol;
const kinds = (ms) => ms.map((m) => m.t);

test('every input message carries a fresh, increasing integer id', async () => {
  const r = await pictureRect(page);
  const got = await capture(async () => {
    for (const f of [0.2, 0.4, 0.6]) await page.touchscreen.tap(...at(r, f, 0.5));
  }, (g) => g.filter((m) => m.t === 'mu').length === 3, 'three taps');
  for (const m of got) assert.ok(Number.isInteger(m.id) && m.id >= 1, JSON.stringify(m));
  for (let i = 1; i < got.length; i++) assert.ok(got[i].id > got[i - 1].id, 'ids increase');
});

test('touch mode: tap, long press and drag', async (t) => {
  const r = await pictureRect(page);
  await t.test('a tap is a left click at the tapped fraction of the picture', async () => {
    const got = await capture(() => page.touchscreen.tap(...at(r, 0.25, 0.3)), (g) => g.some((m) => m.t === 'mu'), 'tap');
    assert.deepEqual(kinds(got), ['md', 'mu']);
    for (const m of got) { assert.equal(m.b, 1); assert.ok(near(m.x, 0.25) && near(m.y, 0.3), JSON.stringify(m)); }
  });
  await t.test('a long press is a right click', async () => {
    const got = await capture(async () => {
      const before = host.inputs().length;
      await touch.send('touchStart', [at(r, 0.7, 0.6)]);
      // Held until the page has taken it as a long press, however late its timer fires.
      await waitFor(() => host.inputs().length > before, 'the long press to be recognised');
      await touch.send('touchEnd', []);
    }, (g) => g.some((m) => m.t === 'mu'), 'long press');
    assert.deepEqual(kinds(got), ['md', 'mu']);
    for (const m of got) { assert.equal(m.b, 2); assert.ok(near(m.x, 0.7) && near(m.y, 0.6)); }
  });
  await t.test('a drag presses at the start, moves, and releases at the end', async () => {
    const pts = [];
    for (let i = 0; i <= 10; i++) pts.push(at(r, 0.2 + 0.05 * i, 0.8 - 0.05 * i));
    const got = await capture(() => touch.drag(pts), (g) => g.some((m) => m.t === 'mu'), 'drag');
    assert.equal(got[0].t, 'md');
    assert.ok(near(got[0].x, 0.2) && near(got[0].y, 0.8), JSON.stringify(got[0]));
    assert.equal(got.at(-1).t, 'mu');
    assert.ok(near(got.at(-1).x, 0.7) && near(got.at(-1).y, 0.3), JSON.stringify(got.at(-1)));
    const moves = got.filter((m) => m.t === 'mv');
    assert.ok(moves.length >= 2, 'moves in between');
    assert.deepEqual([...new Set(kinds(got.slice(1, -1)))], ['mv']);
    assert.ok(near(moves.at(-1).x, 0.7) && near(moves.at(-1).y, 0.3));
  });
  await t.test('coordinates beyond the picture are clamped to its edge', async () => {
    const got = await capture(() => page.touchscreen.tap(r.x + r.w / 2, Math.max(2, r.y - 40)), (g) => g.some((m) => m.t === 'mu'), 'tap above');
    assert.equal(got[0].y, 0);
    assert.ok(near(got[0].x, 0.5));
  });
});

test('two fingers scroll: the content follows the fingers', async () => {
  const r = await pictureRect(page);
  const [x, y] = at(r, 0.5, 0.3);
  const got = await capture(async () => {
    await touch.send('touchStart', [[x - 40, y], [x + 40, y]]);
    for (let i = 1; i <= 8; i++) { await sleep(20); await touch.send('touchMove', [[x - 40, y + 10 * i], [x + 40, y + 10 * i]]); }
    await sleep(50);
    await touch.send('touchEnd', []);
  }, (g) => g.filter((m) => m.t === 'sc').reduce((s, m) => s + m.dy, 0) > 0 && g.length >= 2, 'scroll');
  await sleep(300);
  const sc = host.inputs().slice(-got.length - 5).filter((m) => m.t === 'sc');
  assert.ok(got.every((m) => m.t === 'sc'), 'no clicks: ' + kinds(got));
  const sum = sc.reduce((s, m) => s + m.dy, 0);
  const scale = (await hook(page)).config ? (await pictureRect(page)).vw / r.w : 1;
  // 80 CSS pixels of finger travel in video pixels (the part after the start slop may be lost).
  assert.ok(sum > 40 * scale && sum <= 81 * scale, `dy sum ${sum}, scale ${scale}`);
  assert.ok(sc.every((m) => Math.abs(m.dx) <= 1));
});

test('trackpad mode: strokes are relative moves, a tap is a button press and release', async () => {
  await page.tap('#bMode');
  assert.equal((await hook(page)).mode, 'trackpad');
  try {
    const r = await pictureRect(page);
    const pts = [];
    for (let i = 0; i <= 10; i++) pts.push(at(r, 0.3 + 0.04 * i, 0.5));
    const moved = await capture(() => touch.drag(pts), (g) => g.some((m) => m.t === 'rel'), 'relative moves');
    await sleep(200);
    assert.ok(moved.every((m) => m.t === 'rel'), kinds(moved).join());
    const dx = moved.reduce((s, m) => s + m.dx, 0), dy = moved.reduce((s, m) => s + m.dy, 0);
    assert.ok(dx > 20 && Math.abs(dy) < dx / 5, `dx ${dx} dy ${dy}`);
    const tap = await capture(() => page.touchscreen.tap(...at(r, 0.5, 0.5)), (g) => g.length >= 2, 'trackpad tap');
    assert.deepEqual(tap.map((m) => [m.t, m.b, m.d]), [['rb', 1, 1], ['rb', 1, 0]]);
  } finally {
    await page.tap('#bMode');
  }
});

test('keyboard: typed text, named keys and the modifier bar', async (t) => {
  await page.tap('#bKbd');
  await waitFor(() => page.evaluate(() => document.activeElement.id === 'kb'), 'the keyboard field to take focus');
  assert.equal(await page.isVisible('#keys'), true, 'the key bar shows with the keyboard');

  await t.test('typed text arrives as text messages', async () => {
    const want = 'Hello, wörld 42!';
    const got = await capture(() => page.keyboard.type(want), (g) => g.map((m) => m.s).join('') === want, 'typed text');
    assert.ok(got.every((m) => m.t === 'text'));
  });
  await t.test('Enter, Backspace, Tab, Escape and arrows arrive as named keys', async () => {
    const keys = ['Enter', 'Backspace', 'Tab', 'Escape', 'ArrowLeft', 'ArrowRight', 'ArrowUp', 'ArrowDown'];
    const got = await capture(async () => { for (const k of keys) await page.keyboard.press(k); }, (g) => g.length >= keys.length, 'keys');
    assert.deepEqual(got.map((m) => [m.t, m.k, m.m]),
      ['Enter', 'Backspace', 'Tab', 'Escape', 'Left', 'Right', 'Up', 'Down'].map((k) => ['key', k, 0]));
  });
  await t.test('a modifier applies to the next key only, and a letter becomes a key', async () => {
    const got = await capture(async () => {
      await page.tap('#keys [data-mod="2"]');
      await page.keyboard.type('C');
      await page.keyboard.type('x');
    }, (g) => g.length >= 2, 'ctrl+c then x');
    assert.deepEqual(got.map((m) => [m.t, m.k ?? m.s, m.m]), [['key', 'c', 2], ['text', 'x', undefined]]);
  });
  await t.test('a modifier tapped twice stays on; key bar buttons send keys', async () => {
    const got = await capture(async () => {
      await page.tap('#keys [data-mod="1"]');
      await page.tap('#keys [data-mod="1"]');
      await page.tap('#keys [data-mod="8"]');
      await page.tap('#keys [data-key="Right"]');
      await page.tap('#keys [data-key="Right"]');
      await page.tap('#keys [data-mod="1"]');
      await page.tap('#keys [data-key="Escape"]');
    }, (g) => g.length >= 3, 'key bar keys');
    assert.deepEqual(got.map((m) => [m.k, m.m]), [['Right', 9], ['Right', 1], ['Escape', 0]]);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'kb', 'the keyboard stays up');
  });
  await t.test('IME composition is sent once, when it ends', async () => {
    const cdp = await page.context().newCDPSession(page);
    const got = await capture(async () => {
      await cdp.send('Input.imeSetComposition', { text: 'に', selectionStart: 1, selectionEnd: 1 });
      await cdp.send('Input.imeSetComposition', { text: 'にほん', selectionStart: 3, selectionEnd: 3 });
      await cdp.send('Input.imeSetComposition', { text: '日本', selectionStart: 2, selectionEnd: 2 });
      await cdp.send('Input.insertText', { text: '日本' });
      await sleep(300);
      await page.keyboard.type('a');
    }, (g) => g.some((m) => m.s === 'a'), 'composed text');
    assert.deepEqual(got.map((m) => [m.t, m.s]), [['text', '日本'], ['text', 'a']]);
  });
  await page.tap('#bKbd');
  assert.notEqual(await page.evaluate(() => document.activeElement.id), 'kb');
});

test('desktop browser: mouse buttons, moves and the wheel', async () => {
  const desk = await launchPhone({ desktop: true });
  try {
    const dp = await openPage(desk, host);
    await settled(dp);
    const r = await pictureRect(dp);
    const got = await capture(async () => {
      await dp.mouse.move(...at(r, 0.1, 0.1));
      await dp.mouse.move(...at(r, 0.4, 0.5), { steps: 4 });
      await sleep(50);
      await dp.mouse.down();
      await dp.mouse.up();
      await dp.mouse.down({ button: 'right' });
      await dp.mouse.up({ button: 'right' });
      await dp.mouse.wheel(0, 120);
    }, (g) => g.some((m) => m.t === 'sc'), 'mouse input');
    const clicks = got.filter((m) => m.t === 'md' || m.t === 'mu').map((m) => [m.t, m.b]);
    assert.deepEqual(clicks, [['md', 1], ['mu', 1], ['md', 2], ['mu', 2]]);
    const md = got.find((m) => m.t === 'md');
    assert.ok(near(md.x, 0.4) && near(md.y, 0.5), JSON.stringify(md));
    assert.ok(got.some((m) => m.t === 'mv'), 'pointer moves');
    const sc = got.filter((m) => m.t === 'sc');
    assert.ok(sc.reduce((s, m) => s + m.dy, 0) < 0, 'wheel down moves the content up');
    assert.deepEqual(desk.errors, []);
  } finally {
    await desk.close();
  }
});
