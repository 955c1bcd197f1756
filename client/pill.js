// The status pill in the corner: the computer's and the application's name
// while connected, what is going on otherwise. It shrinks to a dot once the
// picture has been live for a while; the waiting text under the picture follows it.
import { $, T } from "./dom.js";
import { ROUTE_TEXT } from "./route.js";

export class Pill {
  constructor() {
    this.miniTimer = 0;
    // Set by the owner: { everOpened, retryIn (s, or null), needsSecure, noScreen, noHost,
    // route (the internet link's path: lan, internet, relay, unknown; null on the LAN) }.
    this.facts = () => ({ everOpened: false, retryIn: null, needsSecure: false, noScreen: false, noHost: false, route: null });
  }

  render() {
    const pill = $("pill"), name = $("pName"), app = $("pApp"), wait = $("waitText"), route = $("pRoute");
    const s = T.state, f = this.facts();
    pill.dataset.s = s;
    const host = T.hello && typeof T.hello.name === "string" ? T.hello.name : "";
    if (f.noHost && (s === "connecting" || s === "reconnecting")) {
      // The rendezvous server has no computer under this link's key.
      name.textContent = "Waiting for the computer…"; app.textContent = "";
      wait.textContent = "The computer is not connected to the server. Check that it is running; if it was set up again, open its newest link.";
    } else if (s === "held") {
      name.textContent = "Not connected"; app.textContent = "· tap to try again";
      wait.textContent = "Not connected";
    } else if (s === "reconnecting") {
      name.textContent = f.everOpened ? "Connection lost" : "Can't connect";
      app.textContent = f.retryIn !== null && f.retryIn > 0 ? "· retrying in " + f.retryIn + " s" : "· retrying…";
      wait.textContent = "Reconnecting…";
    } else if (s === "connecting") {
      name.textContent = "Connecting…"; app.textContent = "";
      wait.textContent = "Connecting…";
    } else {
      name.textContent = host || "Connected";
      app.textContent = T.app ? "· " + T.app : "";
      wait.textContent = f.needsSecure ? "The picture needs the secure link"
        : f.noScreen ? "No picture yet" : "Waiting for the picture…";
    }
    route.textContent = f.route && (s === "open" || s === "live") ? "· " + ROUTE_TEXT[f.route] : "";
    $("waiting").hidden = s === "live";
    $("waiting").querySelector(".spinner").hidden = s === "live" || s === "held" || (s === "open" && (f.needsSecure || f.noScreen));
    clearTimeout(this.miniTimer);
    pill.classList.remove("mini");
    if (s === "live") this.miniTimer = setTimeout(() => pill.classList.add("mini"), 4000);
  }
}
