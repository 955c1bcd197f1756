// The Files panel and the clipboard against the real host on the LAN, with
// a home folder of the test's own and an X server of its own (Xvfb) for the
// clipboard: browse, download, uploads, cancel, copies both ways.
import { spawn, execFileSync } from 'node:child_process';
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Host, launchPhone, openPage, hook, waitFor, sleep } from './support.mjs';

let phone, host, home, xvfb, display;

async function startXvfb() {
  xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '640x480x24', '-noreset', '-nolisten', 'tcp'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  let out = '';
  xvfb.stdio[3].on('data', (d) => { out += d; });
  await waitFor(() => { if (xvfb.exitCode !== null) throw new Error('Xvfb exited'); return /\d+\n/.test(out); }, 'Xvfb to pick a display', 15000);
  display = ':' + out.trim();
}
// xclip stays behind as the selection's owner until another copy replaces it.
const xclip = (args, input) => execFileSync('xclip', ['-selection', 'clipboard', ...args], {
  env: { ...process.env, DISPLAY: display }, input, encoding: 'utf8', stdio: input === undefined ? ['ignore', 'pipe', 'ignore'] : ['pipe', 'ignore', 'ignore'], timeout: 10000 });

before(async () => {
  await startXvfb();
  home = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-home-'));
  fs.mkdirSync(path.join(home, 'Documents/Old'), { recursive: true });
  fs.writeFileSync(path.join(home, 'Documents/report.txt'), 'quarterly\n');
  fs.writeFileSync(path.join(home, 'file10.txt'), 'ten');
  fs.writeFileSync(path.join(home, 'file2.txt'), 'two');
  fs.writeFileSync(path.join(home, '.secret'), 'hidden');
  fs.symlinkSync('/etc', path.join(home, 'etc-link'));
  host = new Host({ env: { HOME: home, DISPLAY: display } });
  await host.start();
  phone = await launchPhone();
  await phone.context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: `http://127.0.0.1:${host.port}` });
});
after(async () => {
  await phone?.close();
  await host?.dispose();
  xvfb?.kill();
  fs.rmSync(home, { recursive: true, force: true });
});

async function openFiles() {
  const page = await openPage(phone, host);
  await page.click('#bFiles');
  await waitFor(async () => (await hook(page)).files?.path === '', 'the home listing')
    .catch((e) => { throw new Error(e.message + '\n' + host.log().slice(-3000)); });
  return page;
}
const listed = (page, p) => waitFor(async () => { const f = (await hook(page)).files; return f && f.path === p && f; }, 'the listing of ' + p);
const transfer = async (page, name) => (await hook(page)).transfers.find((t) => t.name === name);
const ended = (page, name) => waitFor(async () => { const t = await transfer(page, name); return t && t.state !== 'active' && t; }, name + ' to end', 60000);
const saved = (name) => path.join(home, 'Downloads/Tolvane', name);

test('browse the home folder: folders first, hidden files left out, a link out of home refused', async () => {
  const page = await openFiles();
  const f = await listed(page, '');
  assert.deepEqual(f.items.filter((n) => n !== 'Downloads'), ['Documents', 'etc-link', 'file2.txt', 'file10.txt']);
  await page.click('#filesList .item[data-name="Documents"]');
  assert.deepEqual((await listed(page, 'Documents')).items, ['Old', 'report.txt']);
  assert.deepEqual(await page.$$eval('#filesCrumbs button', (b) => b.map((e) => e.textContent)), ['Home', 'Documents']);
  await page.click('#filesCrumbs button[data-path=""]');
  await listed(page, '');
  await page.click('#filesList .item[data-name="etc-link"]');
  assert.equal((await listed(page, 'etc-link')).err, 'denied');
  assert.equal(await page.textContent('#filesMsg'), "This folder is outside the computer's home folder.");
  await page.screenshot({ path: '/work/shots/page-host-denied.png' }).catch(() => {});
  assert.deepEqual(phone.errors, []);
  await page.close();
});

