// Typing: the phone keyboard through a hidden text field, and a desktop
// browser's physical keys. Text goes out as text; named keys and shortcuts
// (a character with a modifier) go out as keys.

const NAMED = {
  Enter: "Enter", Backspace: "Backspace", Tab: "Tab", Escape: "Escape", Delete: "Delete",
  ArrowLeft: "Left", ArrowRight: "Right", ArrowUp: "Up", ArrowDown: "Down",
  Home: "Home", End: "End", PageUp: "PageUp", PageDown: "PageDown",
  F1: "F1", F2: "F2", F3: "F3", F4: "F4", F5: "F5", F6: "F6", F7: "F7", F8: "F8", F9: "F9", F10: "F10", F11: "F11", F12: "F12",
};
// Characters the host knows as key names (for shortcuts with modifiers).
const KEY_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789-=][';\\,./`";
// The field always holds this, so that Backspace on an empty-looking field still reports a deletion.
const SENTINEL = "  ";

export function keyName(ch) {
  if (ch === " ") return "Space";
  const c = ch.toLowerCase();
  return c.length === 1 && KEY_CHARS.includes(c) ? c : null;
}
function nativeMods(e) { return (e.shiftKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.altKey ? 4 : 0) | (e.metaKey ? 8 : 0); }

export class Keyboard {
  constructor(field, input, mods) {
    this.field = field;
    this.input = input; // sendInput and flush
    this.mods = mods;   // the key bar's modifiers: held, take()
    this.open = false;  // the phone keyboard is up
    this.composedAt = -1;
    // Set by the owner.
    this.onShown = null;
    this.onHidden = null;
  }

  sendKey(k, extra) {
    const m = this.mods.take() | (extra || 0);
    this.input.flush();
    this.input.sendInput({ t: "key", k, m });
  }

  sendText(s) {
    if (!s) return;
    this.input.flush();
    if (this.mods.held) {
      // With a modifier active, a typed character is a shortcut, not text.
      const chars = Array.from(s);
      if (chars.length === 1 && keyName(chars[0])) { this.sendKey(keyName(chars[0])); return; }
      this.mods.take();
    }
    this.input.sendInput({ t: "text", s });
  }

  // Opens or closes the phone keyboard.
  toggle() {
    const kb = this.field;
    if (this.open) { kb.blur(); return; }
    kb.style.pointerEvents = "auto";
    kb.focus({ preventScroll: true });
    kb.style.pointerEvents = "none";
  }

  resetField() {
    this.field.value = SENTINEL;
    this.field.setSelectionRange(SENTINEL.length, SENTINEL.length);
  }

  start() {
    const kb = this.field;
    document.addEventListener("keydown", (e) => this.keyDown(e));
    kb.addEventListener("beforeinput", (e) => this.beforeInput(e));
    kb.addEventListener("compositionend", (e) => {
      this.sendText(e.data || "");
      this.composedAt = e.timeStamp;
      setTimeout(() => this.resetField(), 0);
    });
    // Whatever reached the field anyway (browsers that ignore preventDefault on beforeinput) is sent and cleared.
    kb.addEventListener("input", (e) => {
      // Some browsers report the composed text once more after compositionend; it was already sent.
      if (e.isComposing || (e.inputType || "").includes("Composition") || e.timeStamp - this.composedAt < 50) return;
      const v = kb.value;
      if (v.startsWith(SENTINEL) && v.length > SENTINEL.length) this.sendText(v.slice(SENTINEL.length));
      else if (v.length < SENTINEL.length) this.sendKey("Backspace");
      this.resetField();
    });
    kb.addEventListener("focus", () => {
      this.open = true;
      document.body.classList.add("kbopen");
      this.resetField();
      if (this.onShown) this.onShown();
    });
    kb.addEventListener("blur", () => {
      this.open = false;
      document.body.classList.remove("kbopen");
      if (this.onHidden) this.onHidden();
    });
  }

  keyDown(e) {
    if (e.isComposing || e.keyCode === 229) return;
    if (e.target !== this.field && e.target.closest && e.target.closest("#notice, #banner")) return;
    const named = NAMED[e.key];
    const native = nativeMods(e);
    if (named) { e.preventDefault(); this.sendKey(named, native); return; }
    if (Array.from(e.key).length !== 1) return;
    // AltGr reports Ctrl+Alt on some systems; what it types is text.
    const nonShift = e.getModifierState && e.getModifierState("AltGraph") ? 0 : native & ~1;
    if (nonShift || this.mods.held) {
      const k = keyName(e.key);
      if (!k) return;
      e.preventDefault();
      this.sendKey(k, native);
      return;
    }
    // Typing on a desktop without the field focused: plain characters go straight out as text.
    if (document.activeElement !== this.field) { e.preventDefault(); this.sendText(e.key); }
  }

  beforeInput(e) {
    const ty = e.inputType;
    if (e.isComposing || ty.includes("Composition")) return; // sent whole at compositionend
    if (ty === "insertText" || ty === "insertReplacementText") {
      e.preventDefault();
      this.sendText(e.data ?? (e.dataTransfer ? e.dataTransfer.getData("text/plain") : ""));
    } else if (ty === "insertFromPaste" || ty === "insertFromDrop") {
      e.preventDefault();
      this.sendText(e.dataTransfer ? e.dataTransfer.getData("text/plain") : (e.data || ""));
    } else if (ty === "insertLineBreak" || ty === "insertParagraph") {
      e.preventDefault(); this.sendKey("Enter");
    } else if (ty === "deleteContentBackward" || ty === "deleteWordBackward") {
      e.preventDefault(); this.sendKey("Backspace");
    } else if (ty === "deleteContentForward") {
      e.preventDefault(); this.sendKey("Delete");
    }
  }
}
