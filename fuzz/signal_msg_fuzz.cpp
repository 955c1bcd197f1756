// Sequences of messages and closes from up to eight sockets into the
// rendezvous rules, checking after every step that the rooms stay consistent,
// that nothing is sent to a socket that is gone, that every reply is a JSON
// object with a kind, that client numbers only grow and that logs never hold a
// whole room id.
#include "signal/Rooms.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace {

const std::string kRids[2] = {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
                              "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210"};

struct Input {
  const uint8_t* p;
  size_t left;
  uint8_t byte() {
    if (!left) return 0;
    --left;
    return *p++;
  }
  std::string bytes(size_t n) {
    n = std::min(n, left);
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    left -= n;
    return s;
  }
};

// A well-formed message of a kind picked by the input, so that deep states
// (joined phones, replaced hosts) are reached quickly.
std::string templated(Input& in) {
  using nlohmann::json;
  uint8_t k = in.byte();
  const std::string& rid = kRids[k >> 7];
  switch (k % 7) {
    case 0: return json({{"t", "host"}, {"rid", rid}}).dump();
    case 1: return json({{"t", "join"}, {"rid", rid}}).dump();
    case 2: return json({{"t", "sig"}, {"cid", static_cast<int64_t>(in.byte() % 16) - 2}, {"d", {{"kind", "ice"}}}}).dump();
    case 3: return json({{"t", "sig"}, {"d", {{"kind", "answer"}, {"sdp", "x"}}}}).dump();
    case 4: return json({{"t", "leave"}}).dump();
    case 5: return json({{"t", "ping"}}).dump();
    default: return json({{"t", "sig"}, {"cid", in.byte()}, {"d", in.byte() % 2 ? json(1) : json::object()}}).dump();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rooms::Limits limits;
  limits.rooms = 2;
  limits.phonesPerRoom = 3;
  Rooms rooms(limits, {"stun:a.test:1"});
  Input in{data, size};
  std::array<uint64_t, 8> gen{};
  std::set<uint64_t> gone;
  int64_t now = 0, lastCid = 0;
  auto idOf = [&](uint8_t s) { return 1 + (s % 8) + 8 * gen[s % 8]; };

  auto check = [&](const Rooms::Step& st) {
    if (!rooms.consistent()) __builtin_trap();
    for (const auto& m : st.sends) {
      if (gone.count(m.to)) __builtin_trap();
      auto j = nlohmann::json::parse(m.text, nullptr, false);
      if (!j.is_object() || !j.contains("t") || !j["t"].is_string()) __builtin_trap();
      if (j["t"] == "joined") {
        if (!j["cid"].is_number_integer() || j["cid"].get<int64_t>() <= lastCid) __builtin_trap();
        lastCid = j["cid"].get<int64_t>();
      }
    }
    for (const auto& l : st.logs) {
      if (l.find("012345678") != std::string::npos || l.find("fedcba987") != std::string::npos) __builtin_trap();
      for (char c : l)
        if (c == '\n' || c == '\r') __builtin_trap();
    }
  };
  auto closeSock = [&](uint8_t s) {
    uint64_t id = idOf(s);
    check(rooms.onClose(id));
    check(rooms.onClose(id));  // the server may report a socket twice
    gone.insert(id);
    ++gen[s % 8];  // the server never reuses a socket id
  };

  while (in.left) {
    uint8_t op = in.byte();
    uint8_t s = op >> 5;
    switch (op & 3) {
      case 0: {
        size_t n = in.byte() | (in.byte() << 8);
        std::string text = in.bytes(n);
        auto st = rooms.onText(idOf(s), text, now);
        check(st);
        if (st.closeSender) closeSock(s);
        break;
      }
      case 1: {
        auto st = rooms.onText(idOf(s), templated(in), now);
        check(st);
        if (st.closeSender) closeSock(s);
        break;
      }
      case 2:
        closeSock(s);
        break;
      default:
        // The clock mostly moves on, now and then it steps back.
        now += (op & 4) ? in.byte() * 37 : -static_cast<int64_t>(in.byte());
        break;
    }
  }
  for (uint8_t s = 0; s < 8; ++s) closeSock(s);
  if (rooms.roomCount() != 0 || rooms.memberCount() != 0) __builtin_trap();
  return 0;
}
