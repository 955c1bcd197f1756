// Connection life of the page against the real host: greeting, token refusal,
// reconnection after a restart, the secure-link explanation and host errors.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { Host, launchPhone, openPage, hook, waitFor, pictureRect, sleep, freePort } from './support.mjs';

const WebSocket = createRequire(import.meta.url)('ws');

let phone;
before(async () => { phone = await launchPhone(); });
after(async () => { await phone?.close(); });

async function withHost(opts, fn) {
  const host = new Host(opts);
  try { await host.start(); await fn(host); }
  catch (e) { e.message += '\n--- host log ---\n' + host.log(); throw e; }
  finally { await host.dispose(); }
}

test('greets with the computer and application names and measures the round trip', () => withHost({}, async (host) => {
  const page = await openPage(phone, host);
  const t = await hook(page);
  assert.equal(t.hello.t, 'hello');
  assert.equal(typeof t.hello.name, 'string');
  await waitFor(async () => (await hook(page)).app, 'the app message');
  const pill = await page.textContent('#pill');
  assert.match(pill, new RegExp(t.hello.name));
  assert.match(pill, new RegExp((await hook(page)).app));
  const rtt = await waitFor(async () => (await hook(page)).rtt, 'a pong');
  // A measured time in milliseconds, however busy the machine.
  assert.ok(rtt >= 0 && rtt < 30000, 'round trip ' + rtt);
  assert.deepEqual(phone.errors, []);
  await page.close();
}));

test('a wrong or missing token gets the plain 403 and nothing else', () => withHost({}, async (host) => {
  const page = await phone.page();
  const sockets = [];
  page.on('websocket', (ws) => sockets.push(ws.url()));
  for (const q of ['?t=wrong', '', '?t=', '?x=' + host.token]) {
    const res = await page.goto(`http://127.0.0.1:${host.port}/${q}`);
    assert.equal(res.status(), 403, q);
    assert.equal(await res.text(), '403 Forbidden: a token is required', q);
    assert.match(res.headers()['content-type'], /^text\/plain/);
  }
  await sleep(500);
  assert.deepEqual(sockets, [], 'no page, so no WebSocket');
  // The WebSocket itself refuses a wrong token before upgrading.
  const status = await new Promise((resolve) => {
    const ws = new WebSocket(`ws://127.0.0.1:${host.port}/ws?t=wrong`);
    ws.on('unexpected-response', (_req, res) => { resolve(res.statusCode); ws.terminate(); });
    ws.on('open', () => { resolve('open'); ws.close(); });
    ws.on('error', () => {});
  });
  assert.equal(status, 403);
  await page.close();
}));

test('reconnects by itself after the host restarts on the same port', () => withHost({}, async (host) => {
  const page = await openPage(phone, host);
  assert.equal((await hook(page)).opens, 1);
  await host.stop();
  await waitFor(async () => (await hook(page)).state === 'reconnecting', 'the page to notice the loss');
  assert.match(await page.textContent('#pill'), /Connection lost/);
  await sleep(1500);
  await host.start();
  await waitFor(async () => { const t = await hook(page); return t.opens === 2 && t.state !== 'reconnecting'; }, 'the second connection', 20000);
  // Input reaches the restarted host.
  const r = await pictureRect(page);
  await page.touchscreen.tap(r.x + r.w / 2, r.y + r.h / 2);
  await waitFor(() => host.inputs().some((m) => m.t === 'mu'), 'the tap in the new journal');
  await page.close();
}));

