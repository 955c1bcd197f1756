// Downloads and uploads in flight and done, each a row with its progress,
// a Cancel button while it runs and what came of it. Uploads go one after
// another; downloads start at once. Replies from the computer find their
// transfer by id; those for no transfer of ours are dropped.
import { T } from "./dom.js";
import { randomId } from "./b64.js";
import { addStyle, el } from "./sheet.js";
import { formatSize } from "./listing.js";
import { Download } from "./download.js";
import { Upload } from "./upload.js";

addStyle("transfers", `
.xfer { padding: 8px 2px; border-top: 1px solid var(--line); display: grid; grid-template-columns: 1fr auto; gap: 4px 10px; align-items: center; }
.xfer .nm { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; font-size: 14px; }
.xfer .st { grid-column: 1; font-size: 12px; color: var(--dim); }
.xfer[data-state="failed"] .st { color: var(--bad); }
.xfer[data-state="done"] .st { color: var(--ok); }
.xfer .bar { grid-column: 1 / 3; height: 4px; border-radius: 2px; background: rgba(255,255,255,.1); overflow: hidden; }
.xfer .bar i { display: block; height: 100%; width: 0; background: var(--accent); }
.xfer .act { grid-row: 1 / 3; grid-column: 2; min-height: 34px; padding: 0 12px; flex: none; }
`);

export class Transfers {
  constructor(list) {
    this.list = list;      // element the rows go into
    this.send = () => false;
    this.limit = () => 65536;
    this.items = new Map(); // id -> transfer
    this.rows = new Map();  // id -> row element
    this.queue = [];        // uploads waiting for their turn
    this.current = null;    // the upload under way
    this.onActivity = null; // something changed (the owner may show the list)
    this.pending = new Set(); // ids whose progress is drawn shortly
    T.transfers = [];
  }

  download(path) {
    const d = new Download(randomId(), path, (m) => this.send(m));
    d.onSaved = (blob, name) => this.offer(d, blob, name);
    this.add(d);
    d.start();
    return d;
  }

  upload(files) {
    const all = Array.from(files);
    all.forEach((f, k) => {
      const u = new Upload(randomId(), f, (m) => this.send(m), { limit: this.limit(), last: k === all.length - 1 });
      this.add(u);
      this.queue.push(u);
    });
    this.nextUpload();
  }

  nextUpload() {
    if (this.current && this.current.state === "active") return;
    this.current = null;
    while (this.queue.length) {
      const u = this.queue.shift();
      if (u.state !== "active") continue;
      this.current = u;
      u.start();
      return;
    }
  }

  // A reply from the computer: "fdat", "fack" or "fdone".
  reply(m) {
    const x = typeof m.id === "string" ? this.items.get(m.id) : null;
    if (!x) return;
    if (m.t === "fdat" && x.kind === "down") x.chunk(m);
    else if (m.t === "fack" && x.kind === "up") x.ack(m);
    else if (m.t === "fdone" && x.kind === "up") x.done(m);
  }

  // The link went away: the computer forgets every transfer with it.
  connectionLost() {
    for (const x of this.items.values()) x.fail("The connection to the computer was lost.");
    this.queue = [];
  }

  add(x) {
    this.items.set(x.id, x);
    const row = el("div", { className: "xfer" },
      el("div", { className: "nm" }), el("div", { className: "st" }), el("div", { className: "bar" }, el("i")));
    const cancel = el("button", { className: "btn act", type: "button", text: "Cancel" });
    cancel.addEventListener("click", () => x.cancel());
    row.appendChild(cancel);
    row.dataset.id = x.id;
    this.rows.set(x.id, row);
    this.list.prepend(row);
    x.onChange = () => {
      if (x.state === "active") { this.soon(x); return; }
      this.render(x);
      if (x.kind === "up") this.nextUpload();
    };
    this.render(x);
  }

  offer(d, blob, name) {
    const url = URL.createObjectURL(blob);
    const row = this.rows.get(d.id);
    const a = el("a", { className: "btn act primary", href: url, text: "Save" });
    a.download = name;
    row.querySelector(".act")?.remove();
    row.appendChild(a);
    // On phones that refuse a download without a tap, the Save button stays.
    a.click();
  }

  // Progress is drawn a few times a second, not per chunk: each drawing
  // repaints the page, which on a phone costs more than the chunk itself.
  soon(x) {
    if (this.pending.has(x.id)) return;
    this.pending.add(x.id);
    setTimeout(() => { this.pending.delete(x.id); this.render(x); }, 150);
  }

  render(x) {
    const row = this.rows.get(x.id);
    row.dataset.state = x.state;
    row.querySelector(".nm").textContent = (x.kind === "up" ? "↑ " : "↓ ") + x.name;
    row.querySelector(".bar i").style.width = Math.round(x.progress * 100) + "%";
    row.querySelector(".st").textContent = this.status(x);
    const act = row.querySelector("button.act");
    if (act && x.state !== "active") act.remove();
    T.transfers = [...this.items.values()].map((t) => ({ id: t.id, kind: t.kind, name: t.name, state: t.state,
      error: t.error, savedAs: t.savedAs || "", bytes: t.kind === "up" ? t.sent : t.got }));
    if (this.onActivity) this.onActivity();
  }

  status(x) {
    if (x.state === "failed") return x.error;
    if (x.state === "cancelled") return "Cancelled";
    if (x.state === "done") return x.kind === "up" ? "Saved on the computer as " + x.savedAs : "Downloaded, " + formatSize(x.size);
    const done = x.kind === "up" ? x.sent : x.got;
    if (x.kind === "up" && this.current !== x) return "Waiting";
    if (x.kind === "up" && x.next === x.n) return "Sent; waiting for the computer…";
    return x.size ? formatSize(done) + " of " + formatSize(x.size) : "Starting…";
  }
}
