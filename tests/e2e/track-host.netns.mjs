// Video-track mode end to end: the real host (test pattern) with "--video",
// the real rendezvous server, and the host's internet link in a phone-shaped
// Chromium. Opens peer connections: runs only inside a private network
// namespace (tests/tools/in-netns.sh).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Host, hook, waitFor, sleep, Touch, openPage } from './support.mjs';
import { launchRtcPhone, SignalServer, connectLog, internetLink } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

const REGISTERED = '[rtc] 待ち合わせ役に登録しました';

let phone;
before(async () => { phone = await launchRtcPhone(); });
after(async () => { await phone?.close(); });

async function withHost(video, fn) {
  const signal = new SignalServer();
  await signal.start();
  const host = new Host({ signal: signal.wsBase, extraArgs: ['--video', video] });
  try {
    await host.start();
    await waitFor(() => host.log().includes(REGISTERED), 'the host to register', 20000);
    await fn(host);
  } catch (e) {
    e.message += '\n--- host log ---\n' + host.log().slice(-6000) + '\n--- server log ---\n' + signal.log().slice(-2000);
    throw e;
  } finally {
    await host.dispose();
    await signal.dispose();
  }
}

// Before the page's modules: the offers it applies and the texts it sends on
// "ctl" are kept for the test, and the control channel is reachable.
function recordLink() {
  const W = window.__rec = { offers: [], sent: [], ctl: null };
  const srd = RTCPeerConnection.prototype.setRemoteDescription;
  RTCPeerConnection.prototype.setRemoteDescription = function (d, ...rest) {
    if (d && d.type === 'offer') W.offers.push(d.sdp);
    return srd.call(this, d, ...rest);
  };
  const send = RTCDataChannel.prototype.send;
  RTCDataChannel.prototype.send = function (data) {
    if (this.label === 'ctl') { W.ctl = this; if (typeof data === 'string') W.sent.push(data); }
    return send.call(this, data);
  };
}

async function openLink(host) {
  const page = await phone.page();
  await page.addInitScript(recordLink);
  await page.goto(internetLink(host));
  await waitFor(async () => (await hook(page))?.hello, 'hello over the internet link', 40000);
  return page;
}

const track = async (page) => (await hook(page)).track;
const rec = (page) => page.evaluate(() => ({ offers: window.__rec.offers, sent: window.__rec.sent.map((t) => JSON.parse(t)) }));
const sendCtl = (page, obj) => page.evaluate((t) => window.__rec.ctl.send(t), JSON.stringify(obj));
const videoModes = (host) => connectLog(host).filter((r) => r.ev === 'video_mode');

// The offer's video section: its payload types and what each one is.
function videoSection(sdp) {
  const sec = sdp.split(/\r?\n(?=m=)/).find((s) => s.startsWith('m=video'));
  if (!sec) return null;
  const pts = sec.split(/\r?\n/)[0].split(' ').slice(3);
  const codec = {}, apt = {};
  for (const l of sec.split(/\r?\n/)) {
    let m = l.match(/^a=rtpmap:(\d+) ([^/]+)/);
    if (m) codec[m[1]] = m[2].toUpperCase();
    m = l.match(/^a=fmtp:(\d+) .*apt=(\d+)/);
    if (m) apt[m[1]] = m[2];
  }
  return { pts, codec, apt };
}

// In the page: every presented frame of the track with its number (read as the
// page reads it) and where the yellow crosshair is (shares of the picture).
const watchFrames = (page) => page.evaluate(async () => {
  const { StripReader } = await import('./track-strip.js');
  const v = document.getElementById('track');
  const reader = new StripReader();
  let c = null, g = null;
  const seen = window.__frames = [];
  const each = () => {
    v.requestVideoFrameCallback(each);
    const cfg = window.__tolvane.track.vcfg;
    if (!cfg || !v.videoWidth) return;
    const n = reader.read(v, cfg.w, cfg.h);
    // The picture part of the frame only, at half its size.
    const ph = v.videoHeight - 32, cw = Math.round(v.videoWidth / 2), ch = Math.round(ph / 2);
    if (!c || c.width !== cw || c.height !== ch) { c = new OffscreenCanvas(cw, ch); g = c.getContext('2d', { willReadFrequently: true }); }
    g.drawImage(v, 0, 0, v.videoWidth, ph, 0, 0, cw, ch);
    const d = g.getImageData(0, 0, cw, ch).data;
    let sx = 0, sy = 0, k = 0;
    for (let i = 0, p = 0; i < d.length; i += 4, p++) {
      if (d[i] > 170 && d[i + 1] > 170 && d[i + 2] < 110) { sx += p % cw; sy += Math.floor(p / cw); k++; }
    }
    const bg = Array.from(g.getImageData(cw >> 1, Math.round(ch * 0.05), 1, 1).data.slice(0, 3));
    seen.push({ n, x: k ? sx / k / cw : null, y: k ? sy / k / ch : null, k, bg });
    if (seen.length > 2000) seen.splice(0, 1000);
  };
  v.requestVideoFrameCallback(each);
});
const frames = (page) => page.evaluate(() => window.__frames);

