#!/usr/bin/env node
// Glass-to-glass delay of the three deliveries on one machine in one run: the
// LAN WebSocket, packets on the data channel and the WebRTC video track. From
// an input sent by the page to the first presented picture that shows it, as
// the page itself measures it (its `delays`: frame headers on the canvas
// path, "fm" marks matched to the strip's frame numbers on the track). The
// same host (test pattern, "--video auto") serves all three; Chromium sits
// behind the link emulator, unshaped and at each given round trip. Beside the
// delays: the host's CPU time per frame it delivered in that run (user +
// system time of the host process over the frames the page received).
//
//   tests/tools/in-netns.sh node bench/track_glass_bench.mjs [--inputs 320] [--gap 60] [--rtt 0,40]
// (build first: tolvane-host, tolvane-signal, tests/linkemu; tests/e2e has its npm packages.)
import fs from 'node:fs';
import { Host, launchPhone, hook, waitFor } from '../tests/e2e/support.mjs';
import { RTC_ARGS, internetLink } from '../tests/e2e/rtc-support.mjs';
import { NEAR, startLink, startSignal, secureOrigins, sleep, pct, r1 } from './rtc_bench_net.mjs';

const argv = process.argv;
const opt = (name, dflt) => { const i = argv.indexOf('--' + name); return i > 0 ? argv[i + 1] : dflt; };
const inputs = Number(opt('inputs', 320)), gap = Number(opt('gap', 60));
const rtts = String(opt('rtt', '0,40')).split(',').map(Number);
const HOST_PORT = 18765, SIGNAL_PORT = 18766;
const TICK_MS = 1000 / 100; // USER_HZ on Linux

// utime + stime of a process in ms.
function cpuMs(pid) {
  const f = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const after = f.slice(f.lastIndexOf(')') + 2).split(' ');
  return (Number(after[11]) + Number(after[12])) * TICK_MS;
}

// Before the page's modules: the delivery it asks for, and its peer connection for statistics.
function prefer(video) {
  localStorage.setItem('tolvane.video', video);
  const srd = RTCPeerConnection.prototype.setRemoteDescription;
  RTCPeerConnection.prototype.setRemoteDescription = function (...a) { window.__pc = this; return srd.apply(this, a); };
}

// Frames that reached the page by the given way so far.
const framesIn = (page, via) => page.evaluate(async (via) => {
  if (via !== 'track') return window.__tolvane.frames;
  const stats = await window.__pc.getStats();
  let n = 0;
  stats.forEach((s) => { if (s.type === 'inbound-rtp' && s.kind === 'video') n += s.framesDecoded || 0; });
  return n;
}, via);

async function measure(phone, host, url, via) {
  const page = await phone.page();
  try {
    if (via !== 'lan_ws') await page.addInitScript(prefer, via === 'track' ? 'track' : 'dc');
    await page.goto(url);
    if (via === 'track') await waitFor(async () => (await hook(page))?.track?.read >= 30, 'the track', 60000);
    else await waitFor(async () => (await hook(page))?.drawn >= 30, `the picture over ${via}`, 60000);
    await sleep(1000);
    const t0 = await hook(page);
    const f0 = await framesIn(page, via), c0 = cpuMs(host.proc.pid), w0 = Date.now();
    const box = await page.evaluate((id) => { const r = document.getElementById(id).getBoundingClientRect(); return { x: r.left, y: r.top, w: r.width, h: r.height }; },
      via === 'track' ? 'trackBox' : 'screen');
    // Each tap is two inputs (press and release), both carried back to the page.
    for (let i = 0; i < Math.ceil(inputs / 2); i++) {
      const fx = 0.1 + (0.8 * ((i * 37) % 100)) / 100, fy = 0.15 + (0.7 * ((i * 61) % 100)) / 100;
      await page.touchscreen.tap(box.x + fx * box.w, box.y + fy * box.h);
      await sleep(gap);
    }
    await sleep(1500);
    const t = await hook(page);
    const frames = (await framesIn(page, via)) - f0, cpu = cpuMs(host.proc.pid) - c0, secs = (Date.now() - w0) / 1000;
    const d = t.delays.slice(t0.delays.length).sort((a, b) => a - b);
    return { measured: d.length, p50_ms: r1(pct(d, 50)), p95_ms: r1(pct(d, 95)), max_ms: r1(d.at(-1) ?? null),
      rtt_ms: r1(t.rtt), fps: r1(frames / secs), host_cpu_ms_per_frame: frames ? r1(cpu / frames) : null,
      host_cpu_pct: r1((cpu / 10) / secs), unread: via === 'track' ? t.track.unread - t0.track.unread : undefined };
  } finally {
    await page.close();
  }
}

const rows = [];
for (const rtt of rtts) {
  const link = await startLink(rtt > 0 ? ['--delay', String(rtt / 2)] : []);
  const signal = await startSignal(SIGNAL_PORT);
  const host = new Host({ port: HOST_PORT, signal: signal.wsBase, extraArgs: ['--video', 'auto'] });
  let phone;
  try {
    await host.start();
    await waitFor(() => internetLink(host), 'the internet link', 30000);
    process.env.CHROMIUM = link.chromium;
    phone = await launchPhone({ extraArgs: [...RTC_ARGS, secureOrigins(HOST_PORT, SIGNAL_PORT)] });
    await phone.context.grantPermissions(['camera', 'microphone']);
    const ways = [['lan_ws', host.url.replace('127.0.0.1', NEAR)], ['data_channel', internetLink(host)], ['track', internetLink(host)]];
    for (const [via, url] of ways) {
      // A way that does not come up is a row saying why, not the end of the run.
      const res = await measure(phone, host, url, via).catch((e) => ({ error: e.message.split('\n')[0] }));
      const row = { transport: via, rtt_ms_set: rtt, inputs, ...res };
      rows.push(row);
      console.log(JSON.stringify(row));
      await sleep(2000); // the host notices the page gone before the next one comes
    }
  } finally {
    await phone?.close();
    await host.dispose();
    signal.stop();
    await link.stop();
  }
}
console.log('\n| transport | link round trip | inputs measured | p50 ms | p95 ms | max ms | page rtt ms | fps | host CPU ms/frame | host CPU % |');
console.log('|---|---|---|---|---|---|---|---|---|---|');
for (const r of rows) {
  console.log(`| ${r.transport} | ${r.rtt_ms_set} ms | ${r.measured} | ${r.p50_ms} | ${r.p95_ms} | ${r.max_ms} | ${r.rtt_ms} | ${r.fps} | ${r.host_cpu_ms_per_frame} | ${r.host_cpu_pct} |`);
}
