// Video-track mode of the internet link. The computer may send the picture as
// a WebRTC video track instead of packets on the "video" channel; it says
// which one it uses ({"t":"video","v":"track"|"dc"}), the track picture's size
// ("vcfg") and, for frames that show inputs, their numbers ("fm"). Here the
// track's frames become the same "drawn" events as the canvas's, so
// input-to-picture figures and "stats" do not care which delivery is in use.
// Back on the data channel the track's last picture stays up until the canvas
// has drawn the key frame the computer sends.
import { T } from "./dom.js";
import { FrameMarks } from "./frame-marks.js";
import { TrackView } from "./track-view.js";

const PREF_KEY = "tolvane.video";
const MAX_SIDE = 16384;
const LOG = 300; // numbers and marks kept for the browser tests

const keepLast = (list, v) => { list.push(v); if (list.length > LOG) list.splice(0, list.length - LOG); };

export class Track {
  constructor(conn, video, canvas) {
    this.video = video;
    this.view = new TrackView(canvas);
    this.marks = new FrameMarks();
    this.use = "dc";
    this.offered = false;  // this session's offer has a video section
    this.asked = null;     // the delivery last asked for, until the computer answers
    this.handover = false; // back on the data channel, the canvas has not drawn yet
    // Counters for the browser tests; nothing secret.
    this.stats = T.track = { offered: false, use: "dc", asked: null, frames: 0, read: 0, unread: 0, n: -1,
      vcfg: null, switches: 0, told: 0, reads: [], fm: [] };
    // Set by the owner.
    this.send = () => false;  // (message)
    this.onDrawn = null;      // (info, now) a track picture was presented, as the canvas's
    this.onDecodeTime = null; // (ms)
    this.onChange = null;     // offered, use or asked changed
    conn.ontrack = (track) => this.view.attach(track);
    conn.onvideoopen = (offered) => this.opened(offered);
    conn.onvideomsg = (m) => this.message(m);
    conn.onvideogone = () => this.gone();
    this.view.onFrame = (n, now, meta) => this.frame(n, now, meta);
  }

  get preferred() {
    try { return localStorage.getItem(PREF_KEY) === "track" ? "track" : "dc"; } catch (e) { return "dc"; }
  }

  // The person's choice; remembered for the next sessions on this page's origin.
  request(v) {
    v = v === "track" ? "track" : "dc";
    try { localStorage.setItem(PREF_KEY, v); } catch (e) { /* private mode: this session only */ }
    if (this.send({ t: "mode", v })) this.setAsked(v);
  }

  opened(offered) {
    this.offered = this.stats.offered = offered;
    this.setUse("dc");
    this.setAsked(null);
    if (offered && this.preferred === "track") this.request("track");
    this.changed();
  }

  gone() {
    this.view.detach();
    this.marks.clear();
    this.handover = false;
    this.offered = this.stats.offered = false;
    this.setAsked(null);
    this.setUse("dc");
  }

  message(m) {
    if (m.t === "video") { this.stats.told++; this.switched(m.v === "track" ? "track" : "dc"); }
    else if (m.t === "vcfg") this.configure(m);
    else if (m.t === "fm" && this.marks.add(m)) keepLast(this.stats.fm, { n: m.n, ids: Array.isArray(m.ids) ? m.ids.slice(0, 64) : [] });
  }

  switched(use) {
    const was = this.use;
    this.setAsked(null);
    this.setUse(use);
    if (use === "track") {
      this.handover = false;
      if (this.view.w) this.video.setSize(this.view.w, this.view.h);
      this.view.show();
    } else if (was === "track") {
      // The canvas's decoder takes nothing before the key frame the computer sends now.
      this.video.reset();
      this.handover = true;
    }
    if (use !== was) this.stats.switches++;
  }

  configure(m) {
    const ok = (v) => Number.isInteger(v) && v > 0 && v <= MAX_SIDE;
    if (!ok(m.w) || !ok(m.h)) return;
    this.view.configure(m.w, m.h);
    this.stats.vcfg = { w: m.w, h: m.h };
    if (this.use === "track") this.video.setSize(m.w, m.h);
  }

  frame(n, now, meta) {
    if (!this.view.shown) return;
    const s = this.stats;
    s.frames++;
    if (typeof meta.processingDuration === "number" && this.onDecodeTime) this.onDecodeTime(meta.processingDuration * 1000);
    // A frame without a readable number keeps its inputs for the next one.
    if (n < 0) { s.unread++; return; }
    s.read++;
    s.n = n;
    keepLast(s.reads, n);
    const { ids, capMs } = this.marks.take(n);
    if (this.onDrawn) this.onDrawn({ ids, capMs }, now);
  }

  // The canvas drew a picture: after a switch back it replaces the track's.
  canvasDrawn() {
    if (!this.handover) return;
    this.handover = false;
    this.view.hide();
  }

  setUse(use) {
    if (this.use === use) return;
    this.use = this.stats.use = use;
    this.changed();
  }

  setAsked(v) {
    this.asked = this.stats.asked = v;
    this.changed();
  }

  changed() { if (this.onChange) this.onChange(); }
}
