// The computer's "fm" messages of the video track: for frame number n, its
// capture time and the input ids it is the first to show. A presented frame
// takes every mark up to its number that no earlier frame took, so ids of
// frames the phone never presented still count, once, with the next one.
// Numbers wrap at 2^24: "up to n" means at most half the circle behind it.
const WRAP = 1 << 24;
const HALF = WRAP / 2;
const KEEP = 1024;          // marks held at most; the oldest go first
const MAX_IDS = 64;         // per message, as many as a frame header holds

// How far m lies behind n on the circle of frame numbers (0 = the same).
export const behind = (n, m) => ((n - m) % WRAP + WRAP) % WRAP;

export class FrameMarks {
  constructor() {
    this.marks = new Map(); // number -> { cap, ids }, in arrival order
  }

  get size() { return this.marks.size; }

  // False for a message that is not a mark.
  add(m) {
    if (!m || !Number.isInteger(m.n) || m.n < 0 || m.n >= WRAP) return false;
    const ids = Array.isArray(m.ids) ? m.ids.filter((v) => Number.isInteger(v) && v >= 0).slice(0, MAX_IDS) : [];
    const cap = typeof m.cap === "number" && Number.isFinite(m.cap) ? m.cap : 0;
    const old = this.marks.get(m.n);
    if (old) { this.marks.delete(m.n); ids.unshift(...old.ids); }
    this.marks.set(m.n, { cap, ids });
    while (this.marks.size > KEEP) this.marks.delete(this.marks.keys().next().value);
    return true;
  }

  // The inputs frame n shows and its capture time (0 when its own mark has not come).
  take(n) {
    const out = { ids: [], capMs: 0 };
    for (const [m, v] of this.marks) {
      if (behind(n, m) >= HALF) continue; // ahead of this frame
      if (m === n) out.capMs = v.cap;
      out.ids.push(...v.ids);
      this.marks.delete(m);
    }
    return out;
  }

  clear() { this.marks.clear(); }
}
