// Builds the page's parts and wires them together.
import { $, T, setPressed } from "./dom.js";
import { LanConnection, lanURL } from "./connection.js";
import { RtcConnection, signalURL } from "./rtc-connection.js";
import { linkKey } from "./sigauth.js";
import { Session } from "./session.js";
import { Video } from "./video.js";
import { Measure } from "./measure.js";
import { StatsOverlay } from "./stats.js";
import { Layout } from "./layout.js";
import { Input } from "./input.js";
import { KeyBar } from "./keybar.js";
import { Keyboard } from "./keyboard.js";
import { Toolbar } from "./toolbar.js";
import { Pill } from "./pill.js";
import { Cards } from "./cards.js";
import { Notices } from "./notices.js";
import { AppsPanel } from "./apps.js";
import { SoundPlayer } from "./audio.js";
import { FilesPanel } from "./files-panel.js";
import { Clipboard } from "./clipboard.js";
import { PauseScreen } from "./pause.js";
import { ViewControl } from "./view-control.js";
import { Pinch } from "./pinch.js";
import { Track } from "./track.js";
import { TrackControl } from "./track-control.js";

const token = new URLSearchParams(location.search).get("t") || "";
// The internet link carries the connect key after "#k=": the fragment never
// leaves the browser, and the key never leaves this page.
const key = linkKey(location.hash);
const internet = key !== null;
// The host writes its HTTPS port into this tag when it serves the page.
const tlsPort = document.querySelector('meta[name="tolvane-tls-port"]')?.content || "";
const isLocal = ["localhost", "127.0.0.1", "[::1]", "::1"].includes(location.hostname);

const canvas = $("screen"), stage = $("stage");
// Browser tests shorten the internet link's wait for a connection.
const testConnectMs = Number(window.__tolvaneTest?.connectMs) || undefined;
const conn = internet ? new RtcConnection(signalURL(location), key, { connectMs: testConnectMs })
  : new LanConnection(lanURL(location, token));
// Over the internet the computer adapts its rate to a report a second.
const session = new Session(conn, { reportMs: internet ? 1000 : 250 });
const video = new Video(canvas);
const measure = new Measure();
const pictureSize = () => ({ w: video.w, h: video.h });
const overlay = new StatsOverlay($("stats"), measure, pictureSize);
const layout = new Layout(stage, canvas);
const input = new Input(stage, layout);
const keybar = new KeyBar($("keys"));
const keyboard = new Keyboard($("kb"), input, keybar);
const pill = new Pill();
const cards = new Cards();
const notices = new Notices(cards, { tlsPort, token, isLocal, internet });
const apps = new AppsPanel();
const sound = new SoundPlayer($("bSound"), $("soundLabel"), $("soundIcon"));
const files = new FilesPanel();
const clipboard = new Clipboard(cards);
const pause = new PauseScreen(cards, session, { everyMs: Number(window.__tolvaneTest?.pauseRetryMs) || undefined });
const toolbar = new Toolbar({ keyboard, keybar, input, overlay, files, clipboard });
const viewControl = new ViewControl();
const pinch = new Pinch(stage);
// Over the internet the picture may also come as a video track.
const track = internet ? new Track(conn, video, canvas) : null;
if (track) new TrackControl(overlay, track);

const send = (msg) => session.send(msg);
const setState = (s) => session.setState(s);

session.onState = (s) => {
  pill.render();
  canvas.classList.toggle("stale", s !== "live" && s !== "open");
};
session.onCountdown = () => pill.render();
session.onOffline = () => notices.offline(() => session.retryNow());
session.onOpen = () => { pause.linkOpened(); notices.online(); layout.sendView(true); files.linkOpened(); sound.reopened(); };
session.onClose = () => { video.reset(); files.linkClosed(); pause.linkClosed(); };
// Side features answer on the WebSocket on the LAN and on the "file" channel
// over the internet; the same messages either way.
session.onSide = (m) => {
  if (m.t === "clip") clipboard.received(m);
  else if (m.t === "lsr") files.listed(m);
  else if (m.t === "fdat" || m.t === "fack" || m.t === "fdone") files.transfers.reply(m);
  else if (m.t === "appl") apps.list(m);
};
session.onHello = (m) => { if (m.screen === false) video.noScreen = true; pill.render(); };
session.onApp = () => pill.render();
session.onPong = (m) => { if (measure.pong(m)) overlay.render(); };
session.onConfig = (m) => video.configure(m);
session.onError = (m) => {
  if (m.code === "screen") video.noScreen = true;
  notices.hostError(m, () => send({ t: "retry" }));
  pill.render();
};
session.onWarn = (m) => {
  notices.hostWarning(m);
  if (m.code === "audio") sound.warn(m);
  if (m.code === "view") viewControl.warn(typeof m.msg === "string" ? m.msg : "");
};
session.onView = (m) => viewControl.status(m);
// On the LAN sound shares the socket with video as binary kind 2.
session.onPacket = (buf) => {
  if (buf.byteLength > 0 && new Uint8Array(buf, 0, 1)[0] === 2) sound.packet(buf, 2);
  else video.packet(buf);
};
// On the LAN "qd" is the decoder's backlog; over the internet it is how much
// later than usual frames arrive (the decoder's backlog goes along as "dq").
session.makeReport = internet
  ? () => { const m = conn.report(); m.dq = video.takeQueueDelay(); T.qd = m.qd; return m; }
  : () => { T.qd = video.takeQueueDelay(); return { t: "rep", qd: T.qd }; };
