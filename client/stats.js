// The measurements overlay, opened from the toolbar. Its figures are redrawn
// every second; controls added to it stay below them.
import { T } from "./dom.js";
import { pct } from "./measure.js";
import { ROUTE_TEXT } from "./route.js";

export class StatsOverlay {
  constructor(el, measure, pictureSize) {
    this.el = el;
    this.measure = measure;
    this.pictureSize = pictureSize; // () => { w, h } in video pixels, 0 before the first picture
    this.lines = document.createElement("div");
    this.tools = document.createElement("div");
    el.append(this.lines, this.tools);
    setInterval(() => this.render(), 1000);
  }

  get visible() { return !this.el.hidden; }

  toggle() {
    this.el.hidden = !this.el.hidden;
    this.render();
    return this.visible;
  }

  // A control of a feature, shown under the figures.
  addControl(node) { this.tools.appendChild(node); }

  render() {
    if (this.el.hidden) return;
    const shown = this.measure.shown, size = this.pictureSize();
    const f = (v, u) => (v === null || v === undefined) ? "–" : (Math.round(v) + (u || ""));
    const all = T.delays.slice(-200).sort((a, b) => a - b);
    this.lines.textContent = "";
    const lines = [
      ["round trip", f(T.rtt, " ms")],
      ["input→picture", all.length ? f(pct(all, 50)) + " / " + f(pct(all, 95), " ms") : "–"],
      ["decode", shown.dec === null ? "–" : shown.dec.toFixed(1) + " ms"],
      ["capture→screen", f(shown.cap, " ms")],
      ["frames", f(shown.fps, " fps") + (T.dropped ? "  drop " + T.dropped : "")],
      ["picture", size.w ? size.w + "×" + size.h : "–"],
    ];
    if (T.route) lines.push(["path", ROUTE_TEXT[T.route] || "–"]);
    if (T.rtc && T.rtc.incomplete) lines.push(["lost frames", String(T.rtc.incomplete)]);
    if (T.track && T.track.use === "track") {
      lines.push(["video", "track"]);
      if (T.track.unread) lines.push(["unread numbers", String(T.track.unread)]);
    }
    for (const [k, v] of lines) {
      const row = document.createElement("div");
      const b = document.createElement("b"); b.textContent = v;
      row.append(k.padEnd(15, " "), b);
      this.lines.appendChild(row);
    }
  }
}
