// The internet link to the computer: a WebRTC peer connection negotiated
// through our rendezvous server (the page's own origin, "/ws"). It offers the
// shape of connection.js, so the session runs over it unchanged:
//   join the room (a hash of the connect key) → "joined" → the computer's
//   signed offer, checked before anything else → a signed answer → candidates
//   both ways → the computer's "ctl" channel opens: messages flow.
// The key stays in the page: only the room hash and codes made with the key
// go out. The attempt ends (onclose) when the channel closes, when the
// negotiation fails, when nothing opened in connectMs after joining, or
// when the computer has said nothing on "ctl" for 7 s (it sends "hb" every
// 2 s, so the path is dead). Video arrives in chunks on "video" and leaves
// here as whole packets, as the LAN socket's do; or, when the computer's offer
// has a video section, as a track the answer receives (see track.js).
import { T } from "./dom.js";
import { ClientJournal } from "./client-journal.js";
import { roomFor, macFor, macOK, offerText, answerText } from "./sigauth.js";
import { Reassembler } from "./reassembly.js";
import { ArrivalDelay } from "./arrival.js";
import { Liveness } from "./liveness.js";
import { routeKind } from "./route.js";

export const RELAY_TEXT = "A direct connection was not possible on this network (a relay server is required).";

const CONNECT_MS = 28000;     // a little longer than the computer's own 25 s, so its verdict comes first
const SIG_PING_MS = 20000;    // the server drops sockets that are silent for a minute
const RESEND_MS = 3000;       // journal events until acknowledged
const MAX_SIG_TEXT = 1 << 20; // a server message larger than this is not ours
const MAX_PENDING_ICE = 64;
const MAX_REMOTE_ICE = 256;
const RETRY_TEXT = JSON.stringify({ t: "retry" }); // the session's way to ask for a key frame now
const TRACK_TEXT = /"t":"(?:video|vcfg|fm)"/;      // the video track's messages

export function signalURL(location) {
  return (location.protocol === "https:" ? "wss:" : "ws:") + "//" + location.host + "/ws";
}

// The "joined" message's STUN list and, when the server runs a relay, its
// TURN servers with the short-lived credentials it made for this join.
// Whatever does not have the expected shape is left out.
export function iceServersOf(m) {
  const short = (v) => typeof v === "string" && v.length > 0 && v.length < 512;
  const servers = Array.isArray(m.ice) ? m.ice.filter(short).slice(0, 8).map((u) => ({ urls: u })) : [];
  const t = m.turn;
  if (t && typeof t === "object" && Array.isArray(t.urls) && short(t.username) && short(t.credential)) {
    const urls = t.urls.filter((u) => short(u) && /^turns?:/.test(u)).slice(0, 8);
    if (urls.length) servers.push({ urls, username: t.username, credential: t.credential });
  }
  return servers;
}

// A short, harmless description of an error for the journal (never a URL or the key).
const errName = (e) => (e && typeof e.name === "string" ? e.name : "error");

export class RtcConnection {
  constructor(url, key, { connectMs = CONNECT_MS, now = () => performance.now() } = {}) {
    this.url = url;
    this.key = key;
    this.connectMs = connectMs;
    this.now = now;
    this.journal = new ClientJournal();
    this.running = false;
    this.attempt = 0;
    this.ws = null;
    this.pc = null;
    this.ctl = null;
    this.live = false;       // the control channel is open
    this.sid = "";           // of the offer accepted in this join
    this.badOffers = 0;      // offers whose code did not check out, this join
    this.remoteSet = false;
    this.pendingIce = [];
    this.remoteIce = 0;
    this.connectTimer = 0;
    this.pingTimer = 0;
    this.resendTimer = 0;
    this.room = null;        // promise of the room id
    this.phase = "idle";     // idle, signal, nohost, negotiating, live
    this.liveness = new Liveness({ now });
    this.aliveTimer = 0;
    this.route = null;       // lan, internet, relay or unknown as the computer reported it; null before it did
    this.videoOffered = false; // the accepted offer has a video section: the answer receives a track
    this.freshVideo();
    // Counters for the browser tests; nothing secret.
    this.stats = T.rtc = { phase: "idle", joins: 0, cid: 0, sid: "", offers: 0, badOffers: 0, answers: 0,
      iceOut: 0, iceIn: 0, video: 0, videoBytes: 0, connSent: 0, acked: 0, pending: 0, ends: 0, lastEnd: "",
      route: null, videoOffered: false, frames: 0, keys: 0, incomplete: 0, gaps: 0, bad: 0, asks: 0, waited: 0 };
    // Set by the owner.
    this.onopen = null;
    this.onmessage = null;
    this.onclose = null;
    this.onphase = null;     // (phase) for the status shown while not connected
    this.onpaused = null;    // (text) the computer paused connections; it closes the session next
    this.onbadoffer = null;  // an offer failed its check
    this.onfailure = null;   // ("auth" | "relay") the attempt timed out, and why it probably did
    this.onsilent = null;    // the computer went quiet on a live session; the attempt ends next
    this.onroute = null;     // (kind) the computer reported the path
    this.onaudio = null;     // (ArrayBuffer) a sound packet from the "audio" channel
    this.onfile = null;      // (text) a side feature's reply on the "file" channel
    this.ontrack = null;     // (MediaStreamTrack) the computer's video track of this session
    this.onvideoopen = null; // (offered) the session is live; whether it can carry a track
    this.onvideomsg = null;  // (message) "video", "vcfg" or "fm"
    this.onvideogone = null; // the session's track went with its peer connection
  }

