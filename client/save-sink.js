// Where a download's bytes go while they arrive: a file in the browser's
// Origin Private File System where it can be written (the phone's memory
// holds nothing but the chunk in flight), else a list of parts that becomes
// a Blob. Either way the result is a File to offer the person.

const PREFIX = "tolvane-dl-";

function opfsUsable() {
  return !window.__tolvaneTest?.noOpfs && !!navigator.storage?.getDirectory
    && typeof FileSystemFileHandle !== "undefined" && "createWritable" in FileSystemFileHandle.prototype;
}

// Files of earlier visits are of no use any more; those of this visit may
// still back an offered link, so this runs once, before the first download.
let swept = null;
export function sweepOld() {
  if (!swept) {
    swept = (async () => {
      if (!opfsUsable()) return;
      const root = await navigator.storage.getDirectory();
      const names = [];
      for await (const name of root.keys()) if (name.startsWith(PREFIX)) names.push(name);
      for (const n of names) await root.removeEntry(n).catch(() => {});
    })().catch(() => {});
  }
  return swept;
}

class OpfsSink {
  static async open(id) {
    await sweepOld();
    const root = await navigator.storage.getDirectory();
    const name = PREFIX + id;
    const handle = await root.getFileHandle(name, { create: true });
    const writable = await handle.createWritable();
    return new OpfsSink(root, name, handle, writable);
  }
  constructor(root, name, handle, writable) {
    this.kind = "opfs";
    this.root = root; this.name = name; this.handle = handle; this.writable = writable;
  }
  write(bytes) { return this.writable.write(bytes); }
  async finish(type) {
    await this.writable.close();
    const f = await this.handle.getFile();
    return f.slice(0, f.size, type);
  }
  async discard() {
    try { await this.writable.abort(); } catch (e) { /* closed already */ }
    await this.root.removeEntry(this.name).catch(() => {});
  }
}

class BlobSink {
  constructor() { this.kind = "blob"; this.parts = []; }
  write(bytes) { this.parts.push(bytes); }
  finish(type) { const b = new Blob(this.parts, { type }); this.parts = []; return b; }
  discard() { this.parts = []; }
}

export async function openSink(id) {
  if (opfsUsable()) {
    try { return await OpfsSink.open(id); } catch (e) { /* private mode, quota: fall back */ }
  }
  return new BlobSink();
}