test('a download arrives byte for byte; a cancelled one is offered nowhere', async () => {
  const data = crypto.randomBytes(3_000_001);
  fs.writeFileSync(path.join(home, 'photo.bin'), data);
  // Sparse: large to send, nothing on disk.
  fs.closeSync(fs.openSync(path.join(home, 'big.bin'), 'w'));
  fs.truncateSync(path.join(home, 'big.bin'), 900_000_000);
  const page = await openFiles();
  await page.click('#filesCrumbs button[data-path=""]');
  await waitFor(async () => (await hook(page)).files?.items.includes('big.bin'), 'the new files listed');
  const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#filesList .item[data-name="photo.bin"]')]);
  assert.ok(fs.readFileSync(await dl.path()).equals(data), 'bytes equal');

  let downloads = 0;
  page.on('download', () => downloads++);
  await page.click('#filesList .item[data-name="big.bin"]');
  await waitFor(async () => (await transfer(page, 'big.bin'))?.bytes > 0, 'the first chunks');
  const t = await transfer(page, 'big.bin');
  await page.locator(`.xfer[data-id="${t.id}"] button.act`).click();
  assert.equal((await ended(page, 'big.bin')).state, 'cancelled');
  await sleep(1000);
  assert.equal(downloads, 0);
  assert.deepEqual(phone.errors, []);
  await page.close();
});

test('two uploads land in Downloads/Tolvane, a same-named file kept; a cancelled upload leaves nothing', async () => {
  fs.mkdirSync(path.dirname(saved('x')), { recursive: true });
  fs.writeFileSync(saved('notes.txt'), 'already here');
  const a = crypto.randomBytes(2_000_000), b = Buffer.from('plain text\n');
  const page = await openFiles();
  await page.setInputFiles('#filesPick', [
    { name: 'notes.txt', mimeType: 'text/plain', buffer: b },
    { name: 'data.bin', mimeType: 'application/octet-stream', buffer: a },
  ]);
  const tn = await ended(page, 'notes.txt'), ta = await ended(page, 'data.bin');
  assert.deepEqual([tn.state, tn.savedAs], ['done', 'notes 2.txt'], tn.error + '\n' + host.log().slice(-2000));
  assert.deepEqual([ta.state, ta.savedAs], ['done', 'data.bin']);
  assert.ok(fs.readFileSync(saved('notes 2.txt')).equals(b));
  assert.equal(fs.readFileSync(saved('notes.txt'), 'utf8'), 'already here');
  assert.ok(fs.readFileSync(saved('data.bin')).equals(a));
  await page.screenshot({ path: '/work/shots/page-host-uploads.png' }).catch(() => {});

  // Big enough to still be under way when Cancel is pressed.
  const bigPath = path.join(host.dir, 'upload-big.bin');
  fs.writeFileSync(bigPath, crypto.randomBytes(1 << 20));
  for (let k = 0; k < 6; k++) fs.appendFileSync(bigPath, fs.readFileSync(bigPath));
  await page.setInputFiles('#filesPick', bigPath);
  await waitFor(async () => (await transfer(page, 'upload-big.bin'))?.bytes > 0, 'the upload under way');
  const t = await transfer(page, 'upload-big.bin');
  await page.locator(`.xfer[data-id="${t.id}"] button.act`).click();
  assert.equal((await ended(page, 'upload-big.bin')).state, 'cancelled');
  await waitFor(() => !fs.existsSync(saved('upload-big.bin')), 'nothing saved', 10000);
  await sleep(1000);
  assert.ok(!fs.existsSync(saved('upload-big.bin')));
  assert.deepEqual(phone.errors, []);
  await page.close();
});

test('clipboard both ways: a copy on the X display reaches the chip and the phone; the phone\'s text lands in the X clipboard', async () => {
  const page = await openPage(phone, host);
  await sleep(1000); // the host's clipboard watch starts with the connection
  xclip(['-i'], 'copied on the desk ✓');
  await waitFor(async () => (await hook(page)).clip === 'copied on the desk ✓', 'the "clip" at the page', 20000);
  await page.click('#clipChip .tx');
  await waitFor(async () => (await page.evaluate(() => navigator.clipboard.readText())) === 'copied on the desk ✓', 'the phone\'s clipboard');

  await page.evaluate(() => navigator.clipboard.writeText('from the phone ✓'));
  await page.click('#bClip');
  await page.click('#clipSend');
  await waitFor(() => xclip(['-o']) === 'from the phone ✓', 'the text in the X clipboard', 20000);
  // The host's own write is not sent back as a copy.
  await sleep(1500);
  assert.equal((await hook(page)).clip, 'copied on the desk ✓');
  assert.deepEqual(phone.errors, []);
  await page.close();
});
