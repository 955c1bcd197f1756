// The Apps panel: the computer's applications as a grid of icons. Opening
// the panel asks for the list ("apps"); it arrives in batches ("appl"): the
// first clears the grid, the last ends the spinner. A tap opens the
// application ("open"), with "Only this app" hiding the others ("solo").
import { $, T, setPressed } from "./dom.js";
import { opening, onOtherOpening } from "./sheet.js";

export class AppsPanel {
  constructor() {
    this.panel = $("apps");
    this.grid = $("appsGrid");
    this.spinner = $("appsSpin");
    this.solo = $("appsSolo");
    this.send = null;          // (msg) → false when not connected; set by the owner
    this.stats = T.apps = { lists: 0, items: 0, opened: null };
  }

  start() {
    $("bApps").addEventListener("click", () => (this.panel.hidden ? this.show() : this.hide()));
    $("appsClose").addEventListener("click", () => this.hide());
    onOtherOpening("apps", () => { if (!this.panel.hidden) this.hide(); });
  }

  show() {
    opening("apps");
    this.panel.hidden = false;
    setPressed("bApps", true);
    this.spinner.hidden = false;
    if (!this.send || !this.send({ t: "apps" })) this.spinner.hidden = true;
  }

  hide() {
    this.panel.hidden = true;
    setPressed("bApps", false);
  }

  // One "appl" batch.
  list(m) {
    if (!Array.isArray(m.items)) return;
    if (m.first === true) {
      this.grid.replaceChildren();
      this.stats.items = 0;
    }
    for (const it of m.items) {
      if (!it || typeof it.p !== "string" || typeof it.n !== "string") continue;
      this.grid.appendChild(this.tile(it));
      this.stats.items++;
    }
    if (m.done === true) {
      this.spinner.hidden = true;
      this.stats.lists++;
      if (!this.grid.children.length) {
        const none = document.createElement("div");
        none.className = "none";
        none.textContent = "No applications found";
        this.grid.appendChild(none);
      }
    }
  }

  tile(it) {
    const b = document.createElement("button");
    b.className = "app";
    b.dataset.p = it.p;
    // Only a PNG of ours goes into the address: anything else shows a blank tile.
    if (typeof it.ic === "string" && /^[A-Za-z0-9+/=]+$/.test(it.ic)) {
      const img = document.createElement("img");
      img.alt = "";
      img.src = "data:image/png;base64," + it.ic;
      b.appendChild(img);
    } else {
      const blank = document.createElement("span");
      blank.className = "blank";
      b.appendChild(blank);
    }
    if (it.r === true) {
      const dot = document.createElement("span");
      dot.className = "run";
      dot.title = "Running";
      b.appendChild(dot);
    }
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = it.n;
    b.appendChild(name);
    b.addEventListener("click", () => this.open(it.p));
    return b;
  }

  open(p) {
    if (!this.send) return;
    const msg = { t: "open", p, solo: this.solo.checked };
    if (this.send(msg)) {
      this.stats.opened = msg;
      this.hide();
    }
  }
}
