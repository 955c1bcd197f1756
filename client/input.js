// Pointer input from touch, mouse and wheel. In touch mode a finger is the
// pointer (tap clicks, drag drags, long press right-clicks); in trackpad mode
// the phone is a laptop trackpad (strokes move the pointer relatively, tap
// clicks where it is). Two fingers scroll; a quick two-finger tap right-clicks.

const LONG_MS = 500, SLOP = 9;
const clamp01 = (v) => Math.min(1, Math.max(0, v));

function spread(touches) {
  return Math.hypot(touches[0].clientX - touches[1].clientX, touches[0].clientY - touches[1].clientY);
}

function centroid(touches) {
  let x = 0, y = 0;
  for (const t of touches) { x += t.clientX; y += t.clientY; }
  return { x: x / touches.length, y: y / touches.length };
}

export class Input {
  constructor(stage, layout) {
    this.stage = stage;
    this.layout = layout;
    this.mode = localStorage.getItem("tolvane.mode") === "trackpad" ? "trackpad" : "touch";
    // Ids start at a random point so that two phones on the same host do not claim each other's frames.
    this.nextId = 1 + Math.floor(Math.random() * 0x3fffffff);
    // Moves, relative moves and scrolls are coalesced to one message per animation frame.
    this.pend = { mv: null, rdx: 0, rdy: 0, sdx: 0, sdy: 0 };
    this.flushQueued = false;
    this.g = null; // the current touch gesture
    this.mouseDown = 0;
    // Set by the owner.
    this.isOpen = () => false;
    this.send = () => false;      // (message)
    this.onSent = null;           // (input id) just before it is sent
    this.pictureWidth = () => 0;  // video pixels
  }

  setMode(mode) {
    this.mode = mode;
    localStorage.setItem("tolvane.mode", mode);
  }

  // Every input message carries an id; the host hands it back with the first frame that shows it.
  sendInput(msg) {
    if (!this.isOpen()) return;
    msg.id = this.nextId++;
    if (this.nextId > 0xfffffff0) this.nextId = 1;
    if (this.onSent) this.onSent(msg.id);
    this.send(msg);
  }

  norm(clientX, clientY) {
    const sr = this.stage.getBoundingClientRect(), pic = this.layout.pic;
    const x = (clientX - sr.left - pic.x) / (pic.w || 1);
    const y = (clientY - sr.top - pic.y) / (pic.h || 1);
    return { x: Math.round(clamp01(x) * 10000) / 10000, y: Math.round(clamp01(y) * 10000) / 10000 };
  }
  // Desktop pixels per CSS pixel of the shown picture.
  scale() {
    const pw = this.layout.pic.w, vw = this.pictureWidth();
    return pw && vw ? vw / pw : 1;
  }

  queueFlush() {
    if (!this.flushQueued) { this.flushQueued = true; requestAnimationFrame(() => this.flush()); }
  }
  flush() {
    this.flushQueued = false;
    const pend = this.pend;
    if (pend.mv) { this.sendInput({ t: "mv", x: pend.mv.x, y: pend.mv.y }); pend.mv = null; }
    const rx = Math.trunc(pend.rdx), ry = Math.trunc(pend.rdy);
    if (rx || ry) { this.sendInput({ t: "rel", dx: rx, dy: ry }); pend.rdx -= rx; pend.rdy -= ry; }
    const sx = Math.trunc(pend.sdx), sy = Math.trunc(pend.sdy);
    if (sx || sy) { this.sendInput({ t: "sc", dx: sx, dy: sy }); pend.sdx -= sx; pend.sdy -= sy; }
  }
  move(p) { this.pend.mv = p; this.queueFlush(); }
  button(kind, p, b) { this.flush(); this.sendInput({ t: kind, x: p.x, y: p.y, b }); }
  click(p, b) { this.button("md", p, b); this.button("mu", p, b); }
  rclick(b) { this.flush(); this.sendInput({ t: "rb", b, d: 1 }); this.sendInput({ t: "rb", b, d: 0 }); }

  ripple(clientX, clientY, right) {
    const sr = this.stage.getBoundingClientRect();
    const r = document.createElement("div");
    r.className = "ripple" + (right ? " right" : "");
    r.style.left = (clientX - sr.left) + "px"; r.style.top = (clientY - sr.top) + "px";
    this.stage.appendChild(r);
    setTimeout(() => r.remove(), 500);
  }

  start() {
    const stage = this.stage, opts = { passive: false };
    stage.addEventListener("touchstart", (e) => this.touchStart(e), opts);
    stage.addEventListener("touchmove", (e) => this.touchMove(e), opts);
    stage.addEventListener("touchend", (e) => this.touchEnd(e), opts);
    stage.addEventListener("touchcancel", (e) => {
      const g = this.g;
      if (g && g.kind === "one") clearTimeout(g.timer);
      if (g && g.dragging) this.button("mu", this.norm(g.lx, g.ly), 1);
      this.g = null;
      e.preventDefault();
    }, opts);
    this.startMouse();
  }

