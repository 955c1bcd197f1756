// The internet link's "qd" for the computer's rate control: how much longer
// than the quickest frame of the last 30 s frames now take from capture to
// complete arrival, in ms. Arrival (page clock) minus capture time (the
// computer's clock) is the transit plus the clocks' offset; the offset is the
// same for every frame, so the smallest value lately stands for an empty path
// and the excess over it is time spent queued (in the network, in the
// computer's send queue, behind a large frame). Key frames are left out: their
// size alone makes them slower, and one asked for may re-encode an old picture
// with its old capture time.

export const QD_MAX = 60000;

export class ArrivalDelay {
  constructor({ windowMs = 30000, slotMs = 1000 } = {}) {
    this.windowMs = windowMs;
    this.slotMs = slotMs;
    this.slots = [];  // { id, min } per slotMs of arrival time, oldest first
    this.recent = []; // transits since the last take()
  }

  // A delta frame captured at capMs (the computer's clock) arrived whole at `at` (page clock).
  add(capMs, at) {
    if (!Number.isFinite(capMs) || capMs <= 0 || !Number.isFinite(at)) return;
    const v = at - capMs;
    const id = Math.floor(at / this.slotMs);
    const last = this.slots.at(-1);
    if (last && last.id === id) last.min = Math.min(last.min, v);
    else if (last && id < last.id) last.min = Math.min(last.min, v); // a clock stepping back: no new slot before the old
    else this.slots.push({ id, min: v });
    const oldest = id - Math.ceil(this.windowMs / this.slotMs);
    while (this.slots.length > 1 && this.slots[0].id <= oldest) this.slots.shift();
    if (this.recent.length < 1000) this.recent.push(v);
  }

  get best() {
    let b = Infinity;
    for (const s of this.slots) if (s.min < b) b = s.min;
    return b;
  }

  // The report's value at `at`: the median excess of the frames since the last
  // call, and at least how long the delta still being assembled (captured at
  // waitingCapMs, or null) has been on its way beyond the best. 0 with nothing to go by.
  take(at, waitingCapMs = null) {
    const best = this.best;
    const recent = this.recent;
    this.recent = [];
    if (best === Infinity) return 0;
    let qd = 0;
    if (recent.length) {
      recent.sort((a, b) => a - b);
      qd = recent[(recent.length - 1) >> 1] - best;
    }
    if (waitingCapMs !== null && Number.isFinite(waitingCapMs) && Number.isFinite(at)) {
      qd = Math.max(qd, at - waitingCapMs - best);
    }
    return Math.round(Math.min(QD_MAX, Math.max(0, qd)));
  }
}
