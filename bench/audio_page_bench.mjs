// Sound delay at the page: from a scripted host sending a tone burst (LAN
// packets of kind 2, paced at 20 ms) to the tone at the player worklet's
// output, plus the context's reported output latency. The page watches an
// analyser every few milliseconds, so figures carry about ±10 ms.
// Run from tests/e2e: node ../../bench/audio_page_bench.mjs [bursts]
import { launchPhone, waitFor, sleep, hook } from '../tests/e2e/support.mjs';
import { ScriptedHost, tonePacket } from '../tests/e2e/scripted-host.mjs';

const bursts = Number(process.argv[2]) || 20;
const host = new ScriptedHost();
await host.start();
let ws = null;
host.onMessage = (m, sock) => { if (m.t === 'audio' && m.on === true) ws = sock; };
const phone = await launchPhone();
const silence = Buffer.alloc(961); silence[0] = 2;
try {
  const page = await phone.page();
  await page.addInitScript(() => { window.__tolvaneTest = { audioAnalyser: true }; });
  await page.goto(host.url);
  await waitFor(async () => (await hook(page))?.hello, 'hello');
  await page.tap('#bSound');
  await waitFor(() => ws, 'the audio request');
  await waitFor(() => page.evaluate(() => !!window.__tolvane.audioProbe), 'the player');
  // The page notes when the tone shows at the output, on the wall clock.
  await page.evaluate(() => {
    window.__onsets = [];
    let loud = false;
    window.__levels = [];
    setInterval(() => window.__levels.push(Math.round(window.__tolvane.audio.bufferedMs)), 100);
    setInterval(() => {
      const p = window.__tolvane.audioProbe();
      if (!loud && p.peak > 0.2) window.__onsets.push(performance.timeOrigin + performance.now());
      loud = p.peak > 0.2;
    }, 2);
  });
  let at = 0, burst = -1;
  const sent = [];
  const start = Date.now();
  // 20 ms packets on the clock: 400 ms of silence, then 100 ms of tone.
  for (let k = 0; k < bursts * 25; k++) {
    const due = start + k * 20;
    const wait = due - Date.now();
    if (wait > 0) await sleep(wait);
    const inBurst = k % 25 >= 20;
    if (inBurst && k % 25 === 20) { sent.push(Date.now()); burst++; }
    ws.send(inBurst ? tonePacket(at) : silence);
    at += 480;
  }
  await sleep(500);
  const onsets = await page.evaluate(() => window.__onsets);
  const out = (await hook(page)).audio.outputMs;
  const delays = [];
  for (const s of sent) {
    const o = onsets.find((t) => t >= s);
    if (o !== undefined) delays.push(o - s + out);
  }
  delays.sort((a, b) => a - b);
  const q = (p) => delays[Math.min(delays.length - 1, Math.floor(p * delays.length))];
  const t = (await hook(page)).audio;
  const lat = await page.evaluate(() => ({ rate: window.__tolvane.audio.rate, levels: window.__levels }));
  console.log(`page sound delay (send -> worklet output + outputLatency ${out.toFixed(1)} ms): n=${delays.length}/${sent.length} ` +
    `p50=${q(0.5).toFixed(1)} ms p90=${q(0.9).toFixed(1)} ms (goal p50 <= 120 ms); underruns ${t.underruns}, dropped ${t.dropped} samples`);
  const lv = lat.levels.slice().sort((a, b) => a - b);
  console.log(`context ${lat.rate} Hz; jitter buffer p10/p50/p90 ${lv[Math.floor(lv.length * 0.1)]}/${lv[Math.floor(lv.length / 2)]}/${lv[Math.floor(lv.length * 0.9)]} ms`);
  await page.close();
} finally {
  await phone.close();
  await host.stop();
}
