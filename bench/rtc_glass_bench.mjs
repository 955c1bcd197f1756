#!/usr/bin/env node
// Glass-to-glass delay of both transports on one machine in one run: from an
// input sent by the page to the first drawn picture whose packet carries that
// input's id, as the page itself measures it (its `delays`). The same host
// (test pattern) serves the page over the LAN WebSocket and over the data
// channel through our rendezvous server; Chromium sits behind the link
// emulator, unshaped and at each given round trip.
//
//   tests/tools/in-netns.sh node bench/rtc_glass_bench.mjs [--inputs 320] [--gap 60] [--rtt 0,40]
// (build first: tolvane-host, tolvane-signal, tests/linkemu; tests/e2e has its npm packages.)
import { Host, launchPhone, hook, waitFor, pictureRect } from '../tests/e2e/support.mjs';
import { RTC_ARGS, internetLink } from '../tests/e2e/rtc-support.mjs';
import { NEAR, startLink, startSignal, secureOrigins, sleep, pct, r1 } from './rtc_bench_net.mjs';

const argv = process.argv;
const opt = (name, dflt) => { const i = argv.indexOf('--' + name); return i > 0 ? argv[i + 1] : dflt; };
const inputs = Number(opt('inputs', 320)), gap = Number(opt('gap', 60));
const rtts = String(opt('rtt', '0,40')).split(',').map(Number);
const HOST_PORT = 18765, SIGNAL_PORT = 18766;

async function measure(phone, url, via) {
  const page = await phone.page();
  try {
    await page.goto(url);
    await waitFor(async () => (await hook(page))?.drawn >= 30, `the picture over ${via}`, 60000);
    await sleep(1000);
    const t0 = await hook(page);
    const r = await pictureRect(page);
    // Each tap is two inputs (press and release), both carried back in frame headers.
    for (let i = 0; i < Math.ceil(inputs / 2); i++) {
      const fx = 0.1 + (0.8 * ((i * 37) % 100)) / 100, fy = 0.15 + (0.7 * ((i * 61) % 100)) / 100;
      await page.touchscreen.tap(r.x + fx * r.w, r.y + fy * r.h);
      await sleep(gap);
    }
    await sleep(1500);
    const t = await hook(page);
    const d = t.delays.slice(t0.delays.length).sort((a, b) => a - b);
    return { measured: d.length, p50_ms: r1(pct(d, 50)), p95_ms: r1(pct(d, 95)), max_ms: r1(d.at(-1) ?? null),
      dropped: t.dropped - t0.dropped, rtt_ms: r1(t.rtt) };
  } finally {
    await page.close();
  }
}

const rows = [];
for (const rtt of rtts) {
  const link = await startLink(rtt > 0 ? ['--delay', String(rtt / 2)] : []);
  const signal = await startSignal(SIGNAL_PORT);
  const host = new Host({ port: HOST_PORT, signal: signal.wsBase });
  let phone;
  try {
    await host.start();
    await waitFor(() => internetLink(host), 'the internet link', 30000);
    process.env.CHROMIUM = link.chromium;
    phone = await launchPhone({ extraArgs: [...RTC_ARGS, secureOrigins(HOST_PORT, SIGNAL_PORT)] });
    await phone.context.grantPermissions(['camera', 'microphone']);
    const ways = [['lan_ws', host.url.replace('127.0.0.1', NEAR)], ['data_channel', internetLink(host)]];
    for (const [via, url] of ways) {
      const res = await measure(phone, url, via);
      const row = { transport: via, rtt_ms_set: rtt, inputs, ...res };
      rows.push(row);
      console.log(JSON.stringify(row));
    }
  } finally {
    await phone?.close();
    await host.dispose();
    signal.stop();
    await link.stop();
  }
}
console.log('\n| transport | link round trip | inputs measured | p50 ms | p95 ms | max ms | page rtt ms |');
console.log('|---|---|---|---|---|---|---|');
for (const r of rows) console.log(`| ${r.transport} | ${r.rtt_ms_set} ms | ${r.measured} | ${r.p50_ms} | ${r.p95_ms} | ${r.max_ms} | ${r.rtt_ms} |`);