test('over plain http from another machine it links the secure page and certificate, and both work', async () => {
  const host = new Host({ tlsPort: await freePort() });
  const remote = await launchPhone({ extraArgs: ['--host-resolver-rules=MAP tolvane-desk.test 127.0.0.1'], ignoreHTTPSErrors: true });
  try {
    await host.start();
    const page = await remote.page();
    await page.goto(`http://tolvane-desk.test:${host.port}/?t=${host.token}`);
    assert.equal(await page.evaluate(() => window.isSecureContext), false);
    await page.waitForSelector('#notice:not([hidden])');
    const secure = await page.getAttribute('#secureLink', 'href');
    assert.equal(secure, `https://tolvane-desk.test:${host.tlsPort}/?t=${host.token}`);
    assert.equal(await page.getAttribute('#certLink', 'href'), `/cert.cer?t=${host.token}`);
    assert.match(await page.textContent('#notice'), /certificate/i);
    const cert = await page.evaluate(async () => {
      const r = await fetch(document.getElementById('certLink').href);
      return [r.status, r.headers.get('content-type'), (await r.arrayBuffer()).byteLength];
    });
    assert.deepEqual(cert.slice(0, 2), [200, 'application/x-x509-ca-cert']);
    assert.ok(cert[2] > 100, 'a certificate body');
    // The control connection still works underneath.
    await waitFor(async () => (await hook(page)).hello, 'hello over plain http');
    await page.click('text=Continue without picture');
    assert.equal(await page.isHidden('#notice'), true);
    // The secure link: same page over TLS, a wss connection, and the picture.
    const sockets = [];
    page.on('websocket', (ws) => sockets.push(ws.url()));
    await page.goto(secure);
    assert.equal(await page.evaluate(() => window.isSecureContext), true);
    await waitFor(async () => (await hook(page))?.drawn > 3, 'the picture over https', 20000);
    assert.ok(sockets[0].startsWith(`wss://tolvane-desk.test:${host.tlsPort}/ws?t=`), sockets[0]);
    assert.equal(await page.isHidden('#notice'), true);
  } catch (e) { e.message += '\n--- host log ---\n' + host.log(); throw e; }
  finally { await remote.close(); await host.dispose(); }
});

test('a screen error shows the host text and Retry asks again', () => withHost({ testPattern: false, extraArgs: ['--simulate-no-screen'] }, async (host) => {
  const page = await phone.page();
  const got = [], sent = [];
  page.on('websocket', (ws) => {
    ws.on('framereceived', (f) => typeof f.payload === 'string' && got.push(JSON.parse(f.payload)));
    ws.on('framesent', (f) => typeof f.payload === 'string' && sent.push(JSON.parse(f.payload)));
  });
  const errors = () => got.filter((m) => m.t === 'error');
  await page.goto(host.url);
  const err = await waitFor(() => errors()[0], 'the screen error');
  assert.equal(err.code, 'screen');
  assert.ok(typeof err.msg === 'string' && err.msg.length > 10, JSON.stringify(err));
  await page.waitForSelector('#notice:not([hidden])');
  assert.equal(await page.textContent('#nTitle'), 'Screen sharing is not allowed');
  // The whole host text, line breaks included, not a generic message.
  assert.equal(await page.textContent('#nBody'), err.msg);
  assert.equal((await hook(page)).error, 'screen');
  assert.equal((await hook(page)).drawn || 0, 0, 'no picture without the screen');
  await page.click('#retryBtn');
  await waitFor(() => sent.some((m) => m.t === 'retry'), 'the retry message');
  // Still not permitted: the host checks again and says so again.
  const again = await waitFor(() => errors()[1], 'the host to answer the retry');
  assert.equal(again.code, 'screen');
  await page.waitForSelector('#notice:not([hidden])');
  assert.equal(await page.textContent('#nBody'), again.msg);
  assert.equal(await page.isVisible('#retryBtn'), true, 'Retry is offered again');
  assert.equal(errors().length, 2, 'one answer per request');
  assert.deepEqual(phone.errors, []);
  await page.close();
}));

test('tells the host the size of its picture area at start and after a rotation', () => withHost({}, async (host) => {
  const page = await phone.page();
  const sent = [];
  page.on('websocket', (ws) => ws.on('framesent', (f) => typeof f.payload === 'string' && sent.push(JSON.parse(f.payload))));
  await page.goto(host.url);
  const first = await waitFor(() => sent.find((m) => m.t === 'view'), 'the first view message');
  assert.equal(first.w, 390);
  assert.ok(first.h > 600 && first.h <= 844, 'height without the toolbar: ' + first.h);
  assert.equal(first.m, 'auto');
  assert.equal(first.z, 1);
  await page.setViewportSize({ width: 844, height: 390 });
  const second = await waitFor(() => sent.filter((m) => m.t === 'view')[1], 'a view message after rotating');
  assert.ok(second.w > 700 && second.w <= 844 && second.h === 390, JSON.stringify(second));
  await sleep(800);
  assert.equal(sent.filter((m) => m.t === 'view').length, 2, 'one message per change');
  await page.setViewportSize({ width: 390, height: 844 });
  await page.close();
}));
