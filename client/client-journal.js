// The page's own record of its internet connection attempts, for the
// computer's connection journal: numbered events (joined, offer checked, ICE
// and channel states, errors) kept until the computer acknowledges them with
// "evack". The computer counts numbers per session, so every new session
// numbers what is still unacknowledged from 1 again; an event sent but not
// acknowledged before a session ended is sent again in the next one.

export const MAX_KEPT = 200;   // oldest events are forgotten beyond this
export const MAX_PER_MSG = 50; // events in one "conn" message

export class ClientJournal {
  constructor(now = () => performance.now()) {
    this.now = now;
    this.t0 = now();
    this.events = [];
    this.next = 1;
    this.dropped = 0;
  }

  // fields must not hold anything secret: the computer writes them to disk.
  add(ev, fields = {}) {
    const e = { ...fields, n: this.next++, ev, ms: Math.round(this.now() - this.t0) };
    this.events.push(e);
    if (this.events.length > MAX_KEPT) { this.events.shift(); this.dropped++; }
    return e;
  }

  // A new session with the computer: what is pending is numbered 1, 2, …
  renumber() {
    this.next = 1;
    for (const e of this.events) e.n = this.next++;
  }

  get pending() { return this.events.length; }

  // The "conn" message for what is pending, or null when nothing is.
  message(extra = {}) {
    if (!this.events.length) return null;
    const msg = { t: "conn", ...extra, events: this.events.slice(0, MAX_PER_MSG) };
    if (this.dropped) msg.dropped = this.dropped;
    return msg;
  }

  // The computer has everything up to n; a number that is not a count is ignored.
  ack(n) {
    if (!Number.isInteger(n) || n < 1) return false;
    const before = this.events.length;
    this.events = this.events.filter((e) => e.n > n);
    return this.events.length !== before;
  }
}
