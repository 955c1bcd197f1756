// Plays the computer's sound: mono Int16-turned-Float32 blocks posted by
// audio.js (buffers transferred, never copied). A jitter buffer aims at 60 ms
// of sound, drops the oldest beyond 200 ms so delay never builds up, and on
// running dry fades to silence, then waits for 60 ms before fading back in.
// Blocks come at inRate (24000 Hz); when the context runs at another rate the
// samples are resampled here by linear interpolation.
const TARGET_S = 0.060;
const MAX_S = 0.200;
const FADE_S = 0.004;

class PcmPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.inRate = (options.processorOptions && options.processorOptions.inRate) || 24000;
    this.step = this.inRate / sampleRate;  // input samples per output sample
    this.chunks = [];
    this.head = 0;                         // read position in chunks[0] (fractional when resampling)
    this.queued = 0;                       // input samples in chunks, the part of chunks[0] already played included
    this.playing = false;
    this.gain = 0;
    this.last = 0;
    this.underruns = 0;
    this.dropped = 0;
    this.blocks = 0;
    this.port.onmessage = (e) => this.push(e.data);
  }

  push(block) {
    if (block === "flush") { this.chunks = []; this.queued = 0; this.head = 0; return; }
    if (!(block instanceof Float32Array) || block.length === 0) return;
    this.chunks.push(block);
    this.queued += block.length;
    const max = MAX_S * this.inRate;
    while (this.available() > max && this.chunks.length > 1) {
      const old = this.chunks.shift();
      this.dropped += old.length - Math.floor(this.head);
      this.queued -= old.length;
      this.head = 0;
    }
  }

  available() { return this.queued - this.head; }

  // The next input sample, interpolated at the current fractional position.
  next() {
    const c = this.chunks[0];
    const i = Math.floor(this.head), f = this.head - i;
    const a = c[i];
    const b = i + 1 < c.length ? c[i + 1] : (this.chunks[1] ? this.chunks[1][0] : a);
    const v = a + (b - a) * f;
    this.head += this.step;
    while (this.chunks.length && this.head >= this.chunks[0].length) {
      this.head -= this.chunks[0].length;
      this.queued -= this.chunks[0].length;
      this.chunks.shift();
    }
    if (!this.chunks.length) { this.queued = 0; this.head = 0; }
    return v;
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    if (!out) return true;
    const fade = 1 / (FADE_S * sampleRate);
    if (!this.playing && this.available() >= TARGET_S * this.inRate) this.playing = true;
    for (let i = 0; i < out.length; i++) {
      if (this.playing && this.available() > 0) {
        this.last = this.next();
        this.gain = Math.min(1, this.gain + fade);
      } else {
        if (this.playing) { this.playing = false; this.underruns++; }
        this.gain = Math.max(0, this.gain - fade);  // fade the last sample out, no click
      }
      out[i] = this.last * this.gain;
    }
    for (let ch = 1; ch < outputs[0].length; ch++) outputs[0][ch].set(out);
    if (++this.blocks % 16 === 0) {
      this.port.postMessage({ bufferedMs: (this.available() / this.inRate) * 1000, underruns: this.underruns, dropped: this.dropped });
    }
    return true;
  }
}

registerProcessor("tolvane-pcm", PcmPlayer);
