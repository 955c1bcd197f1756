// The picture: video packets into WebCodecs' decoder, decoded frames onto the
// canvas, at most one per paint. Every delta frame is decoded, so a slow
// phone or a busy computer shows fewer pictures instead of none: the host
// lowers its frame rate from the queue delay this page reports. Far behind,
// the page asks for a key frame and, while it comes, goes on drawing what it
// has; the key frame then replaces whatever still waits in the decoder. Only
// pictures too stale to be worth showing are skipped.
import { T } from "./dom.js";
import { Lag, BEHIND_MS } from "./lag.js";

const STALE_MS = 1000; // deltas this late are skipped up to the next key frame
const MAX_QUEUE = 30; // chunks in the decoder past which deltas are skipped too
const KEY_ASK_MS = 300; // a key frame asked for sooner than this is probably on its way

// A video packet: kind 1, key flag, capture time (ms since 1970, big-endian
// double), n input ids (big-endian 32-bit), then the H.264 frame.
export function parsePacket(buf) {
  if (!(buf instanceof ArrayBuffer) || buf.byteLength < 11) return null;
  const dv = new DataView(buf);
  if (dv.getUint8(0) !== 1) return null;
  const n = dv.getUint8(10);
  const head = 11 + 4 * n;
  if (buf.byteLength <= head) return null;
  const ids = [];
  for (let i = 0; i < n; i++) ids.push(dv.getUint32(11 + 4 * i, false));
  return { key: dv.getUint8(1) === 1, capMs: dv.getFloat64(2, false), ids, data: new Uint8Array(buf, head) };
}

function b64bytes(s) {
  const bin = atob(s);
  const out = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
  return out;
}

export class Video {
  constructor(canvas) {
    this.canvas = canvas;
    this.ctx = canvas.getContext("2d", { alpha: false, desynchronized: true });
    this.decoder = null;
    this.cfgKey = "";
    this.waitKey = true;
    this.lastTs = 0;
    this.pending = new Map(); // by chunk timestamp: input ids, capture time, when it went to the decoder
    this.carryIds = [];       // ids of packets that were not decoded, handed to the next one
    this.w = 0;
    this.h = 0;
    this.noScreen = false;
    this.next = null;
    this.drawQueued = false;
    this.keyAskedAt = -1e9;
    this.lag = new Lag();
    this.skipSince = null; // when the oldest picture skipped since the last decoded one should have come
    this.catchUp = false;  // far behind: the next key frame replaces the decoder's queue
    this.config = null;
    // Set by the owner.
    this.onSize = null;        // the picture's size changed
    this.onDrawn = null;       // (info, now) a picture was drawn; info has ids and capMs
    this.onDecodeTime = null;  // (ms) from handing a chunk to the decoder to its picture
    this.onWantKey = null;     // ask the host for a key frame now
    this.onUnsupported = null; // (codec or undefined) this browser cannot decode it
  }

  // The link went away, or the picture came another way for a while: the
  // next stream starts with a key frame.
  reset() { this.waitKey = true; T.afterReset = null; }

  // The picture's size when something other than this decoder shows it (the
  // video track): layout and input mapping follow it.
  setSize(w, h) {
    if (this.w === w && this.h === h) return;
    this.w = w; this.h = h;
    if (this.onSize) this.onSize();
  }

  makeDecoder() {
    const dec = new VideoDecoder({
      output: (frame) => this.decoded(frame),
      error: (e) => {
        // The host sends a configuration before every key frame (at least every 2 s), so a fresh decoder recovers.
        console.warn("decoder error", e);
        T.decodeErrors = (T.decodeErrors || 0) + 1;
        if (this.decoder === dec) { this.decoder = null; this.cfgKey = ""; this.waitKey = true; this.pending.clear(); }
      },
    });
    return dec;
  }

  configure(m) {
    if (typeof m.codec !== "string" || typeof m.desc !== "string") return;
    T.config = { codec: m.codec, w: m.w | 0, h: m.h | 0 };
    if (!("VideoDecoder" in window)) { if (this.onUnsupported) this.onUnsupported(); return; }
    const key = m.codec + "|" + m.desc + "|" + m.w + "x" + m.h;
    // The same configuration arrives before every key frame; only a real change touches the decoder.
    if (this.decoder && this.decoder.state === "configured" && key === this.cfgKey) return;
    let desc;
    try { desc = b64bytes(m.desc); } catch (e) { return; }
    const config = { codec: m.codec, description: desc, optimizeForLatency: true, hardwareAcceleration: "no-preference" };
    if (m.w > 0 && m.h > 0) { config.codedWidth = m.w | 0; config.codedHeight = m.h | 0; }
    try {
      if (!this.decoder || this.decoder.state === "closed") this.decoder = this.makeDecoder();
      this.decoder.configure(config);
      this.config = config;
      this.cfgKey = key;
      this.waitKey = true;
      this.pending.clear();
      if (m.w > 0 && m.h > 0 && !this.w) { this.w = m.w; this.h = m.h; if (this.onSize) this.onSize(); }
    } catch (e) {
      console.warn("configure failed", e);
      this.cfgKey = "";
      VideoDecoder.isConfigSupported(config).then((r) => {
        if (!r.supported && this.onUnsupported) this.onUnsupported(m.codec);
      }, () => {});
    }
  }

