#pragma once
// The rendezvous rules without sockets: which socket is the host of which
// room, which phones wait or are joined under which client number, and what
// every message makes the server send to whom. The server feeds it message
// texts and closures and carries out the sends it returns.
#include "signal/Flood.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Rooms {
public:
  using Sock = uint64_t;

  struct Limits {
    size_t rooms = 1000;       // room entries, hosted or only waited in
    size_t phonesPerRoom = 8;  // waiting and joined together
    FloodLimits flood;
  };
  struct Send {
    Sock to;
    std::string text;
  };
  struct Step {
    std::vector<Send> sends;
    // The sender is to be closed once the sends to it are out.
    bool closeSender = false;
    std::string closeReason;
    std::vector<std::string> logs;
  };

  Rooms(Limits limits, std::vector<std::string> ice);

  // The relay servers with credentials for a room (an object), handed to
  // both sides of every join; unset or null: STUN only.
  std::function<nlohmann::json(const std::string& rid)> turnFor;

  Step onText(Sock from, std::string_view text, int64_t nowMs);
  // The socket is gone; unknown sockets are ignored, so calling it twice is harmless.
  Step onClose(Sock s);
  // Host (current or replaced) or phone (waiting or joined).
  bool hasRole(Sock s) const;

  size_t roomCount() const { return rooms_.size(); }
  size_t memberCount() const { return members_.size(); }
  // Every cross reference agrees (for the fuzzer and tests).
  bool consistent() const;

  // 64 lowercase hex digits.
  static bool validRid(const nlohmann::json& rid);
  // The first 8 digits of a valid rid and an ellipsis: logs never hold a whole rid.
  static std::string shortRid(const std::string& rid);

private:
  enum class Role { none, host, inert, phone };
  struct Member {
    Role role = Role::none;
    std::string rid;
    int64_t cid = 0;  // 0: a phone waiting for a host
    Flood flood;
  };
  struct Room {
    Sock host = 0;
    std::map<Sock, int64_t> phones;  // socket -> cid (0 while waiting)
  };

  void host(Sock from, Member& m, const nlohmann::json& msg, Step& st);
  void join(Sock from, Member& m, const nlohmann::json& msg, int64_t nowMs, Step& st);
  void sig(Sock from, Member& m, const nlohmann::json& msg, Step& st);
  // Takes a phone out of its room; its host hears "gone" when it was joined.
  void leaveRoom(Sock s, Member& m, Step& st);
  // The room's phones lose their host and wait again.
  void hostLost(Room& room, const std::string& rid, Step& st);
  void dropIfEmpty(const std::string& rid);
  void error(Sock to, const char* reason, Step& st);
  void reject(Sock to, const char* reason, Step& st);
  void send(Step& st, Sock to, const nlohmann::json& msg);

  Limits limits_;
  std::vector<std::string> ice_;
  std::map<std::string, Room> rooms_;
  std::unordered_map<Sock, Member> members_;
  std::unordered_map<int64_t, Sock> byCid_;
  // Client numbers are never reused within one server process.
  int64_t nextCid_ = 1;
};
