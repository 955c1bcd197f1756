// Video over the internet link comes in chunks on an ordered channel that
// never retransmits: each message is the frame number (u32), the chunk's
// index and the frame's chunk count (u16 each), all big-endian, then at most
// 15000 bytes of one video packet; every chunk but a frame's last carries
// exactly 15000. Ordered delivery means chunks come in index order, so one
// frame is assembled at a time and a chunk out of place (a newer frame, an
// index skipped) means a chunk was lost. Once a frame is lost the decoder has
// no reference for the deltas after it: only a key frame goes on from there,
// and the computer is asked for one unless one is seen coming, at most once
// a second. Nothing a message holds can make this throw.

export const CHUNK_HEAD = 8;
export const CHUNK_MAX = 15000;
export const KEY_ASK_MS = 1000;
const PACKET_HEAD = 11; // kind, key flag, capture time, id count

// a is after b in frame numbers that wrap at 2^32.
export const seqAfter = (a, b) => { const d = (a - b) >>> 0; return d !== 0 && d < 0x80000000; };

const chunkOK = (idx, count, size) => count > 0 && idx < count && size <= CHUNK_MAX
  && (idx < count - 1 ? size === CHUNK_MAX : size > 0 || count === 1);

const freshCounts = () => ({ chunks: 0, bytes: 0, frames: 0, keys: 0, incomplete: 0, gaps: 0, missed: 0,
  bad: 0, stale: 0, waited: 0, asks: 0 });

export class Reassembler {
  constructor({ now = () => performance.now() } = {}) {
    this.now = now;
    this.cur = null;         // the newest frame begun: { seq, count, parts, bytes, state: "open" | "done" | "broken" }
    this.waitKey = true;     // the stream starts with a key frame
    this.keyAskedAt = -Infinity;
    this.staleRun = 0;       // chunks in a row that belong to no frame still to come
    this.total = freshCounts();
    this.period = freshCounts(); // since the last take()
    // Set by the owner.
    this.onPacket = null;    // (ArrayBuffer) one whole video packet the decoder can use
    this.onFrame = null;     // ({ key, capMs, at }) every frame that arrived whole, used or not
    this.onWantKey = null;   // ask the computer for a key frame
  }

  count(name, n = 1) { this.total[name] += n; this.period[name] += n; }

  // The counts since the last call.
  take() { const p = this.period; this.period = freshCounts(); return p; }

  // Capture time of the delta frame still being assembled, if its first
  // chunk is here: how long it has been on its way so far.
  pendingCapMs() {
    const c = this.cur;
    if (!c || c.state !== "open" || !c.parts.length) return null;
    const p = c.parts[0];
    if (p.byteLength < PACKET_HEAD || p[0] !== 1 || p[1] === 1) return null;
    return new DataView(p.buffer, p.byteOffset, p.byteLength).getFloat64(2, false);
  }

  push(buf) {
    if (!(buf instanceof ArrayBuffer) || buf.byteLength < CHUNK_HEAD) { this.count("bad"); return; }
    this.count("chunks");
    this.count("bytes", buf.byteLength);
    const dv = new DataView(buf);
    const seq = dv.getUint32(0, false), idx = dv.getUint16(4, false), count = dv.getUint16(6, false);
    const size = buf.byteLength - CHUNK_HEAD;
    const ok = chunkOK(idx, count, size);
    if (!ok) this.count("bad");
    const payload = new Uint8Array(buf, CHUNK_HEAD);
    let c = this.cur;
    if (c && seq === c.seq) {
      if (c.state !== "open") { if (c.state === "done") this.stale(); return; }
      if (!ok || count !== c.count || idx !== c.parts.length) { this.broke(c); this.askKey(); return; }
    } else {
      if (c && !seqAfter(seq, c.seq)) { this.stale(); return; }
      if (c) {
        if (c.state === "open") this.broke(c);
        const skipped = ((seq - c.seq) >>> 0) - 1;
        if (skipped > 0) { this.count("gaps"); this.count("missed", skipped); this.waitKey = true; }
      }
      c = this.cur = { seq, count, parts: [], bytes: 0, state: "open" };
      if (!ok || idx !== 0) { this.broke(c); this.askKey(); return; }
      // A key frame on its way needs no asking; anything else cannot be decoded now.
      if (this.waitKey && !(size >= 2 && payload[0] === 1 && payload[1] === 1)) this.askKey();
    }
    this.staleRun = 0;
    c.parts.push(payload);
    c.bytes += size;
    if (c.parts.length === c.count) this.complete(c);
  }

  // Frames older than the newest one begun never come on an ordered channel.
  // A long run of them means the newest number was wrong (the stream started
  // over): the next chunk begins afresh rather than everything being stale.
  stale() {
    this.count("stale");
    if (++this.staleRun > 64) { this.cur = null; this.staleRun = 0; this.waitKey = true; }
  }

  broke(c) {
    c.state = "broken";
    c.parts = [];
    this.count("incomplete");
    this.waitKey = true;
  }

  complete(c) {
    c.state = "done";
    let packet;
    if (c.parts.length === 1) packet = c.parts[0].slice().buffer;
    else {
      const out = new Uint8Array(c.bytes);
      let at = 0;
      for (const p of c.parts) { out.set(p, at); at += p.byteLength; }
      packet = out.buffer;
    }
    c.parts = [];
    const head = new Uint8Array(packet, 0, Math.min(packet.byteLength, PACKET_HEAD));
    if (packet.byteLength < PACKET_HEAD || head[0] !== 1) {
      // Whole, but not a video packet: the decoder loses a frame all the same.
      this.count("bad");
      this.count("incomplete");
      this.waitKey = true;
      this.askKey();
      return;
    }
    const key = head[1] === 1;
    const capMs = new DataView(packet).getFloat64(2, false);
    this.count("frames");
    if (key) this.count("keys");
    if (this.onFrame) this.onFrame({ key, capMs, at: this.now() });
    if (!key && this.waitKey) { this.count("waited"); this.askKey(); return; }
    if (key) this.waitKey = false;
    if (this.onPacket) this.onPacket(packet);
  }

  askKey() {
    const t = this.now();
    if (t - this.keyAskedAt < KEY_ASK_MS) return;
    this.keyAskedAt = t;
    this.count("asks");
    if (this.onWantKey) this.onWantKey();
  }
}
