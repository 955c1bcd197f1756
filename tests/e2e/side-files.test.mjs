// The Files panel against a scripted computer (side-host.mjs): browsing,
// downloads and uploads, with the replies a broken or hostile host could give.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { launchPhone, hook, waitFor, sleep } from './support.mjs';
import { ScriptedHost, CHUNK } from './side-host.mjs';

let phone;
before(async () => { phone = await launchPhone(); });
after(async () => { await phone?.close(); });

async function withHost(fill, fn) {
  const host = new ScriptedHost();
  fill(host);
  await host.start();
  try { await fn(host); } finally { await host.stop(); }
}

async function openFiles(host, init) {
  const page = await phone.page();
  if (init) await page.addInitScript(init);
  await page.goto(host.url);
  await waitFor(async () => (await hook(page))?.hello, 'the hello message');
  await page.click('#bFiles');
  await waitFor(async () => (await hook(page)).files?.path === '', 'the home listing');
  return page;
}

const names = (page) => page.$$eval('#filesList .item', (els) => els.map((e) => e.dataset.name));
const listed = (page, path) => waitFor(async () => { const f = (await hook(page)).files; return f && f.path === path && f; }, 'the listing of ' + path);
const transfer = async (page, name) => (await hook(page)).transfers.find((t) => t.name === name);
const ended = (page, name) => waitFor(async () => { const t = await transfer(page, name); return t && t.state !== 'active' && t; }, name + ' to end', 30000);
const rowOf = (page, id) => page.locator(`.xfer[data-id="${id}"]`);

