// The session with the host over any connection object (see connection.js):
// control messages in both directions, pings, the periodic stats report, the
// silence watchdog and the reconnection schedule. Binary messages are video
// packets and go to onPacket untouched.
import { T } from "./dom.js";

export class Session {
  constructor(conn, { reportMs = 250 } = {}) {
    this.conn = conn;
    this.reportMs = reportMs;
    this.attempts = 0;
    this.everOpened = false;
    this.held = false;        // no new attempt until the person asks (retryNow)
    this.retryTimer = 0;
    this.retryAt = 0;
    this.countdownTimer = 0;
    this.lastMsgAt = 0;
    this.timers = [];
    // Set by the owner.
    this.onState = null;      // (state) connecting, open, live (set by the owner), reconnecting, held
    this.onOpen = null;       // messages can be sent
    this.onClose = null;      // the link went away; a new attempt is scheduled
    this.onCountdown = null;  // twice a second while waiting to reconnect
    this.onOffline = null;    // several attempts in a row failed
    this.onHello = null;
    this.onApp = null;
    this.onConfig = null;
    this.onError = null;
    this.onWarn = null;
    this.onView = null;
    this.onPong = null;
    this.onPacket = null;     // (ArrayBuffer)
    this.onSide = null;       // side features' messages: clip, lsr, fdat, fack, fdone, appl
    this.makeStats = null;    // () => the "stats" message, every 5 s while open
    this.makeReport = null;   // () => the "rep" message, every reportMs while open
    conn.onopen = () => this.opened();
    conn.onmessage = (data) => this.received(data);
    conn.onclose = () => this.closed();
  }

  start() {
    document.addEventListener("visibilitychange", () => { if (!document.hidden) this.reconnectNow(); });
    window.addEventListener("online", () => this.reconnectNow());
    // A dead path (phone changed networks, host froze) never reports a close; the 2 s pings make silence visible.
    // A link that watches for silence itself knows better which messages count.
    setInterval(() => {
      if (this.conn.isOpen && !this.conn.watchesSilence && performance.now() - this.lastMsgAt > 7000) this.conn.close();
    }, 1000);
    this.connect();
  }

  get active() { return this.conn.active; }
  // Seconds until the next attempt, or null when none is scheduled.
  get retryIn() {
    return this.retryTimer ? Math.max(0, Math.ceil((this.retryAt - performance.now()) / 1000)) : null;
  }

  setState(s) {
    T.state = s;
    if (this.onState) this.onState(s);
  }

  connect() {
    clearTimeout(this.retryTimer); this.retryTimer = 0;
    clearInterval(this.countdownTimer); this.countdownTimer = 0;
    if (this.conn.active) return;
    this.setState(this.attempts ? "reconnecting" : "connecting");
    if (!this.conn.open()) this.scheduleReconnect();
  }

  // The person asked for it: start over with short waits.
  retryNow() { this.held = false; this.attempts = 0; this.connect(); }

  reconnectNow() {
    if (!this.conn.active && !this.held) { this.attempts = Math.min(this.attempts, 1); this.connect(); }
  }

  // Trying again by itself would not help (the computer paused connections,
  // or the link does not fit it): the current link may finish, then nothing
  // starts until retryNow.
  hold() {
    this.held = true;
    clearTimeout(this.retryTimer); this.retryTimer = 0;
    clearInterval(this.countdownTimer); this.countdownTimer = 0;
    if (!this.conn.active) this.setState("held");
  }

  scheduleReconnect() {
    this.attempts++;
    // 0.5 s, 1 s, 2 s, 4 s, then every 8 s, with jitter so several phones do not line up.
    const base = Math.min(500 * 2 ** (this.attempts - 1), 8000);
    const wait = Math.round(base * (0.8 + Math.random() * 0.4));
    this.retryAt = performance.now() + wait;
    this.setState("reconnecting");
    this.retryTimer = setTimeout(() => this.connect(), wait);
    this.countdownTimer = setInterval(() => { if (this.onCountdown) this.onCountdown(); }, 500);
    if (this.attempts >= 6 && this.onOffline) this.onOffline();
  }

  send(obj) { return this.conn.send(JSON.stringify(obj)); }

  opened() {
    this.attempts = 0;
    this.everOpened = true;
    this.lastMsgAt = performance.now();
    T.opens++;
    this.setState("open");
    if (this.onOpen) this.onOpen();
    this.ping();
    this.timers = [setInterval(() => this.ping(), 2000), setInterval(() => this.stats(), 5000),
      setInterval(() => this.report(), this.reportMs)];
  }

  closed() {
    for (const t of this.timers) clearInterval(t);
    this.timers = [];
    if (this.onClose) this.onClose();
    if (this.held) this.setState("held");
    else this.scheduleReconnect();
  }

  received(data) {
    this.lastMsgAt = performance.now();
    if (typeof data === "string") this.control(data);
    else if (this.onPacket) this.onPacket(data);
  }

  control(text) {
    let m;
    try { m = JSON.parse(text); } catch (e) { return; }
    if (!m || typeof m !== "object" || typeof m.t !== "string") return;
    const call = (fn) => { if (fn) fn(m); };
    switch (m.t) {
      case "hello": T.hello = m; call(this.onHello); break;
      case "app": T.app = typeof m.name === "string" ? m.name : ""; call(this.onApp); break;
      case "pong": call(this.onPong); break;
      case "config": call(this.onConfig); break;
      case "error": call(this.onError); break;
      case "warn": call(this.onWarn); break;
      case "clip": case "lsr": case "fdat": case "fack": case "fdone": case "appl": call(this.onSide); break;
      case "view": call(this.onView); break;
      default: break;
    }
  }

  ping() { this.send({ t: "ping", c: performance.now() }); }

  // How late the picture is, so the host can slow down for this page. A
  // hidden page draws nothing and says nothing; the host forgets it soon.
  report() {
    if (document.hidden || !this.makeReport) return;
    const msg = this.makeReport();
    if (msg) this.send(msg);
  }

  stats() {
    const msg = this.makeStats ? this.makeStats() : null;
    if (msg) this.send(msg);
  }
}
