// The choice between the two deliveries of the internet link's picture, in
// the measurements overlay: packets on the data channel (the default) or the
// WebRTC video track. Shown only when the computer offered a track.
import { addStyle } from "./sheet.js";

const TEXT = { dc: "Data channel", track: "Video track" };

addStyle("track-control", `
#videoMode { display: flex; align-items: center; gap: 8px; margin-top: 6px; pointer-events: auto; }
#videoMode[hidden] { display: none; }
#videoMode button {
  min-height: 30px; padding: 0 10px; border-radius: 8px; border: 1px solid var(--line);
  background: rgba(255,255,255,.1); font: inherit; cursor: pointer; touch-action: manipulation;
}
#videoMode button[aria-busy="true"] { opacity: .6; }
`);

export class TrackControl {
  constructor(overlay, track) {
    this.track = track;
    this.row = document.createElement("div");
    this.row.id = "videoMode";
    this.row.hidden = true;
    this.button = document.createElement("button");
    this.button.id = "bVideoMode";
    this.button.type = "button";
    this.row.append("video", this.button);
    overlay.addControl(this.row);
    this.button.addEventListener("click", () => this.track.request(this.target()));
    track.onChange = () => this.render();
    this.render();
  }

  // What a press asks for: the other delivery than the one in use (or asked for).
  target() { return (this.track.asked || this.track.use) === "track" ? "dc" : "track"; }

  render() {
    const t = this.track;
    this.row.hidden = !t.offered;
    const showing = t.asked || t.use;
    this.button.textContent = TEXT[showing] + (t.asked ? " …" : "");
    this.button.setAttribute("aria-busy", t.asked ? "true" : "false");
    this.button.title = "Switch to " + TEXT[this.target()].toLowerCase();
  }
}
