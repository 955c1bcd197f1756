// The view control: how the computer's screen is shaped for this phone.
// "Auto" lets the computer choose, "Whole screen" shows all of it, "Zoom"
// follows the pointer and the caret at 1× to 4×, "Portrait display" makes a
// display in the phone's shape and moves the front window onto it. The
// button names what the computer applied; its "view" warning shows below the
// choices.
import { $, T } from "./dom.js";

export const VIEW_CHOICES = [
  { m: "auto", z: 1, label: "Auto" },
  { m: "fit", z: 1, label: "Whole screen" },
  { m: "zoom", z: 1, label: "Zoom 1×" },
  { m: "zoom", z: 2, label: "Zoom 2×" },
  { m: "zoom", z: 3, label: "Zoom 3×" },
  { m: "zoom", z: 4, label: "Zoom 4×" },
  { m: "virtual", z: 1, label: "Portrait display" },
];

const APPLIED = { fit: "Whole", zoom: "Zoom", virtual: "Portrait" };

// A zoom level from a pinch: the level the gesture started at times how far
// the fingers spread, as a whole level from 1 to 4.
export function pinchZoom(startZoom, ratio) {
  if (!(ratio > 0) || !Number.isFinite(ratio)) return startZoom;
  return Math.min(4, Math.max(1, Math.round(startZoom * ratio)));
}

export class ViewControl {
  constructor() {
    this.m = "auto";
    this.z = 1;
    this.applied = "";
    // Set by the owner: sends the view for the current stage size.
    this.resend = () => {};
  }

  start() {
    const menu = $("viewMenu");
    for (const c of VIEW_CHOICES) {
      const b = document.createElement("button");
      b.textContent = c.label;
      b.dataset.m = c.m;
      b.dataset.z = String(c.z);
      b.addEventListener("click", () => { this.choose(c.m, c.z); this.open(false); });
      $("viewChoices").appendChild(b);
    }
    $("bView").addEventListener("click", () => this.open(menu.hidden));
    this.render();
  }

  open(on) {
    $("viewMenu").hidden = !on;
    $("bView").setAttribute("aria-pressed", on ? "true" : "false");
  }

  // The message the page sends for a stage of w × h CSS pixels.
  message(w, h) { return { t: "view", w, h, m: this.m, z: this.z }; }

  choose(m, z) {
    this.m = m;
    this.z = m === "zoom" ? z : 1;
    this.warn("");
    this.render();
    this.resend();
  }

  // A pinch on the picture: zoom in from any mode, or back to the whole
  // screen when pinched in below 1×.
  pinched(ratio) {
    const from = this.m === "zoom" ? this.z : 1;
    if (this.m !== "zoom" && ratio < 1) return;
    if (this.m === "zoom" && from === 1 && ratio < 0.8) return this.choose("fit", 1);
    const z = pinchZoom(from, ratio);
    if (this.m === "zoom" && z === this.z) return;
    this.choose("zoom", z);
  }

  // The computer's "view" status.
  status(m) {
    if (typeof m.mode !== "string") return;
    T.view = m;
    this.applied = m.mode;
    this.render();
  }

  warn(text) {
    T.viewWarn = text || null;
    const w = $("viewWarn");
    w.textContent = text || "";
    w.hidden = !text;
  }

  render() {
    const applied = APPLIED[this.applied];
    const zoom = this.applied === "zoom" && this.m === "zoom" ? " " + this.z + "×" : "";
    $("viewLabel").textContent = applied ? applied + zoom : "View";
    for (const b of $("viewChoices").children) {
      const on = b.dataset.m === this.m && (this.m !== "zoom" || Number(b.dataset.z) === this.z);
      b.setAttribute("aria-checked", on ? "true" : "false");
    }
  }
}
