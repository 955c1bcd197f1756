// Video-track mode under strain: a narrow link (the link emulator between the
// host's namespace and a nested one holding Chromium) and a picture too large
// for the track encoder to keep up with. Opens peer connections: runs only
// inside a private network namespace (tests/tools/in-netns.sh).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { Host, hook, waitFor, sleep, launchPhone, freePort } from './support.mjs';
import { RTC_ARGS, launchRtcPhone, SignalServer, connectLog, internetLink } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

const { startLink, startSignal, secureOrigins } = await import('../../bench/rtc_bench_net.mjs');

const REGISTERED = '[rtc] 待ち合わせ役に登録しました';
const track = async (page) => (await hook(page))?.track;
const events = (host, name) => connectLog(host).filter((r) => r.src === 'host' && r.ev === name);

function failWithLogs(e, host, extra = '') {
  e.message += '\n--- host log ---\n' + host.log().slice(-6000) + extra;
  return e;
}

// In the page: when each track frame was presented, so a stall shows as a gap.
// The first overflow of the link (the start rate is above it) stalls the
// picture for one to three seconds until a key frame gets through; the
// longest gap is printed, not asserted: only that frames come again is.
const watchGaps = (page) => page.evaluate(() => {
  const v = document.getElementById('track');
  const W = window.__gaps = { last: 0, longest: 0, n: 0 };
  const each = (now) => {
    v.requestVideoFrameCallback(each);
    if (W.last) W.longest = Math.max(W.longest, now - W.last);
    W.last = now;
    W.n++;
  };
  v.requestVideoFrameCallback(each);
});

test('--video track behind a 1.5 Mbit/s link: the rate settles inside its bounds and under the link, frames keep coming', async () => {
  const LINK_KBPS = 1500, MIN_KBPS = 250, MAX_KBPS = 6000;
  const link = await startLink(['--down-rate', String(LINK_KBPS), '--down-queue', '200000']);
  const port = await freePort();
  const signal = await startSignal(port);
  // Starting at twice the link's rate, the controller has to come down.
  const host = new Host({ signal: signal.wsBase, extraArgs: ['--test-scroll-noise', '--video', 'track',
    '--track-min-kbps', String(MIN_KBPS), '--track-max-kbps', String(MAX_KBPS), '--track-start-kbps', '3000'] });
  let phone;
  try {
    await host.start();
    const url = await waitFor(() => internetLink(host), 'the internet link', 30000);
    const was = process.env.CHROMIUM;
    process.env.CHROMIUM = link.chromium;
    try { phone = await launchPhone({ extraArgs: [...RTC_ARGS, secureOrigins(port)] }); } finally {
      if (was === undefined) delete process.env.CHROMIUM; else process.env.CHROMIUM = was;
    }
    await phone.context.grantPermissions(['camera', 'microphone']);
    const page = await phone.page();
    await page.goto(url);
    await waitFor(async () => (await track(page))?.read > 0, 'the first track picture', 90000);
    await watchGaps(page);

    // Settled: the controller's last three targets at or under the link's rate.
    const rates = () => events(host, 'track_rate');
    await waitFor(() => {
      const r = rates().slice(-3);
      return r.length === 3 && r.every((x) => x.bps <= LINK_KBPS * 1000);
    }, 'the track\'s target at or under the link rate', 120000, 500);

    // Frames keep coming after that: three rounds of new pictures with their numbers read.
    for (let round = 0; round < 3; round++) {
      const t = await track(page);
      await waitFor(async () => {
        const now = await track(page);
        return now.frames >= t.frames + 20 && now.read >= t.read + 20;
      }, 'twenty more frames presented and read (round ' + (round + 1) + ')', 90000, 250);
    }
    const end = await track(page);
    assert.equal(end.use, 'track');

    // Never outside the bounds, from the first target on.
    const all = rates();
    for (const r of all) {
      assert.ok(r.bps >= MIN_KBPS * 1000 && r.bps <= MAX_KBPS * 1000, 'target out of bounds: ' + JSON.stringify(r));
      assert.ok(r.fps > 0, 'a target without frames: ' + JSON.stringify(r));
    }
    const gaps = await page.evaluate(() => window.__gaps);
    const lastStats = events(host, 'stats').at(-1)?.video_out ?? {};
    console.log(JSON.stringify({
      shaped: { link_kbps: LINK_KBPS, targets: all.length, last_kbps: Math.round(all.at(-1).bps / 1000),
        lowest_kbps: Math.round(Math.min(...all.map((r) => r.bps)) / 1000),
        frames: end.frames, read: end.read, unread: end.unread, longest_gap_ms: Math.round(gaps.longest),
        push_dropped: lastStats.push_dropped ?? null, nack_count: lastStats.nackCount ?? null },
    }));
  } catch (e) {
    throw failWithLogs(e, host, '\n--- track_rate ---\n' + JSON.stringify(events(host, 'track_rate').slice(-20)));
  } finally {
    await phone?.close();
    await host.dispose();
    signal.stop();
    await link.stop();
  }
});

