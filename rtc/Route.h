#pragma once
// What kind of path a session took, read from the WebRTC statistics report.
// Candidate addresses are only ever classified here: nothing built from a
// report carries an address onward to a journal or to the phone.
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace rtc {

// "mdns", "private6", "public6", "private", "public" or "?".
std::string ipKind(const std::string& address);
// Both ends on a private network: true; either public: false; else unknown.
std::optional<bool> sameLan(const std::string& localKind, const std::string& remoteKind);

// The candidate pair in use: named by a transport statistic, else the first
// nominated pair that succeeded; nullptr when there is none.
const nlohmann::json* selectedPair(const nlohmann::json& report);

struct RouteReport {
  // "local_type", "remote_type", "local_proto", "remote_proto",
  // "local_ip_kind", "remote_ip_kind" (when known), "route", "same_lan" (when known).
  nlohmann::json fields = nlohmann::json::object();
  bool havePair = false;
  std::string localKind = "?", remoteKind = "?";
  std::optional<bool> same;
};
RouteReport routeOf(const nlohmann::json& report);

// {"t":"route",...} for the phone, keys sorted. A relayed pair adds
// "route":"relay": its address kinds are the relay's, so "same_lan" alone
// would call a path through a relay server on the LAN a direct one.
std::string routeMessage(const std::optional<bool>& same, const std::string& localKind,
                         const std::string& remoteKind, bool relayed = false);

}  // namespace rtc