if (internet) {
  conn.onphase = () => pill.render();
  conn.onroute = (kind) => { T.route = kind; pill.render(); overlay.render(); };
  conn.onsilent = () => notices.silent();
  conn.onpaused = (msg) => pause.paused(msg);
  // Over the internet sound has a channel of its own (kind 1) and the side
  // features answer on the "file" channel.
  conn.onaudio = (buf) => sound.packet(buf, 1);
  conn.onfile = (text) => session.control(text);
  conn.onbadoffer = () => notices.badOffer(() => session.retryNow());
  conn.onfailure = (why) => {
    if (why === "auth") session.hold(); // the same key would fail the same way
    else notices.relayNeeded();
  };
  // Leaving the page ends its peer connection at once, so the computer sees the session end.
  window.addEventListener("pagehide", () => conn.close());
  window.addEventListener("pageshow", (e) => { if (e.persisted) session.reconnectNow(); });
}
session.makeStats = () => {
  const msg = measure.takeStats(pictureSize());
  if (track) msg.video = track.use;
  overlay.render();
  return msg;
};

video.onSize = () => layout.update();
video.onDecodeTime = (ms) => measure.decoded(ms);
video.onWantKey = () => send({ t: "retry" });
video.onUnsupported = (codec) => notices.noDecoder(codec);
const drawn = (info, now) => {
  measure.drawn(info, now);
  $("waiting").hidden = true;
  if (T.state === "open") setState("live");
};
video.onDrawn = (info, now) => { drawn(info, now); if (track) track.canvasDrawn(); };
if (track) {
  track.send = send;
  track.onDrawn = drawn;
  track.onDecodeTime = (ms) => measure.decoded(ms);
}

layout.pictureSize = pictureSize;
layout.keyboardOpen = () => keyboard.open;
// The stage's size goes out with the shape chosen in the view control.
layout.send = (msg) => send(msg.t === "view" ? viewControl.message(msg.w, msg.h) : msg);
viewControl.resend = () => layout.sendView(true);
pinch.onPinch = (ratio) => viewControl.pinched(ratio);

input.isOpen = () => session.conn.isOpen;
input.send = send;
input.onSent = (id) => measure.sent(id);
input.pictureWidth = () => video.w;

apps.send = send;
sound.send = send;
files.send = send;
files.isOpen = () => session.conn.isOpen;
// Uploads must fit the link's largest message: 64 KiB, or less where the peer says so.
files.transfers.limit = () => Math.min(65536, (internet && conn.pc?.sctp?.maxMessageSize) || 65536);
clipboard.send = send;
clipboard.pressCtrlV = () => { input.flush(); input.sendInput({ t: "key", k: "v", m: 2 }); };

keybar.onKey = (k) => keyboard.sendKey(k);
keybar.onVisible = (v) => { setPressed("bKeys", v); layout.update(); };
keyboard.onShown = () => { keybar.setVisible(true); setPressed("bKbd", true); };
keyboard.onHidden = () => {
  setPressed("bKbd", false);
  if (!keybar.pinned) keybar.setVisible(false);
  setTimeout(() => { layout.update(); layout.sendView(false); }, 400);
};

pill.facts = () => ({
  everOpened: session.everOpened, retryIn: session.retryIn,
  needsSecure: notices.needsSecure(), noScreen: video.noScreen,
  noHost: internet && conn.phase === "nohost",
  route: internet && conn.isOpen ? conn.route : null,
});
$("pill").addEventListener("click", () => {
  if (!session.active) { session.retryNow(); return; }
  pill.render();
});

cards.start();
toolbar.start();
apps.start();
sound.start();
keybar.start();
keyboard.start();
input.start();
pinch.start();
viewControl.start();
layout.start();
if (notices.needsSecure()) notices.insecure();
else if (!("VideoDecoder" in window)) notices.noDecoder();
if (key === "") {
  T.error = "link";
  cards.show("error", "This link is incomplete",
    "The part after “#k=” must be the 64 characters the computer shows. Copy the whole internet link again.", [], "link");
} else {
  session.start();
}
