// The key bar: modifiers and the keys phone keyboards lack. A modifier tapped
// once holds for the next key; tapped again it stays on until tapped once more.

export class KeyBar {
  constructor(el) {
    this.el = el;
    this.sticky = 0; // modifier bits for the next key only
    this.locked = 0; // modifier bits held until released
    this.pinned = false; // opened by its own button, so it stays when the keyboard closes
    // Set by the owner.
    this.onKey = null;     // (key name) a key button was tapped
    this.onVisible = null; // (shown) after it appeared or went away
  }

  start() {
    this.el.addEventListener("click", (e) => {
      const b = e.target.closest("button");
      if (!b) return;
      if (b.dataset.mod) {
        const bit = +b.dataset.mod;
        if (this.locked & bit) this.locked &= ~bit;
        else if (this.sticky & bit) { this.sticky &= ~bit; this.locked |= bit; }
        else this.sticky |= bit;
        this.render();
      } else if (b.dataset.key && this.onKey) {
        this.onKey(b.dataset.key);
      }
    });
    this.render();
  }

  get visible() { return !this.el.hidden; }
  setVisible(v) {
    this.el.hidden = !v;
    if (this.onVisible) this.onVisible(v);
  }

  // Modifiers that apply to a key now.
  get held() { return this.sticky | this.locked; }
  // The same, used up: one-shot modifiers are released.
  take() {
    const m = this.sticky | this.locked;
    if (this.sticky) { this.sticky = 0; this.render(); }
    return m;
  }

  render() {
    for (const b of this.el.querySelectorAll(".mod")) {
      const bit = +b.dataset.mod;
      b.dataset.on = this.locked & bit ? "2" : this.sticky & bit ? "1" : "0";
    }
  }
}
