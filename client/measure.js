// Measurements: input-to-picture delay (an input's id comes back in the
// packet of the first frame captured after the host handled it), decode time,
// capture-to-screen time on the host's clock, and the 5 s report for the host.
import { T } from "./dom.js";

export function pct(sorted, p) {
  if (!sorted.length) return 0;
  const i = Math.min(sorted.length - 1, Math.max(0, Math.ceil(p / 100 * sorted.length) - 1));
  return sorted[i];
}
const r1 = (v) => Math.round(v * 10) / 10;

const freshWindow = () => ({ delays: [], decSum: 0, decN: 0, capSum: 0, capN: 0, frames: 0, since: performance.now() });

export class Measure {
  constructor() {
    this.inputSent = new Map(); // input id -> when it was sent
    this.clock = { offset: null, bestRtt: Infinity };
    this.win = freshWindow();
    this.shown = { p50: null, p95: null, n: 0, dec: null, cap: null, fps: 0 };
  }

  sent(id) { this.inputSent.set(id, performance.now()); }

  // False for an answer that cannot be right.
  pong(m) {
    if (typeof m.c !== "number") return false;
    const rtt = performance.now() - m.c;
    if (!(rtt >= 0 && rtt < 60000)) return false;
    T.rtt = rtt;
    // Host wall clock minus ours, from the fastest exchange: lets capture-to-screen time be shown.
    if (typeof m.h === "number" && rtt <= this.clock.bestRtt * 1.5 + 2) {
      this.clock.bestRtt = Math.min(this.clock.bestRtt, rtt);
      this.clock.offset = m.h - (Date.now() - rtt / 2);
    }
    return true;
  }

  decoded(ms) { this.win.decSum += ms; this.win.decN++; }

  drawn(info, now) {
    const win = this.win;
    win.frames++;
    if (this.clock.offset !== null && info.capMs > 0) { win.capSum += Date.now() + this.clock.offset - info.capMs; win.capN++; }
    for (const id of info.ids) {
      const sent = this.inputSent.get(id);
      if (sent === undefined) continue; // another phone's input, or already seen
      this.inputSent.delete(id);
      const d = now - sent;
      T.delays.push(d); if (T.delays.length > 2000) T.delays.splice(0, T.delays.length - 2000);
      win.delays.push(d);
    }
  }

  // The "stats" message for the window since the last one; starts a new window.
  takeStats(size) {
    const now = performance.now();
    const win = this.win;
    const secs = Math.max(0.001, (now - win.since) / 1000);
    const sorted = win.delays.slice().sort((a, b) => a - b);
    const msg = { t: "stats", n: sorted.length, fps: r1(win.frames / secs), drops: T.dropped };
    if (sorted.length) { msg.p50 = r1(pct(sorted, 50)); msg.p95 = r1(pct(sorted, 95)); }
    if (win.decN) msg.decode_ms = r1(win.decSum / win.decN);
    if (win.capN) msg.cap_ms = r1(win.capSum / win.capN);
    if (T.rtt !== null) msg.rtt_ms = r1(T.rtt);
    if (size.w) { msg.w = size.w; msg.h = size.h; }
    const shown = this.shown;
    this.shown = { p50: msg.p50 ?? shown.p50, p95: msg.p95 ?? shown.p95, n: msg.n, dec: msg.decode_ms ?? null, cap: msg.cap_ms ?? null, fps: msg.fps };
    if (msg.decode_ms !== undefined) T.decodeMs = msg.decode_ms;
    this.win = freshWindow();
    for (const [id, t] of this.inputSent) if (now - t > 10000) this.inputSent.delete(id);
    return msg;
  }
}
