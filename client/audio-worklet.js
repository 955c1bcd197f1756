// Plays the computer's sound: mono Int16-turned-Float32 blocks posted by
// audio.js (buffers transferred, never copied). A jitter buffer aims at 60 ms
// of sound, drops the oldest beyond 200 ms so delay never builds up, and on
// running dry fades to silence, then waits for 60 ms before fading back in.
// Late packets arrive in bunches: what a bunch brings beyond the target would
// otherwise stay as delay for good, so playing starts at the target and a
// level that stays above it for a whole second is cut back to it.
// Blocks come at inRate (24000 Hz); when the context runs at another rate the
// samples are resampled here by linear interpolation.
const TARGET_S = 0.060;
const MAX_S = 0.200;
const FADE_S = 0.004;
const SLACK_S = 0.020;   // above the target by more than this for WINDOW_S: trim
const WINDOW_S = 1.0;

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
    this.low = Infinity;                   // lowest level in this window, input samples
    this.windowLeft = WINDOW_S * sampleRate;
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

  // Drops the oldest input so that `keep` samples remain.
  trimTo(keep) {
    let excess = Math.floor(this.available() - keep);
    while (excess > 0 && this.chunks.length) {
      const rest = this.chunks[0].length - this.head;
      if (excess < rest) { this.head += excess; this.dropped += excess; break; }
      this.dropped += Math.floor(rest);
      excess -= rest;
      this.queued -= this.chunks[0].length;
      this.chunks.shift();
      this.head = 0;
    }
  }

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
    const target = TARGET_S * this.inRate;
    if (!this.playing && this.available() >= target) {
      this.trimTo(target);  // faded out here, so the cut is not heard
      this.playing = true;
      this.low = Infinity;
      this.windowLeft = WINDOW_S * sampleRate;
    }
    if (this.playing) {
      this.low = Math.min(this.low, this.available());
      this.windowLeft -= out.length;
      if (this.windowLeft <= 0) {
        if (this.low > target + SLACK_S * this.inRate) {
          this.trimTo(this.available() - (this.low - target));
          this.gain = 0;  // a short fade in over the cut instead of a click
        }
        this.low = Infinity;
        this.windowLeft = WINDOW_S * sampleRate;
      }
    }
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
