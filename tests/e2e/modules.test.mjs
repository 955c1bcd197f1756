// The page's modules load with the host's token, and without any token when
// another server (the internet link's) hands out the same files.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { Host, launchPhone, openPage, hook, waitFor, clientDir } from './support.mjs';

let phone;
before(async () => { phone = await launchPhone(); });
after(async () => { await phone?.close(); });

// Every request the page makes, with the answer's status.
function record(page) {
  const seen = [];
  page.on('response', (r) => seen.push({ url: new URL(r.url()), status: r.status() }));
  return seen;
}

test('every module is fetched with the token and served', async () => {
  const host = new Host();
  try {
    await host.start();
    const page = await phone.page();
    const seen = record(page);
    await openPage(phone, host);
    const modules = seen.filter((r) => r.url.pathname.endsWith('.js'));
    assert.ok(modules.length >= 10, 'modules fetched: ' + modules.map((r) => r.url.pathname));
    for (const r of modules) {
      assert.equal(r.url.searchParams.get('t'), host.token, r.url.href);
      assert.equal(r.status, 200, r.url.href);
    }
    assert.deepEqual(phone.errors, []);
    await page.close();
  } finally { await host.dispose(); }
});

test('without a token in the address the same files load by their plain names', async () => {
  // A bare static server: no token rule, no WebSocket.
  const server = http.createServer((req, res) => {
    const name = new URL(req.url, 'http://x').pathname.slice(1) || 'index.html';
    const file = path.join(clientDir, path.basename(name));
    if (name.includes('/') || !fs.existsSync(file)) { res.writeHead(404); res.end(); return; }
    res.writeHead(200, { 'Content-Type': name.endsWith('.js') ? 'text/javascript' : 'text/html' });
    res.end(fs.readFileSync(file));
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  try {
    const page = await phone.page();
    const seen = record(page);
    await page.goto(`http://127.0.0.1:${server.address().port}/#k=abc`);
    await waitFor(async () => (await hook(page))?.state, 'the page to start');
    const modules = seen.filter((r) => r.url.pathname.endsWith('.js'));
    assert.ok(modules.length >= 10);
    for (const r of modules) {
      assert.equal(r.url.search, '', r.url.href);
      assert.equal(r.status, 200, r.url.href);
    }
    assert.deepEqual(phone.errors, []);
    await page.close();
  } finally { server.close(); }
});
