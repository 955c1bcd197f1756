// A session whose path died says nothing: no close, no error. The computer
// sends text on the control channel at least every 2 s ("hb"), so silence
// there for longer than SILENT_MS means the session is gone, even while
// video chunks still trickle in. Silence counts from the channel's opening,
// never from before, however long the connection took to come up.

export const SILENT_MS = 7000;

export class Liveness {
  constructor({ limitMs = SILENT_MS, now = () => performance.now() } = {}) {
    this.limitMs = limitMs;
    this.now = now;
    this.lastAt = 0;
    this.watching = false;
  }

  start() { this.watching = true; this.lastAt = this.now(); }
  stop() { this.watching = false; }
  heard() { this.lastAt = this.now(); }

  // How long it has been quiet, 0 when not watching.
  get silentMs() { return this.watching ? Math.max(0, this.now() - this.lastAt) : 0; }
  get dead() { return this.silentMs > this.limitMs; }
}
