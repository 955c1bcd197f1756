// The page's video-track mode against a scripted computer: a second browser
// page whose offer carries a send-only H.264 track of a canvas that draws a
// crosshair where the phone points and the frame-number strip below it, and
// that speaks the track's messages ("video", "vcfg", "fm") on the control
// channel. Opens peer connections: runs only inside a private network
// namespace (tests/tools/in-netns.sh), never on the real network.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { hook, waitFor, sleep } from './support.mjs';
import { launchRtcPhone, ScriptedSignal, FakeHost, negotiate, newKey } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

let phone, signal;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchRtcPhone();
});
after(async () => { await phone?.close(); await signal?.stop(); });

// Makes the computer's page offer a video track and play the computer's part
// of track mode. `opt` is what "--video" would be: "auto", "track" or "dc".
const playVideo = (host, opt) => host.page.evaluate((opt) => {
  const W = 640, H = 360;
  const V = window.V = { opt, use: 'dc', n: 0, px: 0.5, py: 0.5, ids: [], seen: 0, opened: false, frames: 0, fm: [] };
  const c = document.createElement('canvas');
  c.width = W; c.height = H + 32;
  const g = c.getContext('2d');
  const stream = c.captureStream(0);
  const track = stream.getVideoTracks()[0];
  track.contentHint = 'detail';
  const createOffer = RTCPeerConnection.prototype.createOffer;
  RTCPeerConnection.prototype.createOffer = function (...a) {
    if (!this.withVideo) {
      this.withVideo = true;
      const t = this.addTransceiver(track, { direction: 'sendonly', streams: [stream] });
      t.setCodecPreferences(RTCRtpSender.getCapabilities('video').codecs.filter((x) => /h264/i.test(x.mimeType)));
      // Like the computer, which scales pictures before it draws the strip: whole frames are never scaled here.
      const p = t.sender.getParameters();
      p.degradationPreference = 'maintain-resolution';
      t.sender.setParameters(p).catch(() => {});
    }
    return createOffer.apply(this, a);
  };
  const say = (m) => window.H.send('ctl', JSON.stringify(m));
  const use = (v) => {
    V.use = v;
    say({ t: 'video', v });
    if (v === 'track') say({ t: 'vcfg', w: W, h: H, strip: 32, cell: 16, cells: 26 });
  };
  setInterval(() => {
    const H_ = window.H;
    if (!H_.pc || H_.ctlState() !== 'open') { V.opened = false; return; }
    if (!V.opened) { V.opened = true; V.seen = H_.got.length; if (V.opt === 'track') use('track'); }
    for (const m of H_.got.slice(V.seen)) {
      if (m.t === 'mode') use(V.opt === 'dc' ? 'dc' : V.opt === 'track' || m.v === 'track' ? 'track' : 'dc');
      if ((m.t === 'mv' || m.t === 'md' || m.t === 'mu') && typeof m.x === 'number') { V.px = m.x; V.py = m.y; }
      if (Number.isInteger(m.id)) V.ids.push(m.id);
    }
    V.seen = H_.got.length;
    if (V.use !== 'track') return;
    V.n = (V.n + 1) % 2 ** 24;
    g.fillStyle = '#142840'; g.fillRect(0, 0, W, H);
    g.fillStyle = '#ffee00';
    g.fillRect(V.px * W - 20, V.py * H - 3, 40, 6); g.fillRect(V.px * W - 3, V.py * H - 20, 6, 40);
    g.fillStyle = '#000'; g.fillRect(0, H, W, 32);
    g.fillStyle = '#fff'; g.fillRect(0, H, 16, 32);
    for (let j = 0; j < 24; j++) if ((V.n >> (23 - j)) & 1) g.fillRect(32 + 16 * j, H, 16, 32);
    track.requestFrame();
    V.frames++;
    if (V.ids.length || V.n % 6 === 0) {
      say({ t: 'fm', n: V.n, cap: Date.now(), ids: V.ids });
      V.fm.push({ n: V.n, ids: V.ids });
      V.ids = [];
    }
  }, 33);
}, opt);

