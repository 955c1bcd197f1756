// Clipboard both ways. Text copied on the computer arrives as "clip" and
// shows as a chip; a tap puts it on the phone's clipboard. "Send clipboard"
// puts the phone's clipboard on the computer ("setclip"); "Send and paste"
// then presses Ctrl+V there. Where the page may not read the clipboard (plain
// http, a refused permission), the person pastes into a field instead.
import { T } from "./dom.js";
import { addStyle, el, opening, onOtherOpening } from "./sheet.js";

addStyle("clipboard", `
#clipChip {
  position: fixed; left: 50%; transform: translateX(-50%); top: calc(52px + var(--sat)); z-index: 6;
  display: flex; align-items: center; gap: 8px; max-width: min(420px, calc(100vw - 24px));
  padding: 8px 8px 8px 14px; border-radius: 999px; background: var(--panel); border: 1px solid var(--line);
  box-shadow: 0 6px 24px rgba(0,0,0,.45); font-size: 13.5px; cursor: pointer;
}
#clipChip[hidden] { display: none; }
#clipChip .tx { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
#clipChip .tx b { color: var(--accent); font-weight: 600; }
#clipChip button { flex: none; width: 28px; height: 28px; border: 0; border-radius: 50%; background: rgba(255,255,255,.1); cursor: pointer; }
#clipMenu {
  position: fixed; right: 8px; bottom: calc(var(--bar) + var(--sab) + var(--kb) + 8px); z-index: 6;
  display: flex; flex-direction: column; gap: 8px; padding: 10px; width: 220px; border-radius: 14px;
  background: var(--panel); border: 1px solid var(--line); box-shadow: 0 10px 30px rgba(0,0,0,.5);
}
#clipMenu[hidden] { display: none; }
#clipMenu .note { font-size: 12px; color: var(--dim); min-height: 1em; }
#clipText { width: 100%; min-height: 90px; font: inherit; color: var(--fg); background: rgba(0,0,0,.35);
  border: 1px solid var(--line); border-radius: 10px; padding: 8px; -webkit-user-select: text; user-select: text; }
`);

const PREVIEW = 80;
// The computer handles its clipboard and the key press on different paths; a
// short wait lets the text land before Ctrl+V asks for it.
const PASTE_AFTER_MS = 300;

// Puts text on this phone's clipboard; false when the browser refused.
export async function copyText(s) {
  try {
    if (navigator.clipboard && window.isSecureContext) { await navigator.clipboard.writeText(s); return true; }
  } catch (e) { /* try the old way */ }
  const ta = el("textarea", { className: "", "aria-hidden": "true" });
  ta.value = s;
  ta.style.cssText = "position:fixed;left:-9999px;top:0;opacity:0";
  document.body.appendChild(ta);
  ta.select();
  let ok = false;
  try { ok = document.execCommand("copy"); } catch (e) { ok = false; }
  ta.remove();
  return ok;
}

export class Clipboard {
  constructor(cards) {
    this.cards = cards;
    this.text = "";
    this.send = () => false;         // (message) -> false when not sent
    this.pressCtrlV = () => {};      // sends Ctrl+V as typed keys are sent
    this.onMenu = null;              // (visible)
    this.build();
    onOtherOpening("clip", () => { if (this.menuVisible) this.toggleMenu(); });
  }

  build() {
    this.chipText = el("span", { className: "tx" });
    const close = el("button", { type: "button", "aria-label": "Dismiss", text: "✕" });
    close.addEventListener("click", (e) => { e.stopPropagation(); this.chip.hidden = true; });
    this.chip = el("div", { id: "clipChip", hidden: true, role: "button" }, this.chipText, close);
    this.chip.addEventListener("click", () => this.copyChip());
    this.note = el("div", { className: "note", id: "clipNote" });
    const sendBtn = el("button", { className: "btn", type: "button", id: "clipSend", text: "Send clipboard" });
    const pasteBtn = el("button", { className: "btn primary", type: "button", id: "clipPaste", text: "Send and paste" });
    sendBtn.addEventListener("click", () => this.sendClipboard(false));
    pasteBtn.addEventListener("click", () => this.sendClipboard(true));
    this.menu = el("div", { id: "clipMenu", hidden: true }, sendBtn, pasteBtn, this.note);
    document.body.append(this.chip, this.menu);
  }

  // "clip" from the computer.
  received(m) {
    if (typeof m.s !== "string" || !m.s) return;
    this.text = m.s;
    T.clip = m.s;
    T.clipCopied = false;
    const oneLine = m.s.replace(/\s+/g, " ").trim();
    this.chipText.textContent = "";
    this.chipText.append(el("b", { text: "Copied on computer · " }),
      oneLine.length > PREVIEW ? oneLine.slice(0, PREVIEW) + "…" : oneLine);
    this.chip.title = "Tap to copy to this phone";
    this.chip.hidden = false;
  }

  async copyChip() {
    const ok = await copyText(this.text);
    T.clipCopied = ok;
    this.chipText.textContent = ok ? "Copied to this phone" : "This browser did not allow copying";
    setTimeout(() => { this.chip.hidden = true; }, ok ? 1200 : 3000);
  }

  get menuVisible() { return !this.menu.hidden; }

  toggleMenu() {
    if (this.menu.hidden) opening("clip");
    this.menu.hidden = !this.menu.hidden;
    this.note.textContent = "";
    if (this.onMenu) this.onMenu(!this.menu.hidden);
    return !this.menu.hidden;
  }

  async sendClipboard(paste) {
    let s = null;
    try { if (navigator.clipboard && navigator.clipboard.readText) s = await navigator.clipboard.readText(); } catch (e) { s = null; }
    if (s === null) { this.askForText(paste); return; }
    this.deliver(s, paste);
  }

  deliver(s, paste) {
    if (!s) { this.note.textContent = "The phone's clipboard holds no text."; return; }
    if (!this.send({ t: "setclip", s })) { this.note.textContent = "Not connected to the computer."; return; }
    T.clipSent = s;
    this.note.textContent = paste ? "Sent; pasting…" : "Sent to the computer's clipboard.";
    if (paste) setTimeout(() => this.pressCtrlV(), PASTE_AFTER_MS);
  }

  askForText(paste) {
    const ta = el("textarea", { id: "clipText", placeholder: "Paste here" });
    const body = el("div", {}, el("p", { text: "This browser does not let the page read the clipboard. Paste the text here:" }), ta);
    this.cards.show("info", paste ? "Send and paste" : "Send clipboard", body, [
      { label: paste ? "Send and paste" : "Send", primary: true, id: "clipTextSend",
        act: () => { this.cards.hide(); this.deliver(ta.value, paste); } },
      { label: "Cancel", act: () => this.cards.hide() },
    ], "clipboard");
    ta.focus();
  }
}
