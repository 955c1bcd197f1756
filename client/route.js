// The path the internet link took, as the computer reports it once the
// connection is up: {"t":"route","local_kind","remote_kind","same_lan"} with
// "route":"relay" added when the chosen pair goes through a relay server.
// Kinds of address only: the page never sees or shows an address.

export const ROUTE_TEXT = {
  lan: "same network",
  internet: "across the internet",
  relay: "through a relay",
  unknown: "route unknown",
};

export function routeKind(m) {
  if (!m || typeof m !== "object") return "unknown";
  if (m.route === "relay") return "relay";
  if (m.same_lan === true) return "lan";
  if (m.same_lan === false) return "internet";
  return "unknown";
}
