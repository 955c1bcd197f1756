// The LAN link to the host: one WebSocket at a time. Any other link (the
// internet one) offers the same shape, so the session does not care which
// it talks through:
//   open()   starts an attempt unless one is open or under way; false when it
//            could not even start (onclose is not called then)
//   close()  ends the current attempt; onclose follows
//   send(text) -> false when not open
//   active   an attempt is open or under way;  isOpen  messages can flow
//   onopen(), onmessage(data) with a string (control message) or an
//   ArrayBuffer (one whole video packet), onclose()

export function lanURL(location, token) {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  return scheme + "//" + location.host + "/ws?t=" + encodeURIComponent(token);
}

export class LanConnection {
  constructor(url) {
    this.url = url;
    this.ws = null;
    this.onopen = null;
    this.onmessage = null;
    this.onclose = null;
  }

  get active() { return this.ws !== null; }
  get isOpen() { return this.ws !== null && this.ws.readyState === 1; }

  open() {
    if (this.ws) return true;
    let sock;
    try { sock = new WebSocket(this.url); } catch (e) { return false; }
    sock.binaryType = "arraybuffer";
    this.ws = sock;
    // Events of a socket that was replaced meanwhile are stale.
    sock.onopen = () => { if (this.ws === sock && this.onopen) this.onopen(); };
    sock.onmessage = (ev) => { if (this.ws === sock && this.onmessage) this.onmessage(ev.data); };
    sock.onclose = () => {
      if (this.ws !== sock) return;
      this.ws = null;
      if (this.onclose) this.onclose();
    };
    sock.onerror = () => {};
    return true;
  }

  close() { if (this.ws) this.ws.close(); }

  send(text) {
    if (!this.isOpen) return false;
    this.ws.send(text);
    return true;
  }
}