  packet(buf) {
    const p = parsePacket(buf);
    if (!p) return;
    // For the browser tests: whether the first packet after a reset was a key frame.
    if (T.afterReset === null) T.afterReset = p.key ? "key" : "delta";
    const now = performance.now();
    // A key frame asked for may re-encode an old picture with its old capture time: only deltas tell the lag.
    const late = this.lag.transit(p.capMs, now);
    const since = now - (p.key ? 0 : late);
    const ids = this.carryIds.concat(p.ids);
    this.carryIds = [];
    const dec = this.decoder;
    if (!dec || dec.state !== "configured") { this.carryIds = ids.slice(-64); return; }
    if (!p.key) {
      if (this.waitKey || late > STALE_MS || dec.decodeQueueSize > MAX_QUEUE) {
        if (!this.waitKey) this.lag.shown(since, now);
        this.waitKey = true; T.dropped++; this.carryIds = ids.slice(-64);
        if (T.drawn && this.skipSince === null) this.skipSince = since;
        this.askKeyFrame();
        return;
      }
      // Far behind, in transit or in a slow decoder.
      const oldest = this.pending.values().next().value; // insertion order: the oldest still in the decoder
      if (late > BEHIND_MS || (oldest && now - oldest.due > BEHIND_MS)) { this.catchUp = true; this.askKeyFrame(); }
    } else if (this.catchUp && this.pending.size) {
      if (!this.jump(dec)) { this.carryIds = this.carryIds.concat(ids).slice(-64); return; }
      ids.unshift(...this.carryIds);
      this.carryIds = [];
    }
    if (p.key) this.catchUp = false;
    this.waitKey = false;
    let ts = Math.round(Number.isFinite(p.capMs) ? p.capMs * 1000 : 0);
    if (ts <= this.lastTs) ts = this.lastTs + 1;
    this.lastTs = ts;
    // The picture stands for the skipped ones too: it is as late as the oldest of them.
    const due = this.skipSince === null ? since : Math.min(since, this.skipSince);
    this.skipSince = null;
    this.pending.set(ts, { ids, capMs: p.capMs, t0: now, due });
    try {
      dec.decode(new EncodedVideoChunk({ type: p.key ? "key" : "delta", timestamp: ts, data: p.data }));
    } catch (e) {
      this.pending.delete(ts); this.waitKey = true;
    }
    if (this.pending.size > 64) this.pending.delete(this.pending.keys().next().value);
  }

  // Drops what the decoder still has queued, so that the key frame that
  // follows is the next picture; their inputs go with it. False when the
  // decoder could not be set up again (a configuration comes with the next key frame).
  jump(dec) {
    for (const v of this.pending.values()) {
      this.carryIds.push(...v.ids);
      this.skipSince = this.skipSince === null ? v.due : Math.min(this.skipSince, v.due);
    }
    this.carryIds = this.carryIds.slice(-64);
    T.dropped += this.pending.size;
    T.jumps++;
    this.pending.clear();
    try {
      dec.reset();
      dec.configure(this.config);
      return true;
    } catch (e) {
      this.cfgKey = ""; this.waitKey = true;
      return false;
    }
  }

  // While video flows, "retry" only makes the host send a key frame now, so a
  // skip costs a few frames instead of waiting for the periodic key frame.
  askKeyFrame() {
    const now = performance.now();
    if (now - this.keyAskedAt < KEY_ASK_MS || !T.drawn) return;
    this.keyAskedAt = now;
    if (this.onWantKey) this.onWantKey();
  }

  decoded(frame) {
    const now = performance.now();
    const info = this.pending.get(frame.timestamp) || { ids: [], capMs: 0, t0: -1, due: now };
    this.pending.delete(frame.timestamp);
    // Pictures come out in order: an older chunk still listed gave none and
    // will not; this picture shows its inputs as well.
    for (const [ts, v] of this.pending) {
      if (ts >= frame.timestamp) break;
      this.pending.delete(ts);
      info.ids = v.ids.concat(info.ids);
      info.due = Math.min(info.due, v.due);
    }
    T.frames++;
    if (info.t0 >= 0 && this.onDecodeTime) this.onDecodeTime(now - info.t0);
    // Only the newest picture is drawn at the next paint; one it replaces unseen
    // hands its input ids on, since the newer picture shows those inputs too.
    const prev = this.next;
    if (prev) {
      prev.frame.close();
      info.ids = prev.info.ids.concat(info.ids);
      info.due = Math.min(info.due, prev.info.due);
      T.skipped++;
    }
    this.next = { frame, info };
    if (!this.drawQueued) { this.drawQueued = true; requestAnimationFrame(() => this.draw()); }
  }

  draw() {
    this.drawQueued = false;
    const next = this.next;
    if (!next) return;
    this.next = null;
    const { frame, info } = next;
    const fw = frame.displayWidth, fh = frame.displayHeight;
    const c = this.canvas;
    if (c.width !== fw || c.height !== fh) { c.width = fw; c.height = fh; }
    if (this.w !== fw || this.h !== fh) { this.w = fw; this.h = fh; if (this.onSize) this.onSize(); }
    this.ctx.drawImage(frame, 0, 0, fw, fh);
    frame.close();
    T.drawn++;
    const now = performance.now();
    this.lag.shown(info.due, now);
    if (this.onDrawn) this.onDrawn(info, now);
  }

  // Queue delay since the last call, for the "rep" report.
  takeQueueDelay() {
    const now = performance.now();
    let oldest = this.next ? this.next.info.due : null;
    for (const [ts, v] of this.pending) {
      // A chunk the decoder never answered for is not waiting any more.
      if (now - v.t0 > 5000) { this.pending.delete(ts); continue; }
      if (oldest === null || v.due < oldest) oldest = v.due;
    }
    return this.lag.take(oldest, now);
  }
}
