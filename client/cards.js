// The notice card in the middle of the screen (one at a time, with a title,
// text and buttons) and the warning banner at the top.
import { $ } from "./dom.js";

export class Cards {
  constructor() {
    this.tag = ""; // what the shown card is about, "" when none is shown
  }

  start() {
    $("bannerClose").addEventListener("click", () => { $("banner").hidden = true; });
  }

  // kind: "error", "lock" or "info"; body: text or an element; actions:
  // [{ label, primary, id, href, download, act }].
  show(kind, title, body, actions, tag) {
    this.tag = tag || kind;
    const n = $("notice");
    n.dataset.kind = kind;
    $("nIcon").textContent = kind === "lock" ? "!" : kind === "error" ? "!" : "i";
    $("nTitle").textContent = title;
    const b = $("nBody");
    b.textContent = "";
    if (typeof body === "string") { const p = document.createElement("p"); p.textContent = body; b.appendChild(p); }
    else b.appendChild(body);
    const a = $("nActions");
    a.textContent = "";
    for (const act of actions || []) {
      const el = document.createElement(act.href ? "a" : "button");
      el.className = "btn" + (act.primary ? " primary" : "");
      el.textContent = act.label;
      if (act.id) el.id = act.id;
      if (act.href) { el.href = act.href; if (act.download) el.setAttribute("download", act.download); }
      if (act.act) el.addEventListener("click", act.act);
      a.appendChild(el);
    }
    n.hidden = false;
  }

  // Returns the tag of the card that was shown.
  hide() {
    const was = this.tag;
    $("notice").hidden = true;
    this.tag = "";
    return was;
  }

  banner(text) {
    $("bannerMsg").textContent = text;
    $("banner").hidden = false;
  }
}
