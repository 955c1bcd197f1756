// The Apps panel against the real host: the test's own desktop entries and
// icons show in the grid, and a tap starts the entry.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Host, launchPhone, openPage, waitFor } from './support.mjs';
import { solidIcon } from './scripted-host.mjs';

let phone;
before(async () => { phone = await launchPhone(); });
after(async () => { await phone?.close(); });

test('the grid shows the entries with their icons and a tap runs one', async () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-apps-'));
  const apps = path.join(root, 'share', 'applications');
  fs.mkdirSync(apps, { recursive: true });
  // Image loading tells PNG by its MIME type, from the shared database.
  fs.symlinkSync('/usr/share/mime', path.join(root, 'share', 'mime'));
  const marker = path.join(root, 'ran');
  const colours = { Red: [220, 30, 40], Green: [20, 200, 60], Blue: [30, 60, 230] };
  for (const [name, rgb] of Object.entries(colours)) {
    const icon = path.join(root, name + '.png');
    fs.writeFileSync(icon, Buffer.from(solidIcon(rgb), 'base64'));
    const exec = name === 'Green' ? `sh -c "echo ran >> ${marker}"` : 'true';
    fs.writeFileSync(path.join(apps, name.toLowerCase() + '.desktop'),
      `[Desktop Entry]\nType=Application\nName=${name} App\nExec=${exec}\nIcon=${icon}\n`);
  }
  const host = new Host({
    env: { HOME: root, XDG_DATA_HOME: path.join(root, 'share'), XDG_DATA_DIRS: path.join(root, 'none'), DISPLAY: '' },
  });
  try {
    await host.start();
    const page = await openPage(phone, host);
    await page.tap('#bApps');
    await waitFor(async () => (await page.locator('#appsGrid .app').count()) === 3, 'three tiles');
    assert.deepEqual(await page.$$eval('#appsGrid .app .name', (els) => els.map((e) => e.textContent)),
      ['Blue App', 'Green App', 'Red App']);
    // Each icon as drawn by the host: 96 px, its own colour in the middle.
    const centres = await page.$$eval('#appsGrid .app img', (imgs) => imgs.map((img) => {
      const c = document.createElement('canvas');
      c.width = img.naturalWidth; c.height = img.naturalHeight;
      const g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      return [img.naturalWidth, ...g.getImageData(48, 48, 1, 1).data];
    }));
    assert.deepEqual(centres, [[96, 30, 60, 230, 255], [96, 20, 200, 60, 255], [96, 220, 30, 40, 255]]);
    await page.screenshot({ path: '/work/shots/apps-host-grid.png' });
    await page.locator('#appsGrid .app').nth(1).tap();
    await waitFor(() => fs.existsSync(marker), 'the entry to run');
    assert.deepEqual(phone.errors, []);
    await page.close();
  } finally {
    await host.dispose();
    fs.rmSync(root, { recursive: true, force: true });
  }
});
