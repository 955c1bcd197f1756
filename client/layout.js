// Where the picture goes: the stage is the screen minus the toolbar, the key
// bar and the phone keyboard; the picture keeps its shape inside it. The
// stage's size is what the host is told as the view.
import { $ } from "./dom.js";

export class Layout {
  constructor(stage, canvas) {
    this.stage = stage;
    this.canvas = canvas;
    this.barSide = false;
    this.pic = { x: 0, y: 0, w: 0, h: 0 }; // the picture on the stage, CSS pixels
    this.lastView = "";
    this.viewTimer = 0;
    // Set by the owner.
    this.pictureSize = () => ({ w: 0, h: 0 }); // video pixels, 0 before the first picture
    this.keyboardOpen = () => false;
    this.send = () => false;                    // (message) => sent
  }

  start() {
    const onResize = () => {
      this.update();
      clearTimeout(this.viewTimer);
      this.viewTimer = setTimeout(() => this.sendView(false), 250);
    };
    window.addEventListener("resize", onResize);
    window.addEventListener("orientationchange", () => setTimeout(() => { this.update(); this.sendView(false); }, 300));
    if (window.visualViewport) window.visualViewport.addEventListener("resize", onResize);
    this.update();
  }

  viewportSize() {
    const vv = window.visualViewport;
    return { w: window.innerWidth, h: vv ? Math.min(window.innerHeight, vv.height + vv.offsetTop) : window.innerHeight };
  }

  // Places stage and picture; returns the stage's size.
  update() {
    const vp = this.viewportSize();
    const kbH = Math.max(0, window.innerHeight - vp.h);
    document.documentElement.style.setProperty("--kb", kbH + "px");
    this.barSide = matchMedia("(orientation: landscape) and (max-height: 560px)").matches;
    const bar = $("bar").getBoundingClientRect();
    let sw = vp.w, sh = vp.h;
    if (this.barSide) sw = Math.max(0, bar.left); else sh = Math.max(0, bar.top);
    const keys = $("keys");
    if (!keys.hidden) sh = Math.max(0, Math.min(sh, keys.getBoundingClientRect().top));
    this.stage.style.width = sw + "px"; this.stage.style.height = sh + "px";
    const size = this.pictureSize();
    const fw = size.w || 16, fh = size.h || 9;
    const s = Math.min(sw / fw, sh / fh);
    const w = Math.round(fw * s), h = Math.round(fh * s);
    this.pic = { x: Math.round((sw - w) / 2), y: Math.round((sh - h) / 2), w, h };
    Object.assign(this.canvas.style, { left: this.pic.x + "px", top: this.pic.y + "px", width: w + "px", height: h + "px" });
    return { w: sw, h: sh };
  }

  sendView(force) {
    const st = this.update();
    const w = Math.round(st.w), h = Math.round(st.h);
    const key = w + "x" + h;
    if (!force && key === this.lastView) return;
    // The phone keyboard shrinks the view only for a while; do not reshape the shared screen for it.
    if (!force && this.keyboardOpen() && this.lastView.startsWith(w + "x")) return;
    if (this.send({ t: "view", w, h, m: "auto", z: 1 })) this.lastView = key;
  }
}
