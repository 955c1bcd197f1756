// File transfer over the internet link as a person uses it: the real
// rendezvous server, the real host (its webrtcbin data channels) and the page
// in Chromium, all on loopback in a private network namespace. Downloads a
// file from the host's home through the Files panel, then uploads one, and
// prints MB/s (10^6 bytes) each way with the load average.
// Run from tests/e2e, inside a namespace:
//   ../tools/in-netns.sh node ../../bench/files_rtc_bench.mjs [megabytes] [runs]
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Host, hook, waitFor } from '../tests/e2e/support.mjs';
import { launchRtcPhone, SignalServer, internetLink } from '../tests/e2e/rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

const mb = Number(process.argv[2]) || 64;
const runs = Number(process.argv[3]) || 3;
const size = mb * 1e6;
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-bench-home-'));
const upDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-bench-up-'));
const body = crypto.randomBytes(size);
fs.writeFileSync(path.join(home, 'down.bin'), body);

const signal = new SignalServer();
await signal.start();
const host = new Host({ signal: signal.wsBase, testPattern: process.env.BENCH_VIDEO === '1', env: { HOME: home, DISPLAY: '' } });
const phone = await launchRtcPhone();
const median = (v) => { const s = [...v].sort((a, b) => a - b); return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2; };
const transfer = async (page, pred) => ((await hook(page)).transfers || []).find(pred);
try {
  await host.start();
  await waitFor(() => internetLink(host), 'the internet link', 30000);
  const page = await phone.page();
  await page.goto(internetLink(host));
  await waitFor(async () => (await hook(page))?.hello, 'hello over the internet link', 60000);
  await page.click('#bFiles');
  await waitFor(async () => (await hook(page)).files?.items?.includes('down.bin'), 'the home listing');
  const down = [], up = [], seen = new Set();
  for (let r = 0; r < runs; r++) {
    const t0 = Date.now();
    await page.click('#filesList .item[data-name="down.bin"]');
    const d = await waitFor(() => transfer(page, (t) => t.kind === 'down' && t.state !== 'active' && !seen.has(t.id)), 'the download', 600000);
    seen.add(d.id);
    if (d.state !== 'done') throw new Error('download ended ' + JSON.stringify(d));
    down.push(size / 1e6 / ((Date.now() - t0) / 1000));

    const file = path.join(upDir, `up${r}.bin`);
    fs.writeFileSync(file, body);
    const u0 = Date.now();
    await page.setInputFiles('#filesPick', file);
    const u = await waitFor(() => transfer(page, (t) => t.kind === 'up' && t.name === `up${r}.bin` && t.state !== 'active'), 'the upload', 600000);
    if (u.state !== 'done') throw new Error('upload ended ' + JSON.stringify(u));
    up.push(size / 1e6 / ((Date.now() - u0) / 1000));
    const saved = path.join(home, 'Downloads', 'Tolvane', u.savedAs);
    if (fs.statSync(saved).size !== size) throw new Error('upload landed short');
    fs.rmSync(saved);
    fs.rmSync(file);
  }
  const f = (v) => v.map((x) => x.toFixed(1)).join(' ');
  console.log(`data channel, ${mb} MB each way, ${runs} runs, load ${os.loadavg().map((x) => x.toFixed(1)).join(' ')}`);
  console.log(`download MB/s: median ${median(down).toFixed(1)} (runs ${f(down)})`);
  console.log(`upload   MB/s: median ${median(up).toFixed(1)} (runs ${f(up)})`);
} finally {
  await phone.close();
  await host.dispose();
  await signal.dispose();
  fs.rmSync(home, { recursive: true, force: true });
  fs.rmSync(upDir, { recursive: true, force: true });
}