test('--video track: an H.264-only offer, the track from the start, the test pattern without its strip, numbers that match "fm"', () => withHost('track', async (host) => {
  const page = await openLink(host);
  try {
    const { offers } = await rec(page);
    const v = videoSection(offers[0]);
    assert.ok(v, 'a video section in the offer');
    const h264 = v.pts.filter((pt) => v.codec[pt] === 'H264');
    assert.ok(h264.length >= 1, JSON.stringify(v));
    // Only H.264, and retransmission streams that belong to it.
    for (const pt of v.pts) assert.ok(v.codec[pt] === 'H264' || (v.codec[pt] === 'RTX' && h264.includes(v.apt[pt])), pt + ' in ' + JSON.stringify(v));
    await waitFor(async () => (await track(page))?.use === 'track', '"video" "track" at open');
    const mode = await waitFor(() => videoModes(host)[0], 'the video_mode event');
    assert.equal(mode.use, 'track');
    assert.equal(mode.mode_opt, 'track');
    await page.bringToFront();
    await watchFrames(page);
    const t = await waitFor(async () => { const x = await track(page); return x.read >= 60 && x; }, 'sixty frames read', 40000);
    // The test pattern takes the phone's shape; the picture is what "vcfg" says.
    const { w, h } = t.vcfg;
    assert.ok(w >= 416 && h > 0 && h % 2 === 0, JSON.stringify(t.vcfg));
    assert.match(await page.evaluate(() => { document.getElementById('bStats').click(); return document.getElementById('stats').textContent; }), new RegExp(`picture\\s+${w}×${h}`));
    // The test pattern: its background at the top, the crosshair in the middle.
    const f = (await frames(page)).filter((x) => x.n >= 0);
    const last = f.at(-1);
    const want = [0.08, 0.10, 0.16].map((c) => c * 255);
    last.bg.forEach((c, i) => assert.ok(Math.abs(c - want[i]) <= 14, 'background ' + last.bg));
    assert.ok(last.k > 20 && Math.abs(last.x - 0.5) < 0.03 && Math.abs(last.y - 0.5) < 0.03, 'crosshair ' + JSON.stringify(last));
    // The box shows the picture; the video's strip hangs below it, cut off.
    const b = await page.evaluate(() => {
      const r = (id) => document.getElementById(id).getBoundingClientRect();
      return { box: r('trackBox').height, boxW: r('trackBox').width, video: r('track').height, overflow: getComputedStyle(document.getElementById('trackBox')).overflow };
    });
    assert.ok(Math.abs(b.box - b.boxW * h / w) < 1.5 && Math.abs(b.video - b.boxW * (h + 32) / w) < 1.5 && b.overflow === 'hidden', JSON.stringify(b));
    // Numbers the host marked for sure (multiples of 6) came with their "fm"; they only grow.
    const marks = new Set(t.fm.map((m) => m.n));
    const sixes = t.reads.filter((n) => n % 6 === 0);
    assert.ok(sixes.length >= 3, 'multiples of 6 read: ' + t.reads);
    for (const n of sixes) assert.ok(marks.has(n), n + ' read but never marked');
    for (let i = 1; i < t.reads.length; i++) assert.ok(t.reads[i] >= t.reads[i - 1] || t.reads[i - 1] - t.reads[i] > 2 ** 23, 'growing: ' + t.reads);
    assert.ok(t.unread <= 2, 'unreadable frames: ' + t.unread);
    assert.deepEqual(phone.errors, []);
  } finally { await page.close(); }
}));

