// Two fingers spreading or closing on the picture set the zoom level. The
// gesture is measured from its start and reported once, when the fingers
// lift, so the computer gets one view request per pinch. Panning with two
// fingers (their distance unchanged) stays a scroll.
const MIN_CHANGE = 0.18; // relative change in finger distance that counts as a pinch

function spread(touches) {
  const a = touches[0], b = touches[1];
  return Math.hypot(a.clientX - b.clientX, a.clientY - b.clientY);
}

export class Pinch {
  constructor(stage) {
    this.stage = stage;
    this.d0 = 0;
    this.ratio = 1;
    // Set by the owner: (ratio) => void, once per gesture.
    this.onPinch = null;
  }

  start() {
    const opts = { passive: true };
    this.stage.addEventListener("touchstart", (e) => {
      if (e.touches.length === 2) { this.d0 = spread(e.touches); this.ratio = 1; }
    }, opts);
    this.stage.addEventListener("touchmove", (e) => {
      if (e.touches.length >= 2 && this.d0 > 0) this.ratio = spread(e.touches) / this.d0;
    }, opts);
    const end = (e) => {
      if (e.touches.length >= 2 || this.d0 <= 0) return;
      const r = this.ratio;
      this.d0 = 0;
      this.ratio = 1;
      if (Math.abs(r - 1) >= MIN_CHANGE && this.onPinch) this.onPinch(r);
    };
    this.stage.addEventListener("touchend", end, opts);
    this.stage.addEventListener("touchcancel", end, opts);
  }
}
