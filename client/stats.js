// The measurements overlay, opened from the toolbar.
import { T } from "./dom.js";
import { pct } from "./measure.js";
import { ROUTE_TEXT } from "./route.js";

export class StatsOverlay {
  constructor(el, measure, pictureSize) {
    this.el = el;
    this.measure = measure;
    this.pictureSize = pictureSize; // () => { w, h } in video pixels, 0 before the first picture
    setInterval(() => this.render(), 1000);
  }

  get visible() { return !this.el.hidden; }

  toggle() {
    this.el.hidden = !this.el.hidden;
    this.render();
    return this.visible;
  }

  render() {
    const el = this.el;
    if (el.hidden) return;
    const shown = this.measure.shown, size = this.pictureSize();
    const f = (v, u) => (v === null || v === undefined) ? "–" : (Math.round(v) + (u || ""));
    const all = T.delays.slice(-200).sort((a, b) => a - b);
    el.innerHTML = "";
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
    for (const [k, v] of lines) {
      const row = document.createElement("div");
      const b = document.createElement("b"); b.textContent = v;
      row.append(k.padEnd(15, " "), b);
      el.appendChild(row);
    }
  }
}