  // The session's own silence watchdog stands back: only text counts here.
  get watchesSilence() { return true; }

  get active() { return this.running; }
  get isOpen() { return this.live && this.ctl !== null && this.ctl.readyState === "open"; }

  open() {
    if (this.running) return true;
    if (!this.key) return false;
    let ws;
    try { ws = new WebSocket(this.url); } catch (e) { return false; }
    this.running = true;
    this.attempt++;
    this.note("attempt", { a: this.attempt });
    this.setPhase("signal");
    this.watch(ws);
    return true;
  }

  close() { this.end("closed"); }

  send(text) {
    if (!this.isOpen) return false;
    try { this.ctl.send(text); } catch (e) { return false; }
    return true;
  }

  // ---- the rendezvous server ----

  watch(ws) {
    this.ws = ws;
    if (!this.room) this.room = roomFor(this.key);
    ws.onopen = () => {
      if (this.ws !== ws) return;
      this.note("ws_open");
      this.join(ws);
      this.pingTimer = setInterval(() => this.sig({ t: "ping" }), SIG_PING_MS);
    };
    ws.onmessage = (ev) => { if (this.ws === ws && typeof ev.data === "string") this.onSignal(ev.data); };
    ws.onclose = (ev) => {
      if (this.ws !== ws) return;
      this.ws = null;
      clearInterval(this.pingTimer); this.pingTimer = 0;
      this.note("ws_closed", { code: ev.code });
      // A session that is already up does not need the server any more.
      if (!this.live) this.end("signal_lost");
    };
    ws.onerror = () => {};
  }

  async join(ws) {
    const rid = await this.room;
    if (this.ws === ws && !this.live) this.sig({ t: "join", rid });
  }

  sig(obj) {
    if (this.ws && this.ws.readyState === 1) this.ws.send(JSON.stringify(obj));
  }

  onSignal(text) {
    if (text.length > MAX_SIG_TEXT) return;
    let m;
    try { m = JSON.parse(text); } catch (e) { return; }
    if (!m || typeof m !== "object" || Array.isArray(m) || typeof m.t !== "string") return;
    switch (m.t) {
      case "joined": this.joined(m); break;
      case "nohost":
        this.note("nohost");
        if (!this.live) { this.dropPeer(); this.setPhase("nohost"); }
        break;
      // The computer (re)registered: ask again. A live session goes on over its own path.
      case "hostup":
        this.note("hostup");
        if (!this.live && this.ws) this.join(this.ws);
        break;
      case "hostgone":
        this.note("hostgone");
        if (!this.live) { this.dropPeer(); this.setPhase("nohost"); }
        break;
      case "sig":
        if (m.d && typeof m.d === "object" && !Array.isArray(m.d)) this.onPeerSig(m.d);
        break;
      case "reject":
        this.note("rejected", { reason: typeof m.reason === "string" ? m.reason.slice(0, 40) : "" });
        if (!this.live) this.end("rejected");
        break;
      case "error":
        this.note("server_error", { reason: typeof m.reason === "string" ? m.reason.slice(0, 40) : "" });
        break;
      default: break; // "pong" and anything new
    }
  }

  // ---- the peer connection ----

