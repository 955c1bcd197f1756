// The Files panel: the computer's home folder to browse (folders first, size
// and date, breadcrumbs back up), a tap on a file to download it, "Upload"
// for files from the phone, and the transfers below. Listings come as "lsr"
// for the path asked; a reply for an earlier request is dropped.
import { T } from "./dom.js";
import { addStyle, el, opening, onOtherOpening } from "./sheet.js";
import { cleanItems, crumbs, formatDate, formatSize, joinPath, LIST_ERRORS } from "./listing.js";
import { Transfers } from "./transfers.js";

addStyle("files", `
#files {
  position: fixed; left: 0; right: 0; top: calc(52px + var(--sat)); bottom: calc(var(--bar) + var(--sab) + var(--kb));
  display: flex; flex-direction: column; background: #10131b; border-top: 1px solid var(--line);
  border-radius: 16px 16px 0 0; box-shadow: 0 -10px 40px rgba(0,0,0,.5); z-index: 5;
}
#files[hidden] { display: none; }
@media (orientation: landscape) and (max-height: 560px) {
  #files { right: calc(var(--bar) + var(--sar)); top: var(--sat); bottom: 0; border-radius: 0; }
}
#files header { display: flex; align-items: center; gap: 8px; padding: 10px 12px 4px; }
#files header h2 { flex: 1; margin: 0; font-size: 17px; }
#files .crumbs { display: flex; gap: 2px; padding: 2px 8px 8px; overflow-x: auto; white-space: nowrap; touch-action: pan-x; }
#files .crumbs button { border: 0; background: none; color: var(--accent); padding: 6px 4px; cursor: pointer; font-size: 14px; }
#files .crumbs button:last-child { color: var(--fg); font-weight: 600; }
#files .crumbs span { color: var(--dim); align-self: center; }
#files .scroll { flex: 1; overflow-y: auto; touch-action: pan-y; padding: 0 12px 12px; -webkit-overflow-scrolling: touch; }
#files .item { display: flex; align-items: center; gap: 12px; width: 100%; min-height: 52px; padding: 6px 4px;
  border: 0; border-bottom: 1px solid var(--line); background: none; text-align: left; cursor: pointer; }
#files .item:active { background: rgba(255,255,255,.06); }
#files .item .ic { flex: none; width: 26px; height: 26px; fill: none; stroke: var(--dim); stroke-width: 1.6; stroke-linejoin: round; }
#files .item[data-dir="1"] .ic { stroke: var(--accent); fill: rgba(76,141,255,.18); }
#files .item .tx { flex: 1; min-width: 0; }
#files .item .n { display: block; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
#files .item .meta { display: block; font-size: 12px; color: var(--dim); }
#files .msg { padding: 14px 4px; color: var(--dim); white-space: pre-line; }
#files .msg.bad { color: var(--bad); }
#files h3 { margin: 16px 0 4px; font-size: 13px; color: var(--dim); font-weight: 600; text-transform: uppercase; letter-spacing: .04em; }
#files h3[hidden] { display: none; }
#files .btn.small { min-height: 36px; padding: 0 12px; flex: none; }
`);

const ICONS = {
  dir: "M3 7a2 2 0 0 1 2-2h4l2 2h8a2 2 0 0 1 2 2v8a2 2 0 0 1-2 2H5a2 2 0 0 1-2-2z",
  file: "M6 3h8l4 4v14H6zM14 3v4h4",
};

function icon(dir) {
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("viewBox", "0 0 24 24");
  svg.setAttribute("class", "ic");
  const p = document.createElementNS(ns, "path");
  p.setAttribute("d", dir ? ICONS.dir : ICONS.file);
  svg.appendChild(p);
  return svg;
}

export class FilesPanel {
  constructor() {
    this.path = "";
    this.want = null;     // path of the listing asked for and not yet answered
    this.send = () => false;
    this.isOpen = () => false;
    this.onShown = null;  // (visible)
    this.build();
    onOtherOpening("files", () => { if (this.visible) this.setVisible(false); });
    this.transfers = new Transfers(this.xferList);
    this.transfers.onActivity = () => { this.xferTitle.hidden = this.transfers.items.size === 0; };
    this.transfers.send = (m) => this.send(m);
  }

