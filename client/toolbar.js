// The toolbar: keyboard, touch/trackpad mode, key bar, files, clipboard, measurements, full screen.
import { $, T, setPressed } from "./dom.js";

const MODE_ICONS = {
  touch: '<path d="M9 11V5.5a1.5 1.5 0 0 1 3 0V11m0-1.5a1.5 1.5 0 0 1 3 0V11m0-.5a1.5 1.5 0 0 1 3 0V15a6 6 0 0 1-6 6h-.7a5 5 0 0 1-4.1-2.2L4.6 15a1.5 1.5 0 0 1 2.3-1.9L9 15"/>',
  trackpad: '<rect x="3" y="4" width="18" height="16" rx="2.5"/><path d="M3 15h18M12 15v5"/>',
};

export class Toolbar {
  constructor({ keyboard, keybar, input, overlay, files, clipboard }) {
    this.files = files;
    this.clipboard = clipboard;
    this.keyboard = keyboard;
    this.keybar = keybar;
    this.input = input;
    this.overlay = overlay;
  }

  start() {
    // Buttons around the keyboard must not take the focus away from the field, or the phone keyboard closes.
    for (const el of document.querySelectorAll("#bar button, #keys button")) {
      el.addEventListener("mousedown", (e) => e.preventDefault());
    }
    $("bKbd").addEventListener("click", () => this.keyboard.toggle());
    $("bKeys").addEventListener("click", () => {
      this.keybar.pinned = !this.keybar.visible;
      this.keybar.setVisible(this.keybar.pinned);
    });
    $("bMode").addEventListener("click", () => {
      this.input.setMode(this.input.mode === "touch" ? "trackpad" : "touch");
      this.renderMode();
    });
    // Opening one side panel closes the others (sheet.js).
    $("bFiles").addEventListener("click", () => this.files.toggle());
    $("bClip").addEventListener("click", () => this.clipboard.toggleMenu());
    this.files.onShown = (v) => setPressed("bFiles", v);
    this.clipboard.onMenu = (v) => setPressed("bClip", v);
    $("bStats").addEventListener("click", () => setPressed("bStats", this.overlay.toggle()));
    $("bFull").addEventListener("click", () => {
      const d = document, el = d.documentElement;
      if (d.fullscreenElement || d.webkitFullscreenElement) (d.exitFullscreen || d.webkitExitFullscreen).call(d);
      else if (el.requestFullscreen) el.requestFullscreen({ navigationUI: "hide" }).catch(() => {});
      else if (el.webkitRequestFullscreen) el.webkitRequestFullscreen();
    });
    if (!(document.documentElement.requestFullscreen || document.documentElement.webkitRequestFullscreen)) $("bFull").hidden = true;
    this.renderMode();
  }

  renderMode() {
    const mode = this.input.mode;
    T.mode = mode;
    $("modeLabel").textContent = mode === "touch" ? "Touch" : "Trackpad";
    $("modeIcon").innerHTML = MODE_ICONS[mode];
  }
}
