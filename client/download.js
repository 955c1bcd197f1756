// One file fetched from the computer: "fget", then "fdat" chunks in order
// (index, count, name, size and base64 bytes), written as they come. Chunks
// that do not fit what came before (out of order, another count or size,
// bad base64, more bytes than announced) end the download as damaged: the
// computer is asked to stop and nothing is offered.
import { fromBase64 } from "./b64.js";
import { openSink } from "./save-sink.js";

export const FETCH_ERRORS = {
  read: "The computer could not read this file.",
  big: "This file is larger than 1 GB, too big to fetch.",
};
const DAMAGED = "The file arrived damaged, so it was not saved.";

export class Download {
  constructor(id, path, send) {
    this.id = id;
    this.path = path;
    this.send = send;               // (message object) -> false when not sent
    this.kind = "down";
    this.name = path.split("/").pop() || "file";
    this.state = "active";          // active, done, failed, cancelled
    this.error = "";
    this.size = 0;
    this.n = 0;
    this.next = 0;                  // index of the chunk expected next
    this.got = 0;                   // bytes received
    this.file = null;               // the finished Blob
    this.sinkReady = openSink(id);  // chunks queue behind the sink and each other
    this.chain = this.sinkReady;
    this.onChange = null;           // progress or an end
    this.onSaved = null;            // (blob, name) once the file is complete
  }

  get progress() { return this.size ? this.got / this.size : this.state === "done" ? 1 : 0; }

  start() {
    if (!this.send({ t: "fget", path: this.path, id: this.id })) this.fail("Not connected to the computer.");
  }

  chunk(m) {
    if (this.state !== "active") return;
    if (typeof m.err === "string") { this.fail(FETCH_ERRORS[m.err] || "The computer could not send this file."); return; }
    const first = this.next === 0;
    const { i, n, size } = m;
    const bytes = fromBase64(m.d);
    const shapeOK = Number.isSafeInteger(n) && n >= 1 && Number.isSafeInteger(size) && size >= 0
      && i === this.next && (first || (n === this.n && size === this.size));
    if (!shapeOK || !bytes || this.got + bytes.length > size) { this.damaged(); return; }
    if (first) {
      this.n = n;
      this.size = size;
      if (typeof m.name === "string" && m.name) this.name = m.name;
    }
    this.next++;
    this.got += bytes.length;
    this.chain = this.chain.then(async (sink) => { await sink.write(bytes); return sink; });
    if (this.next === this.n) {
      if (this.got !== this.size) { this.damaged(); return; }
      this.complete();
    } else this.changed();
  }

  async complete() {
    try {
      const sink = await this.chain;
      this.file = await sink.finish("application/octet-stream");
    } catch (e) {
      this.fail("The file could not be stored on this phone.");
      return;
    }
    if (this.state !== "active") return;
    this.state = "done";
    this.changed();
    if (this.onSaved) this.onSaved(this.file, this.name);
  }

  damaged() {
    this.send({ t: "fcancel", id: this.id });
    this.fail(DAMAGED);
  }

  cancel() {
    if (this.state !== "active") return;
    this.send({ t: "fcancel", id: this.id });
    this.end("cancelled", "");
  }

  fail(text) { if (this.state === "active") this.end("failed", text); }

  end(state, text) {
    this.state = state;
    this.error = text;
    this.sinkReady.then((sink) => this.chain.catch(() => {}).then(() => sink.discard())).catch(() => {});
    this.changed();
  }

  changed() { if (this.onChange) this.onChange(this); }
}
