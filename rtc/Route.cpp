#include "rtc/Route.h"

#include "app/Log.h"

#include <algorithm>
#include <cctype>
#include <vector>

using nlohmann::json;

namespace rtc {

namespace {

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<long> ipv4Numbers(const std::string& a) {
  std::vector<long> out;
  size_t i = 0;
  while (i <= a.size()) {
    size_t j = a.find('.', i);
    if (j == std::string::npos) j = a.size();
    std::string part = a.substr(i, j - i);
    if (!part.empty() && part.size() <= 9 &&
        std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); }))
      out.push_back(std::stol(part));
    i = j + 1;
  }
  return out;
}

const json* stat(const json& report, const json& id) {
  if (!id.is_string()) return nullptr;
  auto it = report.find(id.get<std::string>());
  return it != report.end() && it->is_object() ? &*it : nullptr;
}

std::string str(const json& o, const char* key) {
  auto it = o.find(key);
  return it != o.end() && it->is_string() ? it->get<std::string>() : "";
}

bool inSet(const std::string& k, std::initializer_list<const char*> set) {
  return std::any_of(set.begin(), set.end(), [&k](const char* s) { return k == s; });
}

}  // namespace

std::string ipKind(const std::string& a) {
  if (endsWith(a, ".local")) return "mdns";
  if (a.find(':') != std::string::npos) {
    std::string low = a;
    std::transform(low.begin(), low.end(), low.begin(), [](unsigned char c) { return std::tolower(c); });
    if (low.rfind("fe80", 0) == 0 || low.rfind("fc", 0) == 0 || low.rfind("fd", 0) == 0) return "private6";
    return "public6";
  }
  auto n = ipv4Numbers(a);
  if (n.size() != 4) return "?";
  if (n[0] == 10 || n[0] == 127) return "private";
  if (n[0] == 100 && n[1] >= 64 && n[1] <= 127) return "private";
  if (n[0] == 169 && n[1] == 254) return "private";
  if (n[0] == 172 && n[1] >= 16 && n[1] <= 31) return "private";
  if (n[0] == 192 && n[1] == 168) return "private";
  return "public";
}

std::optional<bool> sameLan(const std::string& l, const std::string& r) {
  auto priv = [](const std::string& k) { return inSet(k, {"private", "private6", "mdns"}); };
  auto pub = [](const std::string& k) { return inSet(k, {"public", "public6"}); };
  if (priv(l) && priv(r)) return true;
  if (pub(l) || pub(r)) return false;
  return std::nullopt;
}

const json* selectedPair(const json& report) {
  if (!report.is_object()) return nullptr;
  for (const auto& [id, s] : report.items()) {
    if (!s.is_object() || str(s, "type") != "transport") continue;
    auto sel = s.find("selectedCandidatePairId");
    if (sel == s.end()) continue;
    if (const json* p = stat(report, *sel)) return p;
  }
  for (const auto& [id, s] : report.items()) {
    if (!s.is_object() || str(s, "type") != "candidate-pair") continue;
    auto nom = s.find("nominated");
    if (nom != s.end() && nom->is_boolean() && nom->get<bool>() && str(s, "state") == "succeeded") return &s;
  }
  return nullptr;
}

RouteReport routeOf(const json& report) {
  RouteReport r;
  const json* pair = selectedPair(report);
  if (!pair) {
    r.fields["route"] = "unknown";
    return r;
  }
  r.havePair = true;
  for (auto [prefix, idKey] : {std::pair{"local", "localCandidateId"}, std::pair{"remote", "remoteCandidateId"}}) {
    auto id = pair->find(idKey);
    const json* c = id != pair->end() ? stat(report, *id) : nullptr;
    if (!c) continue;
    std::string p = prefix;
    std::string type = str(*c, "candidateType"), proto = str(*c, "protocol");
    r.fields[p + "_type"] = type.empty() ? "?" : type;
    r.fields[p + "_proto"] = proto.empty() ? "?" : proto;
    auto addr = c->find("address");
    if (addr == c->end() || !addr->is_string()) addr = c->find("ip");
    if (addr != c->end() && addr->is_string()) r.fields[p + "_ip_kind"] = ipKind(addr->get<std::string>());
  }
  auto field = [&r](const char* k) { return r.fields.contains(k) ? r.fields[k].get<std::string>() : "?"; };
  std::string lt = field("local_type"), rt = field("remote_type");
  std::string route = lt;
  if (lt == "relay" || rt == "relay") route = "relay";
  else if (lt == "host" && rt == "host") route = "host";
  else if (lt == "srflx" || rt == "srflx") route = "srflx";
  else if (lt == "prflx" || rt == "prflx") route = "prflx";
  r.fields["route"] = route;
  r.localKind = field("local_ip_kind");
  r.remoteKind = field("remote_ip_kind");
  r.same = sameLan(r.localKind, r.remoteKind);
  if (r.same) r.fields["same_lan"] = *r.same;
  return r;
}

std::string routeMessage(const std::optional<bool>& same, const std::string& localKind,
                         const std::string& remoteKind, bool relayed) {
  json m = {{"t", "route"},
            {"local_kind", localKind},
            {"remote_kind", remoteKind},
            {"same_lan", same ? json(*same) : json(nullptr)}};
  if (relayed) m["route"] = "relay";
  return jsonText(m);
}

}  // namespace rtc