  joined(m) {
    if (this.live) return;
    this.dropPeer();
    const cid = Number.isSafeInteger(m.cid) ? m.cid : 0;
    const ice = iceServersOf(m);
    // The computer counts this session's journal numbers from 1.
    this.journal.renumber();
    this.note("joined", { cid, ice: ice.length });
    this.stats.joins++;
    this.stats.cid = cid;
    let pc;
    try {
      pc = new RTCPeerConnection({ iceServers: ice });
    } catch (e) {
      // A server URL this browser refuses: candidates of its own still work on many networks.
      this.note("ice_servers_refused", { error: errName(e) });
      try { pc = new RTCPeerConnection(); } catch (e2) { this.note("pc_failed", { error: errName(e2) }); this.end("pc_failed"); return; }
    }
    this.pc = pc;
    this.setPhase("negotiating");
    pc.onicecandidate = (e) => {
      if (this.pc !== pc) return;
      if (!e.candidate || !e.candidate.candidate) return;
      this.stats.iceOut++;
      this.sig({ t: "sig", d: { kind: "ice", cand: e.candidate.candidate, mid: e.candidate.sdpMid || "", idx: e.candidate.sdpMLineIndex ?? 0 } });
    };
    pc.oniceconnectionstatechange = () => {
      if (this.pc !== pc) return;
      this.note("ice", { state: pc.iceConnectionState });
      if (pc.iceConnectionState === "failed") this.end("ice_failed");
    };
    pc.onconnectionstatechange = () => {
      if (this.pc !== pc) return;
      this.note("pc", { state: pc.connectionState });
      if (pc.connectionState === "failed") this.end("pc_failed");
    };
    pc.onicegatheringstatechange = () => { if (this.pc === pc) this.note("gathering", { state: pc.iceGatheringState }); };
    pc.ondatachannel = (e) => this.channel(pc, e.channel);
    pc.ontrack = (e) => { if (this.pc === pc && e.track.kind === "video" && this.ontrack) this.ontrack(e.track); };
    this.connectTimer = setTimeout(() => this.timedOut(pc), this.connectMs);
  }

  // The peer connection of this join goes; the attempt (and the socket) stays.
  dropPeer() {
    clearTimeout(this.connectTimer); this.connectTimer = 0;
    const pc = this.pc;
    this.pc = null;
    this.ctl = null;
    if (pc && this.onvideogone) this.onvideogone();
    this.videoOffered = false;
    this.sid = "";
    this.stats.sid = "";
    this.badOffers = 0;
    this.remoteSet = false;
    this.pendingIce = [];
    this.remoteIce = 0;
    if (pc) { try { pc.close(); } catch (e) { /* already closed */ } }
  }

  timedOut(pc) {
    if (this.pc !== pc || this.live) return;
    const why = this.badOffers && !this.sid ? "auth" : "relay";
    this.note("timeout", { why });
    if (this.onfailure) this.onfailure(why);
    this.end("timeout");
  }

  onPeerSig(d) {
    if (!this.pc) return;
    if (d.kind === "offer") this.onOffer(this.pc, d);
    else if (d.kind === "ice") this.onRemoteIce(d);
  }

  async onOffer(pc, d) {
    const { sdp, sid, mac } = d;
    if (typeof sdp !== "string" || typeof sid !== "string" || typeof mac !== "string") { this.note("offer_malformed"); return; }
    // One offer per join; a copy of the one applied changes nothing.
    if (this.sid) return;
    this.stats.offers++;
    const ok = await macOK(this.key, offerText(sid, sdp), mac);
    if (this.pc !== pc || this.sid) return;
    if (!ok) {
      // Not from the computer that holds this key: no answer. A genuine offer may still follow.
      this.badOffers++;
      this.stats.badOffers++;
      this.note("offer_auth_failed");
      if (this.onbadoffer) this.onbadoffer();
      return;
    }
    this.sid = sid;
    this.stats.sid = sid;
    this.note("offer_ok");
    try {
      await pc.setRemoteDescription({ type: "offer", sdp });
      if (this.pc !== pc) return;
      this.remoteSet = true;
      this.videoOffered = this.receiveVideo(pc);
      for (const c of this.pendingIce.splice(0)) pc.addIceCandidate(c).catch((e) => this.note("ice_add_failed", { error: errName(e) }));
      await pc.setLocalDescription();
      if (this.pc !== pc) return;
      const answer = pc.localDescription.sdp;
      const code = await macFor(this.key, answerText(sid, answer));
      if (this.pc !== pc) return;
      this.sig({ t: "sig", d: { kind: "answer", sdp: answer, sid, mac: code } });
      this.stats.answers++;
      this.note("answer_sent");
    } catch (e) {
      if (this.pc !== pc) return;
      this.note("sdp_failed", { error: errName(e) });
      this.end("sdp_failed");
    }
  }

