#!/usr/bin/env node
// The video track's rate control under a step in link rate: 8 Mbit/s, then 2,
// then 8 again, one row a second. The host ("--video track", test pattern with
// noisy scrolling, so the track encoder spends what it is given) sends to
// Chromium behind the link emulator. A row holds the link's rate, the track
// controller's target as the host last journalled it, what the host put on
// the link and what came out, and what the page's track received: bit rate,
// frames per second, frame width, packets lost, frames it presented and
// frames whose number it could not read. At the end: seconds from the step
// down until the target and then the bytes sent are under the new rate, and
// from the step up until the target is back.
//
//   tests/tools/in-netns.sh node bench/track_rate_trace.mjs [--high 8000] [--low 2000] [--secs 40,40,60] [--queue 200000]
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

function keepPc() {
  const srd = RTCPeerConnection.prototype.setRemoteDescription;
  RTCPeerConnection.prototype.setRemoteDescription = function (...a) { window.__pc = this; return srd.apply(this, a); };
}

const inbound = (page) => page.evaluate(async () => {
  const out = { bytes: 0, frames: 0, lost: 0, fps: null, width: null };
  if (!window.__pc) return out;
  (await window.__pc.getStats()).forEach((s) => {
    if (s.type !== 'inbound-rtp' || s.kind !== 'video') return;
    out.bytes += s.bytesReceived || 0; out.frames += s.framesDecoded || 0; out.lost += s.packetsLost || 0;
    out.fps = s.framesPerSecond ?? null; out.width = s.frameWidth ?? null;
  });
  return out;
});

const journal = (host) => {
  try {
    return fs.readFileSync(path.join(host.dir, 'connect_log.jsonl'), 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
  } catch { return []; }
};
// The controller's latest target: its own events where it writes them, else the last snapshot's "video_out".
function target(host) {
  let bps = null;
  for (const r of journal(host)) {
    if (r.ev === 'track_rate' && typeof r.bps === 'number') bps = r.bps;
    else if (r.video_out && typeof r.video_out.targetBitrate === 'number') bps = r.video_out.targetBitrate;
  }
  return bps === null ? null : Math.round(bps / 1000);
}

let down = null;
const link = await startLink(['--down-rate', String(high), '--down-queue', String(queue)],
  { statsMs: 1000, onStats: (s) => { down = s.down; } });
const signal = await startSignal(SIGNAL_PORT);
const host = new Host({ signal: signal.wsBase, extraArgs: ['--test-scroll-noise', '--video', 'track'] });
let phone;
const rows = [];
try {
  await host.start();
  await waitFor(() => internetLink(host), 'the internet link', 30000);
  process.env.CHROMIUM = link.chromium;
  phone = await launchPhone({ extraArgs: [...RTC_ARGS, secureOrigins(SIGNAL_PORT)] });
  await phone.context.grantPermissions(['camera', 'microphone']);
  const page = await phone.page();
  await page.addInitScript(keepPc);
  await page.goto(internetLink(host));
  await waitFor(async () => (await hook(page))?.track?.read > 0, 'the first track picture', 60000);

  const plan = [[s1, high], [s2, low], [s3, high]];
  let prev = down, prevIn = await inbound(page), prevT = (await hook(page)).track, t = 0;
  for (const [secs, kbps] of plan) {
    link.set(`down rate ${kbps}`);
    for (let i = 0; i < secs; i++, t++) {
      await sleep(1000);
      const now = down, got = await inbound(page), tr = (await hook(page)).track;
      const row = {
        t, link_kbps: kbps, target_kbps: target(host),
        sent_kbps: prev && now ? Math.round(((now.in_bytes - prev.in_bytes) * 8) / 1000) : null,
        out_kbps: prev && now ? Math.round(((now.out_bytes - prev.out_bytes) * 8) / 1000) : null,
        recv_kbps: Math.round(((got.bytes - prevIn.bytes) * 8) / 1000),
        fps: got.fps, width: got.width, lost: got.lost - prevIn.lost,
        shown: tr.frames - prevT.frames, unread: tr.unread - prevT.unread,
        link_drops: prev && now ? now.tail_dropped - prev.tail_dropped : null,
      };
      prev = now; prevIn = got; prevT = tr;
      rows.push(row);
      console.log(JSON.stringify(row));
    }
  }
  const end = await hook(page);
  console.log(JSON.stringify({ page: { shown: end.track.frames, read: end.track.read, unread: end.track.unread, use: end.track.use, error: end.error } }));
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
const before = rows[s1 - 1]?.target_kbps ?? null;
console.log('\n| t s | link kbps | target kbps | sent kbps | out kbps | received kbps | fps | width | lost | shown | unread | link drops |');
console.log('|---|---|---|---|---|---|---|---|---|---|---|---|');
for (const r of rows) {
  console.log(`| ${r.t} | ${r.link_kbps} | ${r.target_kbps} | ${r.sent_kbps} | ${r.out_kbps} | ${r.recv_kbps} | ${r.fps} | ${r.width} | ${r.lost} | ${r.shown} | ${r.unread} | ${r.link_drops} |`);
}
console.log(JSON.stringify({
  target_before_step_kbps: before,
  target_under_s: settle(s1, s1 + s2, (r) => r.target_kbps !== null && r.target_kbps <= low),
  sent_under_s: settle(s1, s1 + s2, (r) => r.sent_kbps !== null && r.sent_kbps <= low),
  target_recovered_s: before === null ? null : settle(s1 + s2, rows.length, (r) => r.target_kbps >= 0.9 * before),
}));
