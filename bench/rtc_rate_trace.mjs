#!/usr/bin/env node
// The data-channel video's rate control under a step in link rate: 8 Mbit/s,
// then 2, then 8 again, one row a second. The host (test pattern with noisy
// scrolling, so the encoder spends what it is given) sends to Chromium behind
// the link emulator; the row holds the link's rate, the controller's rate
// (the host's last "rate" event), what the host put on the link and what
// came out of it, the page's last "qd", frames the host dropped (from its
// "rate" events) and packets the link's queue dropped. At the end: seconds
// from the step down until the controller's rate and then the bytes sent
// are under the new rate, and from the step up until the rate is back.
//
//   tests/tools/in-netns.sh node bench/rtc_rate_trace.mjs [--high 8000] [--low 2000] [--secs 40,40,60] [--queue 200000]
import fs from 'node:fs';
import path from 'node:path';
import { Host, launchPhone, hook, waitFor } from '../tests/e2e/support.mjs';
import { RTC_ARGS, internetLink } from '../tests/e2e/rtc-support.mjs';
import { startLink, startSignal, secureOrigins, sleep } from './rtc_bench_net.mjs';

const argv = process.argv;
const opt = (name, dflt) => { const i = argv.indexOf('--' + name); return i > 0 ? argv[i + 1] : dflt; };
const high = Number(opt('high', 8000)), low = Number(opt('low', 2000)), queue = Number(opt('queue', 200000));
const [s1, s2, s3] = String(opt('secs', '40,40,60')).split(',').map(Number);
const SIGNAL_PORT = 18766;

// The page's reports, as it sends them, kept for the trace.
function instrument() {
  const reps = (window.__benchReps = []);
  const send = RTCDataChannel.prototype.send;
  RTCDataChannel.prototype.send = function (data) {
    if (typeof data === 'string' && data.includes('"t":"rep"')) { try { reps.push(JSON.parse(data)); } catch { /* not ours */ } }
    return send.call(this, data);
  };
}

const journal = (host) => {
  try {
    return fs.readFileSync(path.join(host.dir, 'connect_log.jsonl'), 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
  } catch { return []; }
};

let down = null;
const link = await startLink(['--down-rate', String(high), '--down-queue', String(queue)],
  { statsMs: 1000, onStats: (s) => { down = s.down; } });
const signal = await startSignal(SIGNAL_PORT);
const host = new Host({ signal: signal.wsBase, extraArgs: ['--test-scroll-noise'] });
let phone;
const rows = [];
try {
  await host.start();
  await waitFor(() => internetLink(host), 'the internet link', 30000);
  process.env.CHROMIUM = link.chromium;
  phone = await launchPhone({ extraArgs: [...RTC_ARGS, secureOrigins(SIGNAL_PORT)] });
  await phone.context.grantPermissions(['camera', 'microphone']);
  const page = await phone.page();
  await page.addInitScript(instrument);
  await page.goto(internetLink(host));
  await waitFor(async () => (await hook(page))?.drawn > 0, 'the first picture', 60000);

  const plan = [[s1, high], [s2, low], [s3, high]];
  let prev = down, seenRate = 0, t = 0;
  for (const [secs, kbps] of plan) {
    link.set(`down rate ${kbps}`);
    for (let i = 0; i < secs; i++, t++) {
      await sleep(1000);
      const now = down;
      const rates = journal(host).filter((r) => r.ev === 'rate');
      const fresh = rates.slice(seenRate);
      seenRate = rates.length;
      const reps = await page.evaluate(() => window.__benchReps.slice(-1));
      const row = {
        t, link_kbps: kbps,
        ctrl_kbps: rates.length ? Math.round(rates.at(-1).bitrate / 1000) : null,
        sent_kbps: prev && now ? Math.round(((now.in_bytes - prev.in_bytes) * 8) / 1000) : null,
        out_kbps: prev && now ? Math.round(((now.out_bytes - prev.out_bytes) * 8) / 1000) : null,
        qd: reps.length ? reps[0].qd : null,
        host_drops: fresh.reduce((a, r) => a + (r.drops_p || 0) + (r.drops_key || 0), 0),
        link_drops: prev && now ? now.tail_dropped - prev.tail_dropped : null,
        queued: now ? now.queued : null,
      };
      prev = now;
      rows.push(row);
      console.log(JSON.stringify(row));
    }
  }
  const end = await hook(page);
  console.log(JSON.stringify({ page: { drawn: end.drawn, dropped: end.dropped, error: end.error } }));
} finally {
  await phone?.close();
  await host.dispose();
  signal.stop();
  await link.stop();
}

// Seconds after a step until `ok` holds for this row and the next two.
const settle = (from, to, ok) => {
  for (let i = from; i < to; i++) if (rows.slice(i, i + 3).length === 3 && rows.slice(i, i + 3).every(ok)) return i - from + 1;
  return null;
};
const before = rows[s1 - 1]?.ctrl_kbps ?? null;
console.log('\n| t s | link kbps | controller kbps | sent kbps | out kbps | qd ms | host drops | link drops |');
console.log('|---|---|---|---|---|---|---|---|');
for (const r of rows) console.log(`| ${r.t} | ${r.link_kbps} | ${r.ctrl_kbps} | ${r.sent_kbps} | ${r.out_kbps} | ${r.qd} | ${r.host_drops} | ${r.link_drops} |`);
console.log(JSON.stringify({
  controller_before_step_kbps: before,
  controller_under_s: settle(s1, s1 + s2, (r) => r.ctrl_kbps !== null && r.ctrl_kbps <= low),
  sent_under_s: settle(s1, s1 + s2, (r) => r.sent_kbps !== null && r.sent_kbps <= low),
  controller_recovered_s: before === null ? null : settle(s1 + s2, rows.length, (r) => r.ctrl_kbps >= 0.9 * before),
}));