  // The computer only sends video: every video section of its offer is
  // answered receive-only. An offer without one leaves the answer without.
  receiveVideo(pc) {
    let any = false;
    for (const t of pc.getTransceivers()) {
      if (t.receiver.track.kind !== "video" || t.stopped) continue;
      try { t.direction = "recvonly"; any = true; } catch (e) { this.note("video_recv_failed", { error: errName(e) }); }
    }
    this.stats.videoOffered = any;
    return any;
  }

  onRemoteIce(d) {
    if (typeof d.cand !== "string" || !d.cand || d.cand.length > 2048) return;
    if (this.remoteIce >= MAX_REMOTE_ICE) return;
    this.remoteIce++;
    this.stats.iceIn++;
    const c = { candidate: d.cand, sdpMLineIndex: Number.isInteger(d.idx) && d.idx >= 0 && d.idx < 65536 ? d.idx : 0 };
    if (typeof d.mid === "string" && d.mid) c.sdpMid = d.mid;
    if (this.remoteSet) this.pc.addIceCandidate(c).catch((e) => this.note("ice_add_failed", { error: errName(e) }));
    else if (this.pendingIce.length < MAX_PENDING_ICE) this.pendingIce.push(c);
  }

  channel(pc, ch) {
    if (this.pc !== pc) { ch.close(); return; }
    ch.binaryType = "arraybuffer";
    const label = ch.label;
    if (label === "ctl" || label === "video") {
      ch.addEventListener("open", () => { if (this.pc === pc) this.note("dc", { label, state: "open" }); });
      ch.addEventListener("close", () => { if (this.pc === pc) this.note("dc", { label, state: "closed" }); });
    }
    if (label === "ctl") {
      this.ctl = ch;
      ch.addEventListener("open", () => this.ctlOpen(pc, ch));
      ch.onmessage = (e) => { if (this.ctl === ch) this.ctlMessage(e.data); };
      ch.addEventListener("close", () => { if (this.ctl === ch) this.end("channel_closed"); });
      if (ch.readyState === "open") { this.note("dc", { label, state: "open" }); this.ctlOpen(pc, ch); }
    } else if (label === "video") {
      ch.onmessage = (e) => { if (this.pc === pc) this.videoMessage(e.data); };
    } else if (label === "audio") {
      ch.onmessage = (e) => { if (this.pc === pc && this.onaudio && e.data instanceof ArrayBuffer) this.onaudio(e.data); };
    } else if (label === "file") {
      ch.onmessage = (e) => { if (this.pc === pc && typeof e.data === "string" && this.onfile) this.onfile(e.data); };
    }
  }

  ctlOpen(pc, ch) {
    if (this.pc !== pc || this.ctl !== ch || this.live) return;
    this.live = true;
    clearTimeout(this.connectTimer); this.connectTimer = 0;
    this.freshVideo();
    this.setRoute(null);
    this.liveness.start();
    clearInterval(this.aliveTimer);
    this.aliveTimer = setInterval(() => this.checkAlive(), 1000);
    this.setPhase("live");
    if (this.onvideoopen) this.onvideoopen(this.videoOffered);
    if (this.onopen) this.onopen();
    this.flushJournal();
  }

  // The transport's own messages are looked at here; every text also goes to
  // the session, which counts it as a sign of life.
  ctlMessage(data) {
    if (typeof data !== "string") return;
    this.liveness.heard();
    if (data.includes('"evack"') || data.includes('"paused"') || data.includes('"route"')) {
      let m = null;
      try { m = JSON.parse(data); } catch (e) { /* the session drops it too */ }
      if (m && m.t === "evack") {
        if (this.journal.ack(m.n)) this.stats.acked = m.n;
        this.stats.pending = this.journal.pending;
        if (this.journal.pending && !this.resendTimer) this.flushJournal();
      } else if (m && m.t === "paused") {
        this.note("paused");
        if (this.onpaused) this.onpaused(typeof m.msg === "string" ? m.msg : "");
      } else if (m && m.t === "route" && !Array.isArray(m)) {
        this.setRoute(routeKind(m));
        this.note("route", { route: this.route });
      }
    }
    if (this.onvideomsg && TRACK_TEXT.test(data)) {
      let m = null;
      try { m = JSON.parse(data); } catch (e) { /* not one */ }
      if (m && typeof m === "object" && !Array.isArray(m) && (m.t === "video" || m.t === "vcfg" || m.t === "fm")) {
        if (m.t === "video") this.note("video", { v: m.v === "track" ? "track" : "dc" });
        this.onvideomsg(m);
      }
    }
    if (this.onmessage) this.onmessage(data);
  }

