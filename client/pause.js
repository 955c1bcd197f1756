// After the computer paused connections ("paused"): its text and a Reconnect
// button. The page also tries again by itself, at most once a minute, since
// the pause may be lifted on the computer (by hand or after it sat idle);
// between tries the session stays held, so its own quick retries do not run.
import { T } from "./dom.js";
import { el } from "./sheet.js";

export const RETRY_EVERY_MS = 60000;

export class PauseScreen {
  constructor(cards, session, { everyMs = RETRY_EVERY_MS, now = () => performance.now() } = {}) {
    this.cards = cards;
    this.session = session;
    this.everyMs = everyMs;
    this.now = now;
    this.waiting = false;   // paused and not connected again since
    this.trying = false;    // an attempt is under way
    this.lastTry = 0;
    this.msg = "";
    this.timer = 0;
    this.tick = 0;
    this.tries = 0;
  }

  paused(msg) {
    this.msg = msg || "The computer paused connections from phones.";
    T.paused = this.msg;
    this.session.hold();
    if (!this.waiting) { this.waiting = true; this.lastTry = this.now(); }
    this.trying = false;
    this.schedule();
  }

  // The link ended: while paused, nothing starts again before the next try.
  linkClosed() {
    if (!this.waiting) return;
    this.trying = false;
    this.session.hold();
    this.schedule();
  }

  linkOpened() {
    if (!this.waiting) return;
    this.waiting = false;
    this.trying = false;
    T.paused = null;
    this.stopTimers();
    this.publish();
  }

  reconnect() {
    this.stopTimers();
    this.trying = true;
    this.tries++;
    this.lastTry = this.now();
    this.show();
    this.session.retryNow();
  }

  schedule() {
    this.stopTimers();
    const wait = Math.max(0, this.lastTry + this.everyMs - this.now());
    this.timer = setTimeout(() => this.reconnect(), wait);
    this.tick = setInterval(() => this.show(), 1000);
    this.show();
  }

  stopTimers() {
    clearTimeout(this.timer); this.timer = 0;
    clearInterval(this.tick); this.tick = 0;
  }

  get nextIn() {
    return this.waiting && !this.trying ? Math.max(0, Math.ceil((this.lastTry + this.everyMs - this.now()) / 1000)) : null;
  }

  show() {
    this.publish();
    const next = this.nextIn;
    const status = this.trying ? "Trying to connect…"
      : "The page tries again by itself in " + (next >= 60 ? Math.ceil(next / 60) + " min" : next + " s") + ".";
    const shown = document.getElementById("pauseStatus");
    if (this.cards.tag === "paused" && shown) { shown.textContent = status; return; }
    // Another card the person is reading (a clipboard field) is not covered.
    if (this.cards.tag && this.cards.tag !== "paused") return;
    this.cards.show("info", "Paused on the computer", this.msg,
      [{ label: "Reconnect", primary: true, id: "reconnectBtn", act: () => this.reconnect() }], "paused");
    // Below the button, so the card's text stays the computer's own.
    document.getElementById("nActions").appendChild(el("div", { id: "pauseStatus", text: status,
      style: "flex-basis:100%;font-size:12.5px;color:var(--dim)" }));
  }

  publish() { T.pause = { waiting: this.waiting, trying: this.trying, tries: this.tries, nextIn: this.nextIn }; }
}
