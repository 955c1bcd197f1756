// The video track on screen: a muted, inline <video> inside a box that sits
// exactly where the layout puts the canvas (it follows the canvas's place),
// tall enough for the picture and the number strip, so the box cuts the strip
// off. Every presented frame's number is read from the strip.
import { $ } from "./dom.js";
import { StripReader, STRIP_ROWS } from "./track-strip.js";

export class TrackView {
  constructor(canvas) {
    this.canvas = canvas;
    this.box = $("trackBox");
    this.el = $("track");
    this.el.muted = true;
    this.el.playsInline = true;
    this.reader = new StripReader();
    this.w = 0; // picture size from the computer ("vcfg"), without the strip
    this.h = 0;
    // Set by the owner.
    this.onFrame = null; // (number or -1, now, metadata) a frame was presented
    // The layout places the canvas; the track's box takes the same place.
    new MutationObserver(() => this.place()).observe(canvas, { attributes: true, attributeFilter: ["style"] });
    this.el.addEventListener("resize", () => this.place());
    this.watch();
  }

  get shown() { return !this.box.hidden; }

  attach(track) {
    this.el.srcObject = new MediaStream([track]);
    this.play();
  }

  detach() {
    this.el.srcObject = null;
    this.hide();
  }

  configure(w, h) {
    this.w = w;
    this.h = h;
    this.place();
  }

  show() {
    this.box.hidden = false;
    this.place();
    this.play();
  }

  hide() { this.box.hidden = true; }

  play() {
    if (this.el.srcObject && this.el.paused) this.el.play().catch(() => {});
  }

  place() {
    const s = this.canvas.style;
    Object.assign(this.box.style, { left: s.left, top: s.top, width: s.width, height: s.height });
    const bh = parseFloat(s.height) || 0;
    // The picture fills the box; the strip hangs below its bottom edge. In a
    // frame scaled as a whole the strip is a share of the computer's size,
    // otherwise its last 32 rows (see track-strip.js).
    const vh = this.el.videoHeight;
    let full = bh;
    if (this.reader.whole && this.h > 0) full = bh * (this.h + STRIP_ROWS) / this.h;
    else if (vh > STRIP_ROWS) full = bh * vh / (vh - STRIP_ROWS);
    else if (this.h > 0) full = bh * (this.h + STRIP_ROWS) / this.h;
    Object.assign(this.el.style, { width: s.width, height: full + "px" });
  }

  // One callback per presented frame, where the browser offers it.
  watch() {
    if (!("requestVideoFrameCallback" in HTMLVideoElement.prototype)) return;
    const each = (now, meta) => {
      this.el.requestVideoFrameCallback(each);
      this.presented(meta);
    };
    this.el.requestVideoFrameCallback(each);
  }

  // Frames the browser decoded but never showed get no callback: their
  // inputs go with the next one shown (see frame-marks.js).
  presented(meta) {
    const whole = this.reader.whole;
    const n = this.reader.read(this.el, this.w, this.h);
    if (this.reader.whole !== whole) this.place();
    if (this.onFrame) this.onFrame(n, performance.now(), meta);
  }
}
