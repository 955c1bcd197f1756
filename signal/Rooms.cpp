#include "signal/Rooms.h"

#include "app/Log.h"

#include <limits>
#include <optional>

using nlohmann::json;

namespace {

// A JSON integer that fits int64; 1.5, 1e300, 3.0 and "3" are not numbers here.
std::optional<int64_t> int64Of(const json& v) {
  if (v.is_number_unsigned()) {
    auto u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  return std::nullopt;
}

std::string sockName(Rooms::Sock s) { return "#" + std::to_string(s); }

}  // namespace

Rooms::Rooms(Limits limits, std::vector<std::string> ice) : limits_(limits), ice_(std::move(ice)) {}

bool Rooms::validRid(const json& rid) {
  if (!rid.is_string()) return false;
  const auto& s = rid.get_ref<const std::string&>();
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string Rooms::shortRid(const std::string& rid) { return rid.substr(0, 8) + "\u2026"; }

bool Rooms::hasRole(Sock s) const {
  auto it = members_.find(s);
  return it != members_.end() && it->second.role != Role::none;
}

void Rooms::send(Step& st, Sock to, const json& msg) { st.sends.push_back({to, jsonText(msg)}); }

void Rooms::error(Sock to, const char* reason, Step& st) {
  send(st, to, {{"t", "error"}, {"reason", reason}});
  st.logs.push_back("[signal] " + sockName(to) + " error " + reason);
}

void Rooms::reject(Sock to, const char* reason, Step& st) {
  send(st, to, {{"t", "reject"}, {"reason", reason}});
  st.closeSender = true;
  st.closeReason = reason;
}

Rooms::Step Rooms::onText(Sock from, std::string_view text, int64_t nowMs) {
  Step st;
  Member& m = members_.try_emplace(from, Member{Role::none, {}, 0, Flood(limits_.flood)}).first->second;
  if (!m.flood.message(text.size(), nowMs)) {
    st = onClose(from);
    st.closeSender = true;
    st.closeReason = "flood";
    return st;
  }
  json msg = json::parse(text.begin(), text.end(), nullptr, false);
  if (msg.is_discarded() || !msg.is_object() || !msg.contains("t") || !msg["t"].is_string()) {
    if (m.role != Role::inert) error(from, "malformed", st);
    return st;
  }
  const std::string t = msg["t"].get<std::string>();
  if (t == "ping") {
    // Even a replaced host is answered: left without pongs it would reconnect
    // and replace the other host in turn, for ever.
    send(st, from, {{"t", "pong"}});
  } else if (m.role == Role::inert) {
    // Nothing else of a replaced host counts.
  } else if (t == "host") {
    host(from, m, msg, st);
  } else if (t == "join") {
    join(from, m, msg, nowMs, st);
  } else if (t == "sig") {
    sig(from, m, msg, st);
  } else if (t == "leave") {
    if (m.role == Role::phone) {
      leaveRoom(from, m, st);
      m.role = Role::none;
    } else if (m.role == Role::host) {
      error(from, "role", st);
    }
  } else {
    error(from, "unknown", st);
  }
  return st;
}

void Rooms::host(Sock from, Member& m, const json& msg, Step& st) {
  if (m.role == Role::phone) {
    error(from, "role", st);
    return;
  }
  if (!msg.contains("rid") || !validRid(msg["rid"])) {
    st.logs.push_back("[signal] " + sockName(from) + " host rejected (bad_rid)");
    reject(from, "bad_rid", st);
    return;
  }
  const std::string rid = msg["rid"].get<std::string>();
  if (m.role == Role::host && m.rid != rid) {
    error(from, "role", st);
    return;
  }
  if (m.role == Role::host) {  // the same registration again
    send(st, from, {{"t", "ok"}});
    return;
  }
  if (!rooms_.count(rid) && rooms_.size() >= limits_.rooms) {
    st.logs.push_back("[signal] host " + shortRid(rid) + " rejected (full)");
    reject(from, "full", st);
    return;
  }
  Room& room = rooms_[rid];
  if (room.host != 0) {
    // The earlier host stays connected but inert: closing it would make it
    // reconnect and replace this one.
    send(st, room.host, {{"t", "replaced"}});
    members_[room.host].role = Role::inert;
    st.logs.push_back("[signal] host " + shortRid(rid) + " replaced " + sockName(room.host) + " by " + sockName(from));
    hostLost(room, rid, st);
  }
  room.host = from;
  m.role = Role::host;
  m.rid = rid;
  send(st, from, {{"t", "ok"}});
  st.logs.push_back("[signal] host " + shortRid(rid) + " ok " + sockName(from));
  for (auto& [phone, cid] : room.phones) send(st, phone, {{"t", "hostup"}});
}

void Rooms::join(Sock from, Member& m, const json& msg, int64_t nowMs, Step& st) {
  if (m.role == Role::host) {
    error(from, "role", st);
    return;
  }
  if (!m.flood.join(nowMs)) {
    Step gone = onClose(from);
    st.sends.insert(st.sends.end(), gone.sends.begin(), gone.sends.end());
    st.logs.insert(st.logs.end(), gone.logs.begin(), gone.logs.end());
    st.closeSender = true;
    st.closeReason = "flood";
    return;
  }
  if (!msg.contains("rid") || !validRid(msg["rid"])) {
    error(from, "bad_rid", st);
    return;
  }
  const std::string rid = msg["rid"].get<std::string>();
  // A second join starts over: the old client number ends, a new one begins.
  if (m.role == Role::phone) leaveRoom(from, m, st);
  m.role = Role::none;
  if (!rooms_.count(rid) && rooms_.size() >= limits_.rooms) {
    st.logs.push_back("[signal] join " + shortRid(rid) + " rejected (full)");
    reject(from, "full", st);
    return;
  }
  Room& room = rooms_[rid];
  if (room.phones.size() >= limits_.phonesPerRoom) {
    st.logs.push_back("[signal] join " + shortRid(rid) + " rejected (room_full)");
    dropIfEmpty(rid);
    reject(from, "room_full", st);
    return;
  }
  m.role = Role::phone;
  m.rid = rid;
  if (room.host == 0) {
    m.cid = 0;
    room.phones[from] = 0;
    send(st, from, {{"t", "nohost"}});
    st.logs.push_back("[signal] join " + shortRid(rid) + " nohost " + sockName(from));
    return;
  }
  m.cid = nextCid_++;
  room.phones[from] = m.cid;
  byCid_[m.cid] = from;
  json joined = {{"t", "joined"}, {"cid", m.cid}, {"ice", ice_}};
  json peer = {{"t", "peer"}, {"cid", m.cid}};
  if (turnFor) {
    json turn = turnFor(rid);
    if (turn.is_object()) joined["turn"] = peer["turn"] = turn;
  }
  send(st, from, joined);
  send(st, room.host, peer);
  st.logs.push_back("[signal] join " + shortRid(rid) + " cid " + std::to_string(m.cid));
}

void Rooms::sig(Sock from, Member& m, const json& msg, Step& st) {
  if (m.role == Role::host) {
    auto cid = msg.contains("cid") ? int64Of(msg["cid"]) : std::nullopt;
    if (!cid || !msg.contains("d") || !msg["d"].is_object()) {
      error(from, "malformed", st);
      return;
    }
    auto it = byCid_.find(*cid);
    if (it == byCid_.end() || members_[it->second].rid != m.rid) {
      send(st, from, {{"t", "gone"}, {"cid", *cid}});
      return;
    }
    send(st, it->second, {{"t", "sig"}, {"d", msg["d"]}});
    st.logs.push_back("[signal] sig " + shortRid(m.rid) + " host to cid " + std::to_string(*cid));
    return;
  }
  if (m.role != Role::phone || m.cid == 0) {
    error(from, "not_joined", st);
    return;
  }
  if (!msg.contains("d") || !msg["d"].is_object()) {
    error(from, "malformed", st);
    return;
  }
  // The server stamps the phone's own number; whatever "cid" it wrote is ignored.
  send(st, rooms_[m.rid].host, {{"t", "sig"}, {"cid", m.cid}, {"d", msg["d"]}});
  st.logs.push_back("[signal] sig " + shortRid(m.rid) + " cid " + std::to_string(m.cid) + " to host");
}

void Rooms::leaveRoom(Sock s, Member& m, Step& st) {
  auto it = rooms_.find(m.rid);
  if (it == rooms_.end()) return;
  Room& room = it->second;
  if (m.cid != 0) {
    byCid_.erase(m.cid);
    if (room.host != 0) send(st, room.host, {{"t", "gone"}, {"cid", m.cid}});
    st.logs.push_back("[signal] leave " + shortRid(m.rid) + " cid " + std::to_string(m.cid));
  } else {
    st.logs.push_back("[signal] leave " + shortRid(m.rid) + " " + sockName(s) + " (waiting)");
  }
  room.phones.erase(s);
  m.cid = 0;
  dropIfEmpty(m.rid);
}

void Rooms::hostLost(Room& room, const std::string& rid, Step& st) {
  for (auto& [phone, cid] : room.phones) {
    send(st, phone, {{"t", "hostgone"}});
    if (cid != 0) byCid_.erase(cid);
    cid = 0;
    members_[phone].cid = 0;
  }
  if (!room.phones.empty())
    st.logs.push_back("[signal] hostgone " + shortRid(rid) + " to " + std::to_string(room.phones.size()) + " phone(s)");
  room.host = 0;
}

void Rooms::dropIfEmpty(const std::string& rid) {
  auto it = rooms_.find(rid);
  if (it != rooms_.end() && it->second.host == 0 && it->second.phones.empty()) rooms_.erase(it);
}

Rooms::Step Rooms::onClose(Sock s) {
  Step st;
  auto it = members_.find(s);
  if (it == members_.end()) return st;
  Member& m = it->second;
  if (m.role == Role::host) {
    Room& room = rooms_[m.rid];
    st.logs.push_back("[signal] host " + shortRid(m.rid) + " gone " + sockName(s));
    hostLost(room, m.rid, st);
    dropIfEmpty(m.rid);
  } else if (m.role == Role::inert) {
    st.logs.push_back("[signal] replaced host " + shortRid(m.rid) + " gone " + sockName(s));
  } else if (m.role == Role::phone) {
    leaveRoom(s, m, st);
  }
  members_.erase(it);
  return st;
}

bool Rooms::consistent() const {
  size_t joined = 0;
  for (const auto& [rid, room] : rooms_) {
    if (room.host == 0 && room.phones.empty()) return false;
    if (room.host != 0) {
      auto h = members_.find(room.host);
      if (h == members_.end() || h->second.role != Role::host || h->second.rid != rid) return false;
    }
    for (const auto& [s, cid] : room.phones) {
      auto p = members_.find(s);
      if (p == members_.end() || p->second.role != Role::phone || p->second.rid != rid || p->second.cid != cid)
        return false;
      if (cid != 0) {
        if (room.host == 0 || cid >= nextCid_) return false;
        auto c = byCid_.find(cid);
        if (c == byCid_.end() || c->second != s) return false;
        ++joined;
      }
    }
  }
  if (joined != byCid_.size()) return false;
  for (const auto& [s, m] : members_) {
    if (m.role == Role::host) {
      auto r = rooms_.find(m.rid);
      if (r == rooms_.end() || r->second.host != s) return false;
    } else if (m.role == Role::phone) {
      auto r = rooms_.find(m.rid);
      if (r == rooms_.end() || !r->second.phones.count(s)) return false;
    } else if (m.role == Role::inert) {
      auto r = rooms_.find(m.rid);
      if (r != rooms_.end() && r->second.host == s) return false;
    }
  }
  return true;
}