  videoMessage(data) {
    if (!(data instanceof ArrayBuffer)) return;
    this.stats.video++;
    this.stats.videoBytes += data.byteLength;
    this.asm.push(data);
    const t = this.asm.total, s = this.stats;
    s.frames = t.frames; s.keys = t.keys; s.incomplete = t.incomplete; s.gaps = t.gaps; s.bad = t.bad; s.asks = t.asks; s.waited = t.waited;
  }

  // A session's video starts afresh: its first frame is a key frame, and
  // another path may have other delays.
  freshVideo() {
    const asm = this.asm = new Reassembler({ now: this.now });
    asm.onPacket = (p) => { if (this.asm === asm && this.onmessage) this.onmessage(p); };
    asm.onWantKey = () => { if (this.asm === asm) this.send(RETRY_TEXT); };
    this.delay = new ArrivalDelay();
    asm.onFrame = (f) => { if (this.asm === asm && !f.key) this.delay.add(f.capMs, f.at); };
    this.reportAt = this.now();
  }

  // The "rep" for the computer's rate control, once a second: "qd" (see
  // arrival.js) and what came in since the last one, for its journal.
  report() {
    const at = this.now();
    const c = this.asm.take();
    const secs = Math.max(0.001, (at - this.reportAt) / 1000);
    this.reportAt = at;
    return { t: "rep", qd: this.delay.take(at, this.asm.pendingCapMs()), kbps: Math.round(c.bytes * 8 / 1000 / secs),
      fps: Math.round(c.frames / secs), inc: c.incomplete, gap: c.gaps, miss: c.missed, bad: c.bad, wait: c.waited, ask: c.asks };
  }

  setRoute(kind) {
    this.route = kind;
    this.stats.route = kind;
    if (this.onroute) this.onroute(kind);
  }

  checkAlive() {
    if (!this.live || !this.liveness.dead) return;
    this.note("silent", { ms: Math.round(this.liveness.silentMs) });
    if (this.onsilent) this.onsilent();
    this.end("silent");
  }

  // ---- the page's journal ----

  note(ev, fields) {
    this.journal.add(ev, fields);
    this.stats.pending = this.journal.pending;
    // While live, new events go out soon; a resend already scheduled takes them along.
    if (this.live && !this.resendTimer) this.resendTimer = setTimeout(() => this.flushJournal(), 200);
  }

  flushJournal() {
    clearTimeout(this.resendTimer); this.resendTimer = 0;
    if (!this.isOpen) return;
    const msg = this.journal.message({ att: this.attempt, secure: !!window.isSecureContext, ua: navigator.userAgent.slice(0, 160) });
    if (!msg) return;
    if (!this.send(JSON.stringify(msg))) return;
    this.stats.connSent++;
    this.resendTimer = setTimeout(() => this.flushJournal(), RESEND_MS);
  }

  setPhase(p) {
    this.phase = p;
    this.stats.phase = p;
    if (this.onphase) this.onphase(p);
  }

  // The attempt is over; the session decides when the next one starts.
  end(reason) {
    if (!this.running) return;
    this.running = false;
    this.note("end", { reason });
    this.stats.ends++;
    this.stats.lastEnd = reason;
    this.live = false;
    this.liveness.stop();
    clearInterval(this.aliveTimer); this.aliveTimer = 0;
    clearTimeout(this.resendTimer); this.resendTimer = 0;
    clearInterval(this.pingTimer); this.pingTimer = 0;
    this.dropPeer();
    const ws = this.ws;
    this.ws = null;
    if (ws) { try { ws.close(); } catch (e) { /* closing already */ } }
    this.setPhase("idle");
    if (this.onclose) this.onclose();
  }
}