test('--video track: a move\'s id comes back through "fm" in the frame where the crosshair moved', () => withHost('track', async (host) => {
  const page = await openLink(host);
  try {
    await page.bringToFront();
    await waitFor(async () => (await track(page))?.read >= 20, 'frames read', 40000);
    await watchFrames(page);
    await waitFor(async () => (await frames(page))?.some((x) => x.k > 20), 'the crosshair seen');
    const box = await page.evaluate(() => { const r = document.getElementById('trackBox').getBoundingClientRect(); return { x: r.left, y: r.top, w: r.width, h: r.height }; });
    // From the crosshair (the middle) straight to a quarter: the press does not move it, the move does.
    const touch = await Touch.for(page);
    await touch.send('touchStart', [[box.x + box.w / 2, box.y + box.h / 2]]);
    await sleep(50);
    await touch.send('touchMove', [[box.x + box.w * 0.2, box.y + box.h * 0.25]]);
    await sleep(50);
    await touch.send('touchEnd', []);
    const mv = await waitFor(async () => (await rec(page)).sent.find((m) => m.t === 'mv'), 'the move sent');
    const fm = await waitFor(async () => (await track(page)).fm.find((m) => m.ids.includes(mv.id)), 'the move\'s id in an "fm"', 20000);
    const seen = await waitFor(async () => { const f = (await frames(page)).filter((x) => x.n >= 0); return f.some((x) => x.n > fm.n + 3) && f; }, 'frames after it');
    // Never early: the frame that carries the id shows the move. The host marks
    // an input once it has applied it, so a frame drawn in between may show the
    // move a frame or two before its id comes; not more.
    const first = seen.find((x) => x.n >= fm.n);
    assert.ok(Math.abs(first.x - 0.2) < 0.05 && Math.abs(first.y - 0.25) < 0.05, 'at ' + fm.n + ': ' + JSON.stringify(first));
    const beforeIt = seen.filter((x) => x.n < fm.n - 2).at(-1);
    assert.ok(beforeIt && Math.abs(beforeIt.x - 0.5) < 0.05 && Math.abs(beforeIt.y - 0.5) < 0.05, 'before ' + fm.n + ': ' + JSON.stringify(beforeIt));
    // And the page measured that input.
    await waitFor(async () => (await hook(page)).delays.length > 0, 'a measured delay');
  } finally { await page.close(); }
}));

test('--video auto: data channel first, "mode" switches to the track and back with a key frame first', () => withHost('auto', async (host) => {
  const page = await openLink(host);
  try {
    await page.bringToFront();
    await waitFor(async () => (await hook(page)).drawn >= 10, 'the canvas picture over the data channel', 40000);
    assert.equal((await track(page)).use, 'dc');
    assert.ok((await track(page)).offered);
    await page.tap('#bStats');
    await page.tap('#bVideoMode');
    await waitFor(async () => (await track(page)).use === 'track', 'the track');
    await waitFor(async () => (await track(page)).read >= 30, 'track frames read', 40000);
    assert.ok(videoModes(host).some((r) => r.req === 'track' && r.use === 'track'), JSON.stringify(videoModes(host)));
    const drawn = (await hook(page)).drawn;
    await page.tap('#bVideoMode');
    await waitFor(async () => (await track(page)).use === 'dc', 'back on the data channel');
    await waitFor(async () => (await hook(page)).drawn >= drawn + 10, 'the canvas drawing again', 30000);
    const t = await hook(page);
    assert.equal(t.afterReset, 'key', 'the first packet after the switch is a key frame');
    assert.equal(t.decodeErrors ?? 0, 0);
    assert.equal(await page.isHidden('#trackBox'), true, 'the track made way for the canvas');
    assert.ok(videoModes(host).some((r) => r.req === 'dc' && r.use === 'dc'));
    assert.deepEqual(phone.errors, []);
  } finally { await page.close(); }
}));

test('--video dc: no video section, "mode" "track" is answered "dc"', () => withHost('dc', async (host) => {
  const page = await openLink(host);
  try {
    const { offers } = await rec(page);
    assert.doesNotMatch(offers[0], /m=video/);
    assert.equal((await track(page)).offered, false);
    await sendCtl(page, { t: 'mode', v: 'track' });
    await waitFor(async () => (await track(page)).told >= 1, 'the answer');
    assert.equal((await track(page)).use, 'dc');
    const m = await waitFor(() => videoModes(host).find((r) => r.req === 'track'), 'the video_mode event');
    assert.equal(m.use, 'dc');
    await page.bringToFront();
    await waitFor(async () => (await hook(page)).drawn >= 5, 'the canvas picture');
  } finally { await page.close(); }
}));

test('--video track: a LAN page connected meanwhile keeps its video', () => withHost('track', async (host) => {
  const page = await openLink(host);
  try {
    await waitFor(async () => (await track(page))?.use === 'track', 'the track');
    const lan = await openPage(phone, host);
    try {
      await lan.bringToFront();
      const a = await waitFor(async () => { const t = await hook(lan); return t.drawn >= 5 && t.drawn; }, 'the LAN picture', 30000);
      await waitFor(async () => (await hook(lan)).drawn >= a + 30, 'thirty more LAN pictures while the track runs', 30000);
      assert.equal((await track(page)).use, 'track');
      await page.bringToFront();
      const r = (await track(page)).read;
      await waitFor(async () => (await track(page)).read >= r + 10, 'the track going on');
    } finally { await lan.close(); }
  } finally { await page.close(); }
}));
