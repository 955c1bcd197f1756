// What the page explains to the person: the secure link, a browser that
// cannot show the picture, an unreachable computer, problems the computer
// reports, and over the internet link: a pause on the computer, a link that
// does not fit the computer, a network that needs a relay. The secure-link advice comes back whenever another card that
// covered it is closed, until the person dismisses it.
import { T } from "./dom.js";
import { RELAY_TEXT } from "./rtc-connection.js";

const ERROR_TITLES = { screen: "Screen sharing is not allowed", capture: "Screen capture stopped", encoder: "Video could not start" };

export class Notices {
  constructor(cards, { tlsPort, token, isLocal, internet = false }) {
    this.cards = cards;
    this.internet = internet;
    this.tlsPort = tlsPort;
    this.token = token;
    this.isLocal = isLocal;
    this.insecureDismissed = false;
  }

  // The secure link is the computer's own LAN address; the internet link has no such page to offer.
  needsSecure() { return !this.internet && !window.isSecureContext && !this.isLocal; }

  hide() {
    const was = this.cards.hide();
    if (T.error === "offline") T.error = null;
    if (was === "insecure") this.insecureDismissed = true;
    else if (this.needsSecure() && !this.insecureDismissed) this.insecure();
  }

  insecure() {
    const port = /^\d+$/.test(this.tlsPort) ? this.tlsPort : "8766";
    const q = "?t=" + encodeURIComponent(this.token);
    const secure = "https://" + location.hostname + ":" + port + "/" + q;
    const body = document.createElement("div");
    const p = document.createElement("p");
    p.textContent = "The picture and the clipboard only work over a secure (HTTPS) connection. Open the secure link. The first time, install the computer's certificate so the phone trusts it:";
    const ol = document.createElement("ol");
    for (const step of [
      "Download the certificate below.",
      "iPhone: Settings → General → VPN & Device Management → install the profile, then Settings → General → About → Certificate Trust Settings → turn on “Kestrava Local CA”.",
      "Android: Settings → Security → Encryption & credentials → Install a certificate → CA certificate.",
      "Open the secure link.",
    ]) { const li = document.createElement("li"); li.textContent = step; ol.appendChild(li); }
    body.append(p, ol);
    this.cards.show("lock", "Use the secure link", body, [
      { label: "Open secure link", primary: true, href: secure, id: "secureLink" },
      { label: "Download certificate", href: "/cert.cer" + q, download: "tolvane.cer", id: "certLink" },
      { label: "Continue without picture", act: () => { this.insecureDismissed = true; this.hide(); } },
    ], "insecure");
  }

  noDecoder(codec) {
    if (!window.isSecureContext) {
      // On the LAN the secure-context notice already says what to do.
      if (this.internet) {
        this.cards.show("error", "This address is not secure",
          "Browsers show the picture only on secure (https) pages. Open the link with an https address.",
          [{ label: "OK", act: () => this.hide() }], "codec");
      }
      return;
    }
    this.cards.show("error", "This browser cannot show the picture",
      codec ? "It cannot decode this video format (" + codec + "). Try a current Safari or Chrome."
            : "It lacks the video decoder this page needs (WebCodecs). Update the browser (iOS 16.4 or later, a current Chrome) and reload.",
      [{ label: "OK", act: () => this.hide() }], "codec");
  }

  // After several failed attempts; a card already up says more.
  offline(retry) {
    if (this.cards.tag) return;
    T.error = "offline";
    this.cards.show("error", "Can't reach the computer", this.internet
      ? "The connection server does not answer. Check this phone's internet connection; the page keeps trying."
      : "The host does not answer. Check that it is running and that this phone is on the same network.\nIf the host was restarted with a new link, open that link instead.",
      [{ label: "Try again now", primary: true, act: retry }], "offline");
  }

  // The link is back: cards about not getting through have nothing more to say.
  online() {
    if (["offline", "relay", "auth", "paused", "silent"].includes(this.cards.tag)) { T.error = null; this.hide(); }
  }

  // An offer that the key in this link does not confirm: a stale or mistyped
  // link, or someone in between. The page does not answer it.
  badOffer(retry) {
    T.error = "auth";
    this.cards.show("error", "This link does not match the computer",
      "The computer's reply could not be confirmed with the key in this link, so the page did not answer it. The link may be outdated or mistyped. Open the newest link from the computer.",
      [{ label: "Try again", primary: true, id: "authRetryBtn", act: () => { this.hide(); retry(); } }], "auth");
  }

  // Nothing opened in time: on most networks that means a relay would be needed.
  relayNeeded() {
    if (this.cards.tag && this.cards.tag !== "relay") return;
    T.error = "relay";
    this.cards.show("error", "No direct connection", RELAY_TEXT, [{ label: "Close", act: () => this.hide() }], "relay");
  }

  // A live session went quiet: the page says so while it joins again.
  silent() {
    if (this.cards.tag && this.cards.tag !== "silent") return;
    T.error = "silent";
    this.cards.show("error", "The computer stopped answering",
      "Nothing arrived from the computer for several seconds, so the connection was given up. The page is connecting again.",
      [{ label: "Close", act: () => this.hide() }], "silent");
  }

  // An "error" message from the computer; retry asks it to start the picture again.
  hostError(m, retry) {
    const code = typeof m.code === "string" ? m.code : "";
    const msg = typeof m.msg === "string" && m.msg ? m.msg : "The computer reported a problem.";
    T.error = code || "error";
    const actions = [];
    // "retry" helps after the permission was given or capture broke.
    if (code === "screen" || code === "capture" || code === "encoder") {
      actions.push({ label: "Retry", primary: true, id: "retryBtn", act: () => { retry(); this.hide(); T.error = null; } });
    }
    actions.push({ label: "Close", act: () => this.hide() });
    this.cards.show("error", ERROR_TITLES[code] || "Problem on the computer", msg, actions, "error");
  }

  hostWarning(m) {
    T.warn = typeof m.code === "string" ? m.code : "warn";
    this.cards.banner(typeof m.msg === "string" && m.msg ? m.msg : "The computer reported a warning.");
  }
}
