// One file sent to the computer: "fput" chunks of base64 with a random id,
// at most WINDOW of them unacknowledged (the computer acknowledges every
// eighth with "fack"), then its "fdone" tells whether and under which name
// it was saved. Each message stays within the link's largest message.
import { toBase64, base64Length } from "./b64.js";

export const WINDOW = 16;
const NAME_MAX = 200; // the computer keeps no more of a name
const enc = new TextEncoder();

// Raw bytes per chunk such that the whole message of any chunk of this file
// fits in `limit` bytes (indices are given the most digits they could have).
export function chunkSize(id, name, limit) {
  const envelope = enc.encode(JSON.stringify({ t: "fput", id, i: 1e15, n: 1e15, name, last: false, d: "" })).length;
  // A link announcing less than this would be no link for files at all.
  return Math.max(3072, Math.floor((limit - envelope) / 4) * 3);
}

export function uploadName(name) {
  const chars = Array.from(typeof name === "string" && name ? name : "iPhone");
  return chars.slice(0, NAME_MAX).join("");
}

export class Upload {
  // last: this is the final file of what the person picked (the computer
  // hands only that one to its clipboard).
  constructor(id, file, send, { limit = 65536, last = true } = {}) {
    this.id = id;
    this.file = file;
    this.send = send;
    this.kind = "up";
    this.name = uploadName(file.name);
    this.last = last;
    this.size = file.size;
    this.raw = chunkSize(id, this.name, limit);
    this.n = Math.max(1, Math.ceil(this.size / this.raw));
    this.next = 0;         // next chunk to send
    this.acked = -1;       // highest chunk the computer acknowledged
    this.sent = 0;         // bytes sent
    this.state = "active"; // active, done, failed, cancelled
    this.error = "";
    this.savedAs = "";
    this.pumping = false;
    this.onChange = null;
  }

  get progress() { return this.state === "done" ? 1 : this.size ? this.sent / this.size : this.next ? 1 : 0; }

  start() { this.pump(); }

  async pump() {
    if (this.pumping) return;
    this.pumping = true;
    try {
      while (this.state === "active" && this.next < this.n && this.next <= this.acked + WINDOW) {
        const i = this.next, from = i * this.raw;
        let bytes;
        try { bytes = new Uint8Array(await this.file.slice(from, Math.min(this.size, from + this.raw)).arrayBuffer()); }
        catch (e) { this.abandon("This file could not be read on the phone."); break; }
        if (this.state !== "active") break;
        const m = { t: "fput", id: this.id, i, n: this.n };
        if (i === 0) m.name = this.name;
        if (i === this.n - 1) m.last = this.last;
        m.d = toBase64(bytes);
        if (!this.send(m)) { this.fail("Not connected to the computer."); break; }
        this.next++;
        this.sent += bytes.length;
        this.changed();
      }
    } finally { this.pumping = false; }
  }

  ack(m) {
    if (this.state !== "active" || !Number.isSafeInteger(m.i) || m.i < 0 || m.i >= this.next) return;
    if (m.i > this.acked) { this.acked = m.i; this.pump(); }
  }

  done(m) {
    if (this.state !== "active") return;
    if (m.ok === true && this.next === this.n) {
      this.state = "done";
      this.savedAs = typeof m.name === "string" && m.name ? m.name : this.name;
      this.changed();
    } else if (m.ok === true) this.abandon("The computer ended this upload early.");
    else this.fail("The computer could not save this file.");
  }

  // The person stops it: the computer drops what it has.
  cancel() {
    if (this.state !== "active") return;
    this.send({ t: "fcancel", id: this.id });
    this.end("cancelled", "");
  }

  abandon(text) {
    if (this.state !== "active") return;
    this.send({ t: "fcancel", id: this.id });
    this.fail(text);
  }

  fail(text) { if (this.state === "active") this.end("failed", text); }

  end(state, text) { this.state = state; this.error = text; this.changed(); }

  changed() { if (this.onChange) this.onChange(this); }
}
