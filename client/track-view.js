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
    const cw = parseFloat(s.width) || 0;
    // The picture fills the box's width; the strip hangs below its bottom edge.
    const full = this.w > 0 && this.h > 0 ? cw * (this.h + STRIP_ROWS) / this.w : parseFloat(s.height) || 0;
    Object.assign(this.el.style, { width: cw + "px", height: full + "px" });
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
    const n = this.reader.read(this.el, this.w, this.h);
    if (this.onFrame) this.onFrame(n, performance.now(), meta);
  }
}
