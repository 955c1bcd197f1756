// How far behind the picture is. Two measures, both in milliseconds:
// - transit: how much later than usual a packet arrived for its capture time
//   (arrival minus capture time, beyond the smallest such value lately), so
//   neither clock needs to agree with the other, and a jump of either is
//   forgotten within two windows;
// - queue delay ("qd", reported to the host): from when a picture should
//   have been here (arrival minus its extra transit) until it, or a newer
//   picture standing for it, was drawn; pictures still waiting count as well.

export const BEHIND_MS = 400; // past this, waiting for a key frame beats working through the backlog

export class Lag {
  constructor(windowMs = 5000) {
    this.windowMs = windowMs;
    this.cur = Infinity;  // smallest arrival minus capture time in this window
    this.prev = Infinity; // and in the one before
    this.since = -Infinity;
    this.worst = 0;       // largest queue delay since the last report
  }

  // A packet captured at capMs (host clock) arrives at now (page clock).
  transit(capMs, now) {
    if (!Number.isFinite(capMs) || capMs <= 0 || !Number.isFinite(now)) return 0;
    if (now - this.since > this.windowMs) { this.prev = this.cur; this.cur = Infinity; this.since = now; }
    const v = now - capMs;
    if (v < this.cur) this.cur = v;
    return v - Math.min(this.cur, this.prev);
  }

  // A picture that should have been here at `since` is drawn, or given up, at `now`.
  shown(since, now) {
    const d = now - since;
    if (d > this.worst) this.worst = d;
  }

  // The report's qd: the worst delay since the last report, counting a
  // picture that has been waiting since `oldestWaiting` (null: none waits).
  take(oldestWaiting, now) {
    const waiting = oldestWaiting === null ? 0 : now - oldestWaiting;
    const qd = Math.max(this.worst, waiting, 0);
    this.worst = 0;
    return Math.round(qd);
  }
}