  build() {
    const close = el("button", { className: "btn small", type: "button", id: "filesClose", text: "Close" });
    close.addEventListener("click", () => this.setVisible(false));
    const pick = el("input", { type: "file", id: "filesPick", multiple: true, hidden: true });
    pick.addEventListener("change", () => {
      if (pick.files.length) this.transfers.upload(pick.files);
      pick.value = "";
    });
    const up = el("button", { className: "btn small primary", type: "button", id: "filesUpload", text: "Upload" });
    up.addEventListener("click", () => pick.click());
    this.crumbBar = el("nav", { className: "crumbs", id: "filesCrumbs" });
    this.list = el("div", { id: "filesList" });
    this.msg = el("div", { className: "msg", id: "filesMsg" });
    this.xferTitle = el("h3", { text: "Transfers", hidden: true });
    this.xferList = el("div", { id: "filesXfers" });
    this.root = el("section", { id: "files", hidden: true, "aria-label": "Files on the computer" },
      el("header", {}, el("h2", { text: "Files" }), up, close, pick),
      this.crumbBar,
      el("div", { className: "scroll" }, this.msg, this.list, this.xferTitle, this.xferList));
    document.body.appendChild(this.root);
  }

  get visible() { return !this.root.hidden; }

  toggle() { this.setVisible(!this.visible); return this.visible; }

  setVisible(v) {
    if (v && !this.visible) opening("files");
    this.root.hidden = !v;
    if (v) this.go(this.path);
    if (this.onShown) this.onShown(v);
  }

  // The link (re)opened: a shown panel lists its folder again.
  linkOpened() { if (this.visible) this.go(this.path); }

  linkClosed() { this.transfers.connectionLost(); this.want = null; }

  go(path) {
    this.path = path;
    this.renderCrumbs();
    this.list.textContent = "";
    if (!this.isOpen() || !this.send({ t: "ls", path })) {
      this.want = null;
      this.say("Not connected to the computer.", true);
      return;
    }
    this.want = path;
    this.say("Loading…");
  }

  // "lsr" from the computer.
  listed(m) {
    if (this.want === null || m.path !== this.want) return;
    this.want = null;
    if (typeof m.err === "string") {
      this.say(LIST_ERRORS[m.err] || "The computer could not list this folder.", true);
      T.files = { path: m.path, err: m.err, items: [] };
      return;
    }
    const items = cleanItems(m.items);
    T.files = { path: m.path, err: null, items: items.map((it) => it.n), more: m.more === true };
    this.say(items.length ? (m.more === true ? "Only the first " + items.length + " items are shown." : "") : "This folder is empty.");
    const frag = document.createDocumentFragment();
    for (const it of items) frag.appendChild(this.row(it));
    this.list.textContent = "";
    this.list.appendChild(frag);
  }

  row(it) {
    const meta = it.dir ? formatDate(it.mt) : [formatSize(it.size), formatDate(it.mt)].filter(Boolean).join(" · ");
    const b = el("button", { className: "item", type: "button" },
      icon(it.dir),
      el("span", { className: "tx" }, el("span", { className: "n", text: it.n }), el("span", { className: "meta", text: meta })));
    b.dataset.name = it.n;
    b.dataset.dir = it.dir ? "1" : "0";
    const path = joinPath(this.path, it.n);
    b.addEventListener("click", () => { if (it.dir) this.go(path); else this.transfers.download(path); });
    return b;
  }

  renderCrumbs() {
    this.crumbBar.textContent = "";
    crumbs(this.path).forEach((c, k) => {
      if (k) this.crumbBar.appendChild(el("span", { text: "›" }));
      const b = el("button", { type: "button", text: c.label });
      b.dataset.path = c.path;
      b.addEventListener("click", () => this.go(c.path));
      this.crumbBar.appendChild(b);
    });
    this.crumbBar.scrollLeft = this.crumbBar.scrollWidth;
  }

  say(text, bad = false) {
    this.msg.textContent = text;
    this.msg.hidden = !text;
    this.msg.classList.toggle("bad", bad);
  }
}
