// File transfer over the internet link as a person uses it: the real
// rendezvous server, the real host (its webrtcbin data channels) and the page
// in Chromium, all on loopback in a private network namespace. Downloads a
// file from the host's home through the Files panel, then uploads one, and
// prints MB/s (10^6 bytes) each way with the load average.
// Run from tests/e2e, inside a namespace:
//   ../tools/in-netns.sh node ../../bench/rtc_files_bench.mjs [megabytes] [runs]
// BENCH_LAN=1 takes the LAN WebSocket instead (the page's own cost);
// BENCH_VIDEO=1 runs the test pattern's video alongside.
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
// CPU seconds of every process this one started (host, rendezvous server,
// Chromium's processes): the cost that does not depend on how busy the
// machine is, where the MB/s figures do.
function descendantsCpu() {
  const parent = new Map(), cpu = new Map();
  for (const pid of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    let stat;
    try { stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8'); } catch { continue; }
    const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    parent.set(Number(pid), Number(f[1]));
    cpu.set(Number(pid), (Number(f[11]) + Number(f[12])) / 100);
  }
  let sum = 0;
  for (const [pid, t] of cpu) {
    for (let p = parent.get(pid); p; p = parent.get(p)) if (p === process.pid) { sum += t; break; }
  }
  return sum;
}
const median = (v) => { const s = [...v].sort((a, b) => a - b); return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2; };
const transfer = async (page, pred) => ((await hook(page)).transfers || []).find(pred);
try {
  await host.start();
  await waitFor(() => internetLink(host), 'the internet link', 30000);
  const page = await phone.page();
  // BENCH_LAN=1: the same page and host over the LAN WebSocket, to tell the
  // page's own share from the channel's.
  await page.goto(process.env.BENCH_LAN === '1' ? host.url : internetLink(host));
  await waitFor(async () => (await hook(page))?.hello, 'hello over the internet link', 60000);
  await page.click('#bFiles');
  await waitFor(async () => (await hook(page)).files?.items?.includes('down.bin'), 'the home listing');
  const down = [], up = [], seen = new Set(), downCpu = [], upCpu = [];
  for (let r = 0; r < runs; r++) {
    const t0 = Date.now(), c0 = descendantsCpu();
    await page.click('#filesList .item[data-name="down.bin"]');
    const d = await waitFor(() => transfer(page, (t) => t.kind === 'down' && t.state !== 'active' && !seen.has(t.id)), 'the download', 600000);
    seen.add(d.id);
    if (d.state !== 'done') throw new Error('download ended ' + JSON.stringify(d));
    down.push(size / 1e6 / ((Date.now() - t0) / 1000));
    downCpu.push(size / 1e6 / (descendantsCpu() - c0));

    const file = path.join(upDir, `up${r}.bin`);
    fs.writeFileSync(file, body);
    const u0 = Date.now(), c1 = descendantsCpu();
    await page.setInputFiles('#filesPick', file);
    const u = await waitFor(() => transfer(page, (t) => t.kind === 'up' && t.name === `up${r}.bin` && t.state !== 'active'), 'the upload', 600000);
    if (u.state !== 'done') throw new Error('upload ended ' + JSON.stringify(u));
    up.push(size / 1e6 / ((Date.now() - u0) / 1000));
    upCpu.push(size / 1e6 / (descendantsCpu() - c1));
    const saved = path.join(home, 'Downloads', 'Tolvane', u.savedAs);
    if (fs.statSync(saved).size !== size) throw new Error('upload landed short');
    fs.rmSync(saved);
    fs.rmSync(file);
  }
  const f = (v) => v.map((x) => x.toFixed(1)).join(' ');
  console.log(`${process.env.BENCH_LAN === '1' ? 'LAN WebSocket' : 'data channel'}, ${mb} MB each way, ${runs} runs, load ${os.loadavg().map((x) => x.toFixed(1)).join(' ')}`);
  console.log(`download MB/s: median ${median(down).toFixed(1)} (runs ${f(down)}); ${median(downCpu).toFixed(1)} MB per CPU second of host, server and browser`);
  console.log(`upload   MB/s: median ${median(up).toFixed(1)} (runs ${f(up)}); ${median(upCpu).toFixed(1)} MB per CPU second of host, server and browser`);
} finally {
  await phone.close();
  await host.dispose();
  await signal.dispose();
  fs.rmSync(home, { recursive: true, force: true });
  fs.rmSync(upDir, { recursive: true, force: true });
}
