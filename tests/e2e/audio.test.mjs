// The speaker button against a scripted host: the tap makes the audio
// context and asks for sound; LAN packets (kind 2) of a 1 kHz tone reach the
// worklet's output; a reconnect asks again; the host's warning turns it off.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchPhone, hook, waitFor, sleep } from './support.mjs';
import { ScriptedHost, tonePacket } from './scripted-host.mjs';

let phone;
before(async () => {
  phone = await launchPhone({ extraArgs: ['--autoplay-policy=user-gesture-required'] });
});
after(async () => { await phone?.close(); });

test('sound plays through the worklet while on, and is asked for again after a reconnect', async () => {
  const host = new ScriptedHost();
  await host.start();
  const streams = new Map();
  host.onMessage = (m, ws) => {
    if (m.t !== 'audio') return;
    clearInterval(streams.get(ws));
    streams.delete(ws);
    if (m.on !== true) return;
    let at = 0;
    // Paced like the host: 20 ms of sound every 20 ms.
    streams.set(ws, setInterval(() => { ws.send(tonePacket(at)); at += 480; }, 20));
  };
  try {
    const page = await phone.page();
    await page.addInitScript(() => { window.__tolvaneTest = { audioAnalyser: true }; });
    await page.goto(host.url);
    await waitFor(async () => (await hook(page))?.hello, 'hello');
    await page.tap('#bSound');
    await waitFor(() => host.count('audio') === 1, 'the audio request');
    assert.deepEqual(host.received.find((m) => m.t === 'audio'), { t: 'audio', on: true });
    await waitFor(async () => (await hook(page)).audio.packets > 20, 'packets at the page');
    const probe = await waitFor(async () => {
      const p = await page.evaluate(() => window.__tolvane.audioProbe && window.__tolvane.audioProbe());
      return p && p.peak > 0.3 ? p : null;
    }, 'the tone at the worklet output');
    assert.ok(Math.abs(probe.hz - 1000) < 30, 'tone at ' + probe.hz + ' Hz');
    assert.ok(probe.peak < 0.6, 'peak ' + probe.peak);
    const t = (await hook(page)).audio;
    assert.ok(t.bufferedMs > 0 && t.bufferedMs <= 200, 'buffered ' + t.bufferedMs);
    assert.match(await page.locator('#soundLabel').textContent(), /^\d+ ms$/);
    await page.screenshot({ path: '/work/shots/apps-sound-on.png' });

    // The link drops and comes back: the page asks for sound again.
    for (const ws of host.sockets) ws.terminate();
    await waitFor(() => host.count('audio') === 2, 'audio asked for again', 30000);

    // Off: the host is told, the output fades to silence and the context sleeps.
    await page.tap('#bSound');
    await waitFor(() => host.received.filter((m) => m.t === 'audio').at(-1).on === false, 'off');
    await waitFor(async () => (await hook(page)).audio.state === 'suspended', 'the context to sleep');
    assert.ok((await page.evaluate(() => window.__tolvane.audioProbe())).peak < 0.01, 'silent when it slept');

    // The host could not capture: the warning shows and the button is off.
    await page.tap('#bSound');
    await waitFor(() => host.received.filter((m) => m.t === 'audio').at(-1).on === true, 'on again');
    for (const ws of host.sockets) ws.send(JSON.stringify({ t: 'warn', code: 'audio', msg: "Could not capture this Mac's sound. Please allow Screen & System Audio Recording." }));
    await waitFor(async () => (await hook(page)).audio.on === false, 'the button to go off');
    assert.equal(await page.locator('#bSound').getAttribute('aria-pressed'), 'false');
    await page.screenshot({ path: '/work/shots/apps-sound-warn.png' });
    assert.deepEqual(phone.errors, []);
    await page.close();
  } finally {
    for (const t of streams.values()) clearInterval(t);
    await host.stop();
  }
});

test('the worklet keeps its buffer near 60 ms and drops the oldest beyond 200 ms', async () => {
  const host = new ScriptedHost();
  await host.start();
  try {
    const page = await phone.page();
    await page.goto(host.url);
    await waitFor(async () => (await hook(page))?.hello, 'hello');
    await page.tap('#bSound');
    await waitFor(() => host.count('audio') === 1, 'the audio request');
    await waitFor(async () => (await hook(page)).audio.ready, 'the player');
    // A burst of one second at once: far beyond what the buffer keeps.
    for (const ws of host.sockets) for (let k = 0; k < 50; k++) ws.send(tonePacket(k * 480));
    await waitFor(async () => (await hook(page)).audio.dropped > 0, 'old sound dropped');
    const t = (await hook(page)).audio;
    assert.ok(t.bufferedMs <= 200, 'buffered ' + t.bufferedMs);
    // Then it runs dry: underruns are counted (how many depends on how the
    // burst was spread in time), and running dry is counted once.
    await waitFor(async () => (await hook(page)).audio.underruns >= 1, 'the underrun');
    await sleep(200);
    const dry = (await hook(page)).audio.underruns;
    await sleep(300);
    assert.equal((await hook(page)).audio.underruns, dry);
    await page.close();
  } finally { await host.stop(); }
});

test('a bunch of late packets does not stay as delay: the level comes back to the target', async () => {
  const host = new ScriptedHost();
  await host.start();
  let timer = null;
  try {
    const page = await phone.page();
    await page.goto(host.url);
    await waitFor(async () => (await hook(page))?.hello, 'hello');
    await page.tap('#bSound');
    await waitFor(() => host.count('audio') === 1, 'the audio request');
    await waitFor(async () => (await hook(page)).audio.ready, 'the player');
    let at = 0;
    const send = (n) => { for (const ws of host.sockets) for (let k = 0; k < n; k++, at += 480) ws.send(tonePacket(at)); };
    // On the clock, as a host sends: a plain 20 ms interval runs slow and
    // would drain any excess by itself.
    const t0 = Date.now();
    let owed = 0;
    timer = setInterval(() => { const due = Math.floor((Date.now() - t0) / 20); send(due - owed); owed = due; }, 5);
    await waitFor(async () => (await hook(page)).audio.bufferedMs > 0, 'playing');
    // 60 ms arriving at once, as after a stall: far under the 200 ms cap, so
    // only the trim toward the target can take it away.
    send(3);
    await waitFor(async () => (await hook(page)).audio.bufferedMs > 90, 'the bunch buffered');
    // Back near the target and staying there (untrimmed it stays ~60 ms up).
    let calm = 0;
    await waitFor(async () => {
      calm = (await hook(page)).audio.bufferedMs < 80 ? calm + 1 : 0;
      await sleep(100);
      return calm >= 5;
    }, 'the level back near the target', 10000);
    assert.ok((await hook(page)).audio.dropped > 0);
    await page.close();
  } finally {
    clearInterval(timer);
    await host.stop();
  }
});
