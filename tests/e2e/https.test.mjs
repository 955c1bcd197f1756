// HTTPS as a phone sees it once the host's own certificate authority is
// installed: the browser's real certificate check, no exceptions switched on.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { Host, launchPhone, homeTrusting, hook, waitFor, findYellow, meanColour, freePort } from './support.mjs';

let host;
before(async () => {
  host = new Host({ tlsPort: await freePort() });
  await host.start();
});
after(async () => {
  if (host) { if (process.exitCode) console.error(host.log()); await host.dispose(); }
});

const commonName = (pemFile) => new crypto.X509Certificate(fs.readFileSync(pemFile)).subject.match(/CN=([^\n]*)/)[1];

// A phone whose certificate store holds the given CA files; fn gets the browser.
async function withPhone(caFiles, fn) {
  const home = homeTrusting(caFiles);
  const phone = await launchPhone({ env: home.env });
  try { await fn(phone); }
  catch (e) { e.message += '\n--- host log ---\n' + host.log(); throw e; }
  finally { await phone.close(); home.dispose(); }
}

test('with the host CA trusted, the secure page loads cleanly and shows the picture over wss', () => withPhone([host.caPath], async (phone) => {
  for (const name of ['127.0.0.1', 'localhost']) {
    const page = await phone.page();
    const sockets = [];
    page.on('websocket', (ws) => sockets.push(ws.url()));
    const url = `https://${name}:${host.tlsPort}/?t=${host.token}`;
    const res = await page.goto(url);
    assert.equal(res.status(), 200, name);
    const tls = await res.securityDetails();
    assert.equal(tls.issuer, commonName(host.caPath), name + ': served under the host CA');
    assert.match(tls.protocol, /^TLS 1\.[23]$/);
    assert.equal(await page.evaluate(() => window.isSecureContext), true);
    await waitFor(async () => (await hook(page))?.drawn > 5, 'the picture over https at ' + name, 20000);
    assert.ok(sockets.length >= 1 && sockets.every((u) => u.startsWith(`wss://${name}:${host.tlsPort}/ws?t=`)), sockets.join());
    assert.equal((await hook(page)).state, 'live');
    // The test pattern itself: its dark blue background and the yellow crosshair.
    const { vw, vh } = await page.evaluate(() => ({ vw: document.getElementById('screen').width, vh: document.getElementById('screen').height }));
    const bg = await meanColour(page, Math.round(vw / 2), Math.round(vh * 0.06));
    [0.08, 0.10, 0.16].forEach((v, i) => assert.ok(Math.abs(bg[i] - v * 255) <= 12, `${name}: background ${bg.map(Math.round)}`));
    const y = await waitFor(() => findYellow(page), 'the crosshair', 30000);
    assert.ok(y.n > 150, 'crosshair pixels ' + y.n);
    assert.equal(await page.isHidden('#notice'), true, 'no secure-link advice on the secure page');
    await page.close();
  }
  assert.deepEqual(phone.errors, []);
}));

test('without the host CA the browser refuses the certificate', async (t) => {
  const expectRefused = async (phone, what) => {
    const page = await phone.page();
    const sockets = [];
    page.on('websocket', (ws) => sockets.push(ws.url()));
    await assert.rejects(page.goto(host.secureUrl), /net::ERR_CERT_AUTHORITY_INVALID/, what);
    assert.deepEqual(sockets, []);
    await page.close();
  };
  await t.test('an empty certificate store', () => withPhone([], (phone) => expectRefused(phone, 'no CA')));
  await t.test('the CA of another host', async () => {
    const other = new Host({ tlsPort: await freePort() });
    try {
      await other.start();
      assert.notEqual(fs.readFileSync(other.caPath, 'utf8'), fs.readFileSync(host.caPath, 'utf8'), 'each host makes its own CA');
      await withPhone([other.caPath], (phone) => expectRefused(phone, "another host's CA"));
    } finally { await other.dispose(); }
  });
});
