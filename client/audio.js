// The speaker button: the computer's sound on this phone. Phones allow sound
// only from a tap, so the AudioContext is made (or resumed) inside the tap's
// handler. The computer sends raw 16-bit mono PCM at 24000 Hz: on the LAN as
// binary messages of kind 2, over the internet on the "audio" channel as kind
// 1; both become Float32 blocks for the player worklet.
import { T, setPressed } from "./dom.js";

const RATE = 24000;
const ICON_ON = '<path d="M4 10v4h4l5 4V6L8 10H4z"/><path d="M16.5 8.5a5 5 0 0 1 0 7M19 6a8.5 8.5 0 0 1 0 12"/>';
const ICON_OFF = '<path d="M4 10v4h4l5 4V6L8 10H4z"/><path d="M17 10l4 4M21 10l-4 4"/>';

export class SoundPlayer {
  constructor(button, label, icon) {
    this.button = button;
    this.label = label;
    this.icon = icon;
    this.on = false;
    this.ctx = null;
    this.node = null;
    this.ready = null;       // promise of the worklet once it loads
    this.send = null;        // (msg) set by the owner
    this.stats = T.audio = { on: false, ready: false, state: null, packets: 0, bufferedMs: 0, outputMs: 0, underruns: 0, dropped: 0, rate: 0, warn: null };
  }

  start() {
    this.button.addEventListener("click", () => this.toggle());
    this.render();
  }

  toggle() {
    this.on = !this.on;
    this.stats.on = this.on;
    setPressed(this.button.id, this.on);
    if (this.on) this.wake();
    else this.sleep();
    if (this.send) this.send({ t: "audio", on: this.on });
    this.render();
  }

  // Inside the tap: make or resume the context before anything awaits.
  wake() {
    if (!this.ctx) {
      const AC = window.AudioContext || window.webkitAudioContext;
      if (!AC) return;
      try { this.ctx = new AC({ sampleRate: RATE, latencyHint: "interactive" }); }
      catch (e) { this.ctx = new AC({ latencyHint: "interactive" }); }  // the worklet resamples
      this.stats.rate = this.ctx.sampleRate;
      this.ctx.onstatechange = () => { this.stats.state = this.ctx.state; };
      const token = new URLSearchParams(location.search).get("t");
      const url = new URL("audio-worklet.js" + (token ? "?t=" + encodeURIComponent(token) : ""), location.href);
      this.ready = this.ctx.audioWorklet.addModule(url.href).then(() => {
        this.node = new AudioWorkletNode(this.ctx, "tolvane-pcm", { outputChannelCount: [1], processorOptions: { inRate: RATE } });
        this.node.port.onmessage = (e) => this.report(e.data);
        this.node.connect(this.ctx.destination);
        this.stats.ready = true;
        if (window.__tolvaneTest?.audioAnalyser) this.hook();
      }).catch(() => { this.ready = null; });
    }
    this.ctx.resume().catch(() => {});
  }

  // Off: what is buffered is stale by the next "on"; the context sleeps once
  // the worklet has faded out, which saves the phone's battery.
  sleep() {
    if (!this.ctx) return;
    if (this.node) this.node.port.postMessage("flush");
    const ctx = this.ctx;
    setTimeout(() => { if (!this.on) ctx.suspend().catch(() => {}); }, 100);
  }

  // The link came back: the computer forgot what this page wanted.
  reopened() {
    if (this.on && this.send) this.send({ t: "audio", on: true });
  }

  // One binary message; `kind` is the first byte this link uses for sound.
  packet(buf, kind) {
    if (!this.on || !this.node || !(buf instanceof ArrayBuffer) || buf.byteLength < 3) return;
    const bytes = new Uint8Array(buf);
    if (bytes[0] !== kind) return;
    const n = (buf.byteLength - 1) >> 1;
    const view = new DataView(buf, 1, n * 2);
    const f = new Float32Array(n);
    for (let i = 0; i < n; i++) f[i] = view.getInt16(i * 2, true) / 32768;
    this.stats.packets++;
    this.node.port.postMessage(f, [f.buffer]);
  }

  warn(m) {
    this.stats.warn = m.msg || "";
    if (this.on) this.toggle();
  }

  report(d) {
    if (!d || typeof d !== "object") return;
    this.stats.bufferedMs = d.bufferedMs;
    this.stats.underruns = d.underruns;
    this.stats.dropped = d.dropped;
    const out = this.ctx ? (this.ctx.outputLatency || 0) + (this.ctx.baseLatency || 0) : 0;
    this.stats.outputMs = out * 1000;
    this.render();
  }

  // The delay the sound has on this phone: jitter buffer plus output.
  render() {
    if (this.icon) this.icon.innerHTML = this.on ? ICON_ON : ICON_OFF;
    if (!this.label) return;
    this.label.textContent = this.on && this.node ? Math.round(this.stats.bufferedMs + this.stats.outputMs) + " ms" : "Sound";
  }

  // Browser tests listen to what the worklet plays.
  hook() {
    const an = this.ctx.createAnalyser();
    an.fftSize = 4096;
    this.node.connect(an);
    const bins = new Float32Array(an.frequencyBinCount);
    const time = new Float32Array(an.fftSize);
    T.audioProbe = () => {
      an.getFloatFrequencyData(bins);
      an.getFloatTimeDomainData(time);
      let best = 0;
      for (let i = 1; i < bins.length; i++) if (bins[i] > bins[best]) best = i;
      let peak = 0;
      // The latest 20 ms or so: the level now, not over the whole window.
      for (let i = time.length - 512; i < time.length; i++) peak = Math.max(peak, Math.abs(time[i]));
      return { hz: (best * this.ctx.sampleRate) / an.fftSize, db: bins[best], peak };
    };
  }
}