test('browse: folders first in natural order, sizes and dates, breadcrumbs, refusals said plainly, bad listings dropped', async () => {
  await withHost((h) => h.addDir('Documents').addDir('pictures').addDir('Documents/Projects').addDir('Empty').addDir('Locked').addDir('Odd')
    .addFile('file10.txt', 'x'.repeat(10)).addFile('file2.txt', 'x').addFile('Zeta.bin', Buffer.alloc(2_500_000)).addFile('.hidden', 'h')
    .addFile('Documents/Projects/plan.md', '# plan'), async (host) => {
    host.script = (m, ws) => {
      if (m.t !== 'ls') return false;
      if (m.path === 'Locked') { host.send(ws, { t: 'lsr', path: m.path, err: 'denied' }); return true; }
      if (m.path === 'Empty') { host.send(ws, { t: 'lsr', path: m.path, err: 'read' }); return true; }
      if (m.path === 'Odd') {
        host.send(ws, '{"t":"lsr", not json');
        host.send(ws, { t: 'lsr', path: 'Documents', items: [{ n: 'stale.txt', dir: false, size: 1, mt: 1 }], more: false });
        host.send(ws, { t: 'lsr', path: m.path, more: true, items: [null, 5, 'x', { n: '..', dir: true }, { n: 'a/b', dir: false },
          { n: '' }, { n: 'ok.txt', size: 'big', mt: -5 }, { n: 'sub', dir: 'yes', size: 1e300 }] });
        return true;
      }
      return false;
    };
    const page = await openFiles(host);
    assert.deepEqual(await names(page), ['Documents', 'Empty', 'Locked', 'Odd', 'pictures', 'file2.txt', 'file10.txt', 'Zeta.bin']);
    const zeta = await page.textContent('#filesList .item[data-name="Zeta.bin"] .meta');
    assert.match(zeta, /^2\.5 MB · /);
    assert.match(await page.textContent('#filesList .item[data-name="file10.txt"] .meta'), /^10 B · .*2023/);
    await page.screenshot({ path: '/work/shots/page-files.png' }).catch(() => {});

    await page.click('#filesList .item[data-name="Documents"]');
    await listed(page, 'Documents');
    await page.click('#filesList .item[data-name="Projects"]');
    await listed(page, 'Documents/Projects');
    assert.deepEqual(await page.$$eval('#filesCrumbs button', (b) => b.map((e) => e.textContent)), ['Home', 'Documents', 'Projects']);
    assert.deepEqual(await names(page), ['plan.md']);
    await page.click('#filesCrumbs button[data-path="Documents"]');
    await listed(page, 'Documents');
    assert.deepEqual(await names(page), ['Projects']);
    await page.click('#filesCrumbs button[data-path=""]');
    await listed(page, '');

    await page.click('#filesList .item[data-name="Locked"]');
    assert.equal((await listed(page, 'Locked')).err, 'denied');
    assert.equal(await page.textContent('#filesMsg'), "This folder is outside the computer's home folder.");
    assert.deepEqual(await names(page), []);
    await page.click('#filesCrumbs button[data-path=""]');
    await listed(page, '');
    await page.click('#filesList .item[data-name="Empty"]');
    assert.equal((await listed(page, 'Empty')).err, 'read');
    assert.equal(await page.textContent('#filesMsg'), 'The computer could not read this folder.');

    await page.click('#filesCrumbs button[data-path=""]');
    await listed(page, '');
    await page.click('#filesList .item[data-name="Odd"]');
    await listed(page, 'Odd');
    // Only entries with a usable name survive; a stale answer for another folder changed nothing.
    assert.deepEqual(await names(page), ['ok.txt', 'sub']);
    assert.equal(await page.$eval('#filesList .item[data-name="sub"]', (e) => e.dataset.dir), '0');
    assert.equal(await page.textContent('#filesList .item[data-name="ok.txt"] .meta'), '0 B');
    assert.match(await page.textContent('#filesMsg'), /Only the first 2 items/);
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
});

test('downloads: the bytes arrive equal through the private file system and through a Blob, an empty file too', async () => {
  const photo = crypto.randomBytes(CHUNK * 6 + 1);
  await withHost((h) => h.addFile('photo.jpg', photo).addFile('empty.txt', ''), async (host) => {
    for (const noOpfs of [false, true]) {
      const page = await openFiles(host, noOpfs ? () => { window.__tolvaneTest = { noOpfs: true }; } : undefined);
      const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#filesList .item[data-name="photo.jpg"]')]);
      assert.equal(dl.suggestedFilename(), 'photo.jpg');
      assert.ok(fs.readFileSync(await dl.path()).equals(photo), 'bytes equal (noOpfs ' + noOpfs + ')');
      const t = await ended(page, 'photo.jpg');
      assert.equal(t.state, 'done');
      const kept = await page.evaluate(async () => {
        const out = [];
        for await (const n of (await navigator.storage.getDirectory()).keys()) out.push(n);
        return out;
      });
      assert.equal(kept.includes('tolvane-dl-' + t.id), !noOpfs, 'the private file system is used where it can be: ' + kept);
      const fget = host.of('fget').at(-1);
      assert.equal(fget.path, 'photo.jpg');
      assert.equal(fget.id, t.id);
      assert.match(t.id, /^[0-9a-f]{16}$/);

      const [empty] = await Promise.all([page.waitForEvent('download'), page.click('#filesList .item[data-name="empty.txt"]')]);
      assert.equal(fs.readFileSync(await empty.path()).length, 0);
      await page.screenshot({ path: '/work/shots/page-download.png' }).catch(() => {});
      await page.close();
    }
    assert.deepEqual(phone.errors, []);
  });
});

test('download failures: the computer\'s "read" and "big", chunks out of order, bad base64, more bytes than announced', async () => {
  const files = { 'nope.bin': 'read', 'huge.bin': 'big', 'ooo.bin': 'ooo', 'bad64.bin': 'b64', 'long.bin': 'long', 'resized.bin': 'resized' };
  await withHost((h) => { for (const f of Object.keys(files)) h.addFile(f, 'x'); }, async (host) => {
    host.script = (m, ws) => {
      if (m.t !== 'fget') return false;
      const how = files[m.path], id = m.id;
      const chunk = (i, n, size, d) => host.send(ws, { t: 'fdat', id, i, n, name: m.path, size, d });
      host.send(ws, '{"t":"fdat","id":"' + id + '",'); // cut off
      host.send(ws, { t: 'fdat', id: 'someone-else', i: 0, n: 1, size: 1, d: 'AA==' });
      if (how === 'read' || how === 'big') host.send(ws, { t: 'fdat', id, err: how });
      else if (how === 'ooo') { chunk(0, 3, 3, 'YQ=='); chunk(2, 3, 3, 'Yw=='); chunk(1, 3, 3, 'Yg=='); }
      else if (how === 'b64') chunk(0, 1, 3, 'YW J');
      else if (how === 'long') chunk(0, 1, 2, 'YWJj');
      else if (how === 'resized') { chunk(0, 2, 2, 'YQ=='); chunk(1, 2, 5, 'Yg=='); }
      return true;
    };
    const page = await openFiles(host);
    let downloads = 0;
    page.on('download', () => downloads++);
    const expect = {
      'nope.bin': 'The computer could not read this file.',
      'huge.bin': 'This file is larger than 1 GB, too big to fetch.',
      'ooo.bin': 'The file arrived damaged, so it was not saved.',
      'bad64.bin': 'The file arrived damaged, so it was not saved.',
      'long.bin': 'The file arrived damaged, so it was not saved.',
      'resized.bin': 'The file arrived damaged, so it was not saved.',
    };
    for (const [name, text] of Object.entries(expect)) {
      await page.click(`#filesList .item[data-name="${name}"]`);
      const t = await ended(page, name);
      assert.equal(t.state, 'failed', name);
      assert.equal(t.error, text, name);
      assert.equal(await rowOf(page, t.id).locator('.st').textContent(), text);
      // A damaged transfer is stopped at the computer; a refused one has nothing to stop.
      const stopped = host.of('fcancel').some((c) => c.id === t.id);
      assert.equal(stopped, files[name] !== 'read' && files[name] !== 'big', name + ' fcancel');
    }
    await sleep(300);
    assert.equal(downloads, 0, 'nothing offered');
    await page.screenshot({ path: '/work/shots/page-download-errors.png' }).catch(() => {});
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
});

test('cancelling a download stops it at the computer and offers nothing', async () => {
  await withHost((h) => h.addFile('slow.bin', crypto.randomBytes(CHUNK * 40)), async (host) => {
    host.chunkDelayMs = 150;
    const page = await openFiles(host);
    let downloads = 0;
    page.on('download', () => downloads++);
    await page.click('#filesList .item[data-name="slow.bin"]');
    await waitFor(async () => (await transfer(page, 'slow.bin'))?.bytes >= CHUNK * 2, 'two chunks');
    const t = await transfer(page, 'slow.bin');
    await page.screenshot({ path: '/work/shots/page-download-progress.png' }).catch(() => {});
    await rowOf(page, t.id).locator('button.act').click();
    const c = await waitFor(() => host.of('fcancel').find((m) => m.id === t.id), 'the fcancel');
    assert.ok(c);
    assert.equal((await ended(page, 'slow.bin')).state, 'cancelled');
    assert.equal(await rowOf(page, t.id).locator('.st').textContent(), 'Cancelled');
    await sleep(500);
    assert.equal(downloads, 0);
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
});

test('uploads: two files one after the other, bytes equal, at most 16 chunks unacknowledged, every message within 64 KiB', async () => {
  const big = crypto.randomBytes(1_500_001), small = crypto.randomBytes(1000);
  await withHost(() => {}, async (host) => {
    host.saved.push({ name: 'a.txt', data: Buffer.alloc(0) }); // already there: the computer picks "a 2.txt"
    host.ackPaceMs = 30;
    const page = await openFiles(host);
    await page.setInputFiles('#filesPick', [
      { name: 'a.txt', mimeType: 'text/plain', buffer: big },
      { name: 'notes', mimeType: 'application/octet-stream', buffer: small },
    ]);
    await page.screenshot({ path: '/work/shots/page-upload.png' }).catch(() => {});
    const a = await ended(page, 'a.txt'), b = await ended(page, 'notes');
    assert.equal(a.state, 'done');
    assert.equal(b.state, 'done');
    assert.equal(a.savedAs, 'a 2.txt');
    assert.equal(await rowOf(page, a.id).locator('.st').textContent(), 'Saved on the computer as a 2.txt');
    const [sa, sb] = host.saved.slice(1);
    assert.ok(sa.data.equals(big) && sb.data.equals(small), 'bytes equal');
    assert.deepEqual([sa.last, sb.last], [false, true], 'only the last file is the one for the clipboard');
    const puts = host.of('fput');
    assert.ok(Math.max(...host.sizes) <= 65536, 'largest message ' + Math.max(...host.sizes));
    assert.ok(Math.max(...host.sizes) > 60000, 'chunks use the room they have');
    assert.ok(host.maxUnacked <= 16 && host.maxUnacked > 8, 'unacknowledged at most ' + host.maxUnacked);
    // One file after the other: the second starts after the first ended.
    const firstB = puts.findIndex((m) => m.id === b.id), lastA = puts.findLastIndex((m) => m.id === a.id);
    assert.ok(firstB > lastA);
    assert.notEqual(a.id, b.id);
    assert.match(a.id, /^[0-9a-f]{16}$/);
    assert.deepEqual(puts.filter((m) => m.id === a.id).map((m) => m.i), [...Array(puts.filter((m) => m.id === a.id).length).keys()]);
    assert.ok(puts.filter((m) => 'name' in m).every((m) => m.i === 0), 'the name goes with chunk 0 only');
    await page.screenshot({ path: '/work/shots/page-upload-done.png' }).catch(() => {});
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
});

test('an upload waits for acknowledgements at 16 chunks, and Cancel abandons it at the computer', async () => {
  await withHost(() => {}, async (host) => {
    host.holdAcks = true;
    const page = await openFiles(host);
    await page.setInputFiles('#filesPick', [{ name: 'long.bin', mimeType: 'application/octet-stream', buffer: crypto.randomBytes(49000 * 50) }]);
    const count = () => host.of('fput').length;
    await waitFor(() => count() === 16, '16 chunks').catch((e) => { throw new Error(e.message + ' ' + count() + ' ' + host.sizes.length); });
    await sleep(700);
    assert.equal(count(), 16, 'no more without an acknowledgement');
    host.ackAll();
    await waitFor(() => count() === 32, '16 more after "fack" 15');
    await sleep(300);
    assert.equal(count(), 32);
    const t = await transfer(page, 'long.bin');
    await rowOf(page, t.id).locator('button.act').click();
    await waitFor(() => host.of('fcancel').some((m) => m.id === t.id), 'the fcancel with the upload\'s id');
    assert.equal((await ended(page, 'long.bin')).state, 'cancelled');
    host.ackAll();
    await sleep(300);
    assert.equal(count(), 32, 'nothing sent after the cancel');
    assert.equal(host.saved.length, 0);
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
});

test('upload replies: a failed save, an early "done", nonsense acknowledgements', async () => {
  await withHost(() => {}, async (host) => {
    host.script = (m, ws) => {
      if (m.t !== 'fput') return false;
      if (m.name === 'refused.txt') host.send(ws, { t: 'fdone', id: m.id, ok: false });
      if (m.name === 'early.bin') {
        host.send(ws, { t: 'fack', id: m.id, i: 'x' });
        host.send(ws, { t: 'fack', id: m.id, i: 1e9 });
        host.send(ws, { t: 'fdone', id: m.id, ok: true, name: 'early.bin' });
      }
      return true;
    };
    const page = await openFiles(host);
    await page.setInputFiles('#filesPick', [
      { name: 'refused.txt', mimeType: 'text/plain', buffer: Buffer.from('hello') },
      // More chunks than the page sends unacknowledged (this host acknowledges
      // nothing), so the "done" always comes before the last chunk has gone.
      { name: 'early.bin', mimeType: 'application/octet-stream', buffer: crypto.randomBytes(49000 * 40) },
    ]);
    const r = await ended(page, 'refused.txt'), e = await ended(page, 'early.bin');
    assert.deepEqual([r.state, r.error], ['failed', 'The computer could not save this file.']);
    assert.deepEqual([e.state, e.error], ['failed', 'The computer ended this upload early.']);
    assert.ok(host.of('fcancel').some((m) => m.id === e.id));
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
});

test('a lost connection ends the transfers under way', async () => {
  await withHost(() => {}, async (host) => {
    host.holdAcks = true;
    const page = await openFiles(host);
    await page.setInputFiles('#filesPick', [{ name: 'cut.bin', mimeType: 'application/octet-stream', buffer: crypto.randomBytes(49000 * 30) }]);
    await waitFor(() => host.of('fput').length === 16, '16 chunks');
    host.dropAll();
    const t = await ended(page, 'cut.bin');
    assert.deepEqual([t.state, t.error], ['failed', 'The connection to the computer was lost.']);
    await page.close();
  });
});