async function session({ opt = 'auto', video = true } = {}) {
  const page = await phone.page();
  const host = await FakeHost.open(phone.context, signal);
  if (video) await playVideo(host, opt);
  const key = newKey();
  const before = signal.of('join').length;
  await page.goto(signal.link(key));
  const join = await waitFor(() => signal.of('join')[before], 'the join');
  const neg = await negotiate(signal, host, join.sock, key);
  await waitFor(async () => (await hook(page))?.hello, 'hello over the control channel');
  // The phone's page in front: a page behind another gets a picture callback a second.
  await page.bringToFront();
  return { page, host, neg, close: async () => { neg.stop(); await page.close(); await host.page.close(); } };
}

const track = async (page) => (await hook(page)).track;
const hostV = (host) => host.page.evaluate(() => JSON.parse(JSON.stringify(window.V)));

// Where the track's box and its video sit on the page, CSS pixels.
const boxes = (page) => page.evaluate(() => {
  const r = (id) => { const b = document.getElementById(id).getBoundingClientRect(); return { x: b.left, y: b.top, w: b.width, h: b.height }; };
  return { box: r('trackBox'), video: r('track'), canvas: r('screen'), shown: !document.getElementById('trackBox').hidden };
});

test('auto: the answer receives video, the control switches to the track and back', async () => {
  const s = await session();
  try {
    assert.match(s.neg.answer.sdp, /m=video [^\n]*\r?\n(?:[^m][^\n]*\n)*a=recvonly/, 'a receive-only video section');
    await waitFor(async () => (await track(s.page))?.offered, 'the track offered');
    assert.equal((await track(s.page)).use, 'dc');
    // The control lives in the measurements overlay.
    assert.equal(await s.page.isVisible('#bVideoMode'), false);
    await s.page.tap('#bStats');
    assert.equal(await s.page.textContent('#bVideoMode'), 'Data channel');
    await s.page.tap('#bVideoMode');
    await waitFor(async () => (await track(s.page)).use === 'track', 'the switch to the track');
    assert.equal(await s.page.textContent('#bVideoMode'), 'Video track');
    assert.ok((await s.host.got()).some((m) => m.t === 'mode' && m.v === 'track'));
    const t = await waitFor(async () => { const x = await track(s.page); return x.read >= 20 && x; }, 'frames read from the track');
    assert.deepEqual(t.vcfg, { w: 640, h: 360 });
    // The picture's size is the track's picture without its strip; the sheet
    // is redrawn on its own clock, so it may show it a moment later.
    await waitFor(async () => /picture\s+640×360/.test(await s.page.textContent('#stats')), 'the picture size in the sheet');
    await s.page.tap('#bVideoMode');
    await waitFor(async () => (await track(s.page)).use === 'dc', 'the switch back');
    assert.ok((await s.host.got()).some((m) => m.t === 'mode' && m.v === 'dc'));
    // No canvas picture has come yet: the track's last picture stays up until one does.
    assert.equal((await boxes(s.page)).shown, true);
    assert.equal((await hook(s.page)).afterReset, null, 'the canvas waits for a key frame');
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});

test('track: the picture fills the stage\'s picture place, the strip cut off, numbers that match "fm"', async () => {
  const s = await session({ opt: 'track' });
  try {
    await waitFor(async () => (await track(s.page))?.read >= 60, 'sixty frames read', 40000);
    const b = await boxes(s.page);
    assert.ok(b.shown);
    // The box is where the canvas is, and as tall as the picture without the strip.
    for (const k of ['x', 'y', 'w', 'h']) assert.ok(Math.abs(b.box[k] - b.canvas[k]) < 1, `${k}: ${JSON.stringify(b)}`);
    assert.ok(Math.abs(b.box.h - b.box.w * 360 / 640) < 1.5, JSON.stringify(b));
    assert.ok(Math.abs(b.video.h - b.box.w * 392 / 640) < 1.5, 'the video hangs below: ' + JSON.stringify(b));
    // What shows right under the picture is the stage, not the strip's white start cell.
    const shot = await s.page.screenshot({ clip: { x: b.box.x, y: b.box.y + b.box.h, width: 8, height: 4 } });
    const under = await s.page.evaluate(async (png) => {
      const img = await createImageBitmap(new Blob([new Uint8Array(png)], { type: 'image/png' }));
      const c = new OffscreenCanvas(img.width, img.height), g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      return Math.max(...g.getImageData(0, 0, img.width, img.height).data.filter((_, i) => i % 4 !== 3));
    }, [...shot]);
    assert.ok(under < 60, 'under the picture: ' + under);
    // Every number read that the computer marked for sure (multiples of 6) has its mark, in order.
    const t = await track(s.page);
    const marks = new Set((await hostV(s.host)).fm.map((m) => m.n));
    const sixes = t.reads.filter((n) => n % 6 === 0);
    assert.ok(sixes.length >= 3, 'multiples of 6 read: ' + t.reads);
    for (const n of sixes) assert.ok(marks.has(n), n + ' has no mark');
    // A frame may be presented twice (repeated by the sender); numbers never go back.
    for (let i = 1; i < t.reads.length; i++) assert.ok(t.reads[i] >= t.reads[i - 1], 'growing: ' + t.reads);
    assert.ok(t.unread <= 2, 'unreadable frames ' + t.unread);
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});

test('track: a tap\'s ids come back through "fm", land in the input-to-picture figures and in "stats"', async () => {
  const s = await session({ opt: 'track' });
  try {
    await waitFor(async () => (await track(s.page))?.read >= 10, 'frames read');
    const b = await boxes(s.page);
    const before = (await hook(s.page)).delays.length;
    // A tap at a quarter of the picture's width and height is that point on the computer.
    await s.page.touchscreen.tap(b.box.x + b.box.w * 0.25, b.box.y + b.box.h * 0.75);
    const md = await waitFor(async () => (await s.host.got()).find((m) => m.t === 'md'), 'the press at the computer');
    assert.ok(Math.abs(md.x - 0.25) < 0.01 && Math.abs(md.y - 0.75) < 0.01, JSON.stringify(md));
    const t = await waitFor(async () => { const x = await hook(s.page); return x.delays.length >= before + 2 && x; }, 'the tap measured');
    for (const d of t.delays.slice(before)) assert.ok(d > 0 && d < 30000, 'delay ' + d);
    const stats = await waitFor(async () => (await s.host.got()).find((m) => m.t === 'stats' && m.n > 0), 'a stats report with samples', 20000);
    assert.equal(stats.video, 'track');
    assert.equal(stats.w, 640);
    assert.equal(stats.h, 360);
    assert.equal(typeof stats.p50, 'number');
    assert.ok(stats.fps > 0);
  } finally { await s.close(); }
});

test('without a video section nothing changes: no video in the answer, no control', async () => {
  const s = await session({ video: false });
  try {
    assert.doesNotMatch(s.neg.answer.sdp, /m=video/);
    await sleep(500);
    assert.equal((await track(s.page)).offered, false);
    await s.page.tap('#bStats');
    assert.equal(await s.page.isVisible('#bVideoMode'), false);
  } finally { await s.close(); }
});

test('a computer that keeps the data channel answers "dc"; malformed track messages are dropped', async () => {
  const s = await session({ opt: 'dc' });
  try {
    await waitFor(async () => (await track(s.page))?.offered, 'the track offered');
    await s.page.tap('#bStats');
    await s.page.tap('#bVideoMode');
    await waitFor(async () => (await s.host.got()).some((m) => m.t === 'mode' && m.v === 'track'), 'the request');
    await waitFor(async () => (await track(s.page)).asked === null, 'the answer');
    assert.equal((await track(s.page)).use, 'dc');
    assert.equal((await boxes(s.page)).shown, false);
    for (const bad of ['{"t":"vcfg","w":-5,"h":"x"}', '{"t":"vcfg","w":1e9,"h":2}', '{"t":"fm","n":"7","ids":{}}', '{"t":"fm"}',
      '{"t":"fm","n":3,"ids":[1e300,-1,"a"],"cap":"x"}', '{"t":"video","v":{"x":1}}', '{"t":"video"}', '["t","fm"]', '{"t":"fm" garbage']) {
      await s.host.send('ctl', bad);
    }
    const rtt = (await hook(s.page)).rtt;
    await waitFor(async () => (await hook(s.page)).rtt !== rtt, 'pongs still answered');
    const t = await track(s.page);
    assert.equal(t.use, 'dc');
    assert.equal(t.vcfg, null);
    assert.deepEqual(phone.errors, []);
  } finally { await s.close(); }
});