  touchStart(e) {
    e.preventDefault();
    const ts = e.touches;
    if (ts.length === 1) {
      const t = ts[0];
      const g = this.g = { kind: "one", sx: t.clientX, sy: t.clientY, lx: t.clientX, ly: t.clientY, lt: e.timeStamp,
        t0: e.timeStamp, moved: false, dragging: false, long: false, timer: 0, maxTouches: 1 };
      g.timer = setTimeout(() => {
        if (this.g !== g || g.moved) return;
        g.long = true;
        if (navigator.vibrate) navigator.vibrate(12);
        this.ripple(g.sx, g.sy, true);
        if (this.mode === "touch") this.click(this.norm(g.sx, g.sy), 2); else this.rclick(2);
      }, LONG_MS);
    } else if (ts.length >= 2) {
      const g = this.g;
      if (g) {
        clearTimeout(g.timer);
        if (g.dragging && this.mode === "touch") this.button("mu", this.norm(g.lx, g.ly), 1);
      }
      const c = centroid(ts);
      this.g = { kind: "two", cx: c.x, cy: c.y, d: spread(ts), t0: g && g.kind === "one" ? g.t0 : e.timeStamp, moved: false, maxTouches: ts.length };
    }
  }

  touchMove(e) {
    e.preventDefault();
    const g = this.g;
    if (!g) return;
    if (g.kind === "one" && e.touches.length === 1) {
      const t = e.touches[0];
      const dist = Math.hypot(t.clientX - g.sx, t.clientY - g.sy);
      if (!g.moved && dist < SLOP) return;
      if (!g.moved) { g.moved = true; clearTimeout(g.timer); }
      if (g.long) return;
      if (this.mode === "touch") {
        if (!g.dragging) { g.dragging = true; this.button("md", this.norm(g.sx, g.sy), 1); }
        this.move(this.norm(t.clientX, t.clientY));
      } else {
        // Faster strokes travel further, as on a laptop trackpad.
        const dx = t.clientX - g.lx, dy = t.clientY - g.ly, dt = Math.max(1, e.timeStamp - g.lt);
        const speed = Math.hypot(dx, dy) / dt;
        const gain = this.scale() * Math.min(2.2, Math.max(0.6, 0.6 + speed * 0.9));
        this.pend.rdx += dx * gain; this.pend.rdy += dy * gain; this.queueFlush();
      }
      g.lx = t.clientX; g.ly = t.clientY; g.lt = e.timeStamp;
    } else if (g.kind === "two" && e.touches.length >= 2) {
      const c = centroid(e.touches);
      const dx = c.x - g.cx, dy = c.y - g.cy;
      // A pinch (pinch.js) is no tap either, though its centre stays put.
      if (!g.moved && Math.abs(spread(e.touches) - g.d) >= SLOP) g.moved = true;
      if (!g.moved && Math.hypot(dx, dy) < SLOP) return;
      g.moved = true;
      // The content follows the fingers.
      const s = this.scale();
      this.pend.sdx += dx * s; this.pend.sdy += dy * s; this.queueFlush();
      g.cx = c.x; g.cy = c.y;
    }
  }

  touchEnd(e) {
    e.preventDefault();
    const g = this.g;
    if (!g) return;
    if (g.kind === "one") {
      clearTimeout(g.timer);
      if (e.touches.length > 0) return;
      if (this.mode === "touch") {
        if (g.dragging) { this.flush(); this.button("mu", this.norm(g.lx, g.ly), 1); }
        else if (!g.long && !g.moved) { this.ripple(g.sx, g.sy); this.click(this.norm(g.sx, g.sy), 1); }
      } else if (!g.long && !g.moved && e.timeStamp - g.t0 < LONG_MS) {
        this.ripple(g.sx, g.sy); this.rclick(1);
      }
      this.flush();
      this.g = null;
    } else {
      g.maxTouches = Math.max(g.maxTouches, e.touches.length);
      if (e.touches.length > 0) return;
      // A quick two-finger tap is a right click, as on a trackpad.
      if (!g.moved && e.timeStamp - g.t0 < 350) {
        const p = e.changedTouches[0];
        this.ripple(p.clientX, p.clientY, true);
        if (this.mode === "touch") this.click(this.norm(g.cx, g.cy), 2); else this.rclick(2);
      }
      this.flush();
      this.g = null;
    }
  }

  // Mouse and wheel, for desktop browsers.
  startMouse() {
    const stage = this.stage;
    const fromTouch = (e) => e.sourceCapabilities && e.sourceCapabilities.firesTouchEvents;
    stage.addEventListener("mousemove", (e) => { if (!fromTouch(e)) this.move(this.norm(e.clientX, e.clientY)); });
    stage.addEventListener("mousedown", (e) => {
      if (fromTouch(e)) return;
      e.preventDefault();
      const b = e.button === 2 ? 2 : 1;
      this.mouseDown |= 1 << b;
      this.button("md", this.norm(e.clientX, e.clientY), b);
    });
    window.addEventListener("mouseup", (e) => {
      const b = e.button === 2 ? 2 : 1;
      if (!(this.mouseDown & (1 << b))) return;
      this.mouseDown &= ~(1 << b);
      this.button("mu", this.norm(e.clientX, e.clientY), b);
    });
    stage.addEventListener("contextmenu", (e) => e.preventDefault());
    stage.addEventListener("wheel", (e) => {
      e.preventDefault();
      const unit = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 800 : 1;
      this.pend.sdx -= e.deltaX * unit; this.pend.sdy -= e.deltaY * unit; this.queueFlush();
    }, { passive: false });
  }
}