// A picture larger than the phone's would ask for: its "view" requests are
// kept from the host, so the test pattern stays at the size it was given.
function keepViewFromHost() {
  const send = RTCDataChannel.prototype.send;
  RTCDataChannel.prototype.send = function (data) {
    if (typeof data === 'string' && data.includes('"view"')) {
      try { if (JSON.parse(data).t === 'view') return; } catch { /* not ours to judge */ }
    }
    return send.call(this, data);
  };
}

const rssKb = (pid) => {
  const m = fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/^VmRSS:\s+(\d+)\s+kB/m);
  return m ? Number(m[1]) : null;
};

test('--video track with a 3840x2160 picture: frames the encoder cannot take are counted in "push_dropped", memory stays flat', async () => {
  const signal = new SignalServer();
  await signal.start();
  const host = new Host({ signal: signal.wsBase, extraArgs: ['--video', 'track', '--test-size', '3840x2160'] });
  const phone = await launchRtcPhone();
  const samples = [];
  try {
    await host.start();
    await waitFor(() => host.log().includes(REGISTERED), 'the host to register', 20000);
    const page = await phone.page();
    await page.addInitScript(keepViewFromHost);
    await page.goto(internetLink(host));
    await waitFor(async () => (await track(page))?.use === 'track', 'the track', 60000);
    const cfg = await waitFor(async () => (await track(page))?.vcfg, '"vcfg"', 60000);
    assert.equal(cfg.w, 3840, JSON.stringify(cfg));

    const videoOut = () => events(host, 'stats').map((r) => r.video_out).filter((v) => v && typeof v.pushed === 'number');
    const sample = () => samples.push(rssKb(host.proc.pid));
    // Past the encoder's start (its buffers are allocated once). Frames of
    // 33 MB in flight swing the figure by tens of MB, so the baseline is the
    // highest of a few samples and the end the middle of the last three.
    const first = await waitFor(() => videoOut().find((v) => v.pushed >= 5), 'five frames through the track', 120000, 250);
    for (let i = 0; i < 3; i++) { sample(); await sleep(1000); }
    const base = Math.max(...samples);
    const d0 = videoOut().at(-1).push_dropped;
    // Sixty refusals more: a backlog kept instead would hold that many 4K frames.
    const drop = await waitFor(() => {
      sample();
      const v = videoOut().at(-1);
      return v.push_dropped >= d0 + 60 && v;
    }, 'sixty more frames refused', 180000, 1000);
    assert.ok(drop.push_dropped > 0 && drop.pushed > first.pushed, JSON.stringify(drop));
    for (let i = 0; i < 2; i++) { await sleep(1000); sample(); }
    const end = samples.slice(-3).sort((a, b) => a - b)[1];
    console.log(JSON.stringify({ slow_pipeline: { pushed: drop.pushed, push_dropped: drop.push_dropped,
      rss_base_mb: Math.round(base / 1024), rss_end_mb: Math.round(end / 1024),
      rss_max_mb: Math.round(Math.max(...samples) / 1024), samples: samples.length } }));
    assert.ok(end < base + 100 * 1024, `RSS grew: ${base} kB -> ${end} kB (${samples.join(' ')})`);
    await page.close();
  } catch (e) {
    throw failWithLogs(e, host, '\n--- server log ---\n' + signal.log().slice(-2000));
  } finally {
    await phone.close();
    await host.dispose();
    await signal.dispose();
  }
});
