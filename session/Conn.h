#pragma once
#include <cstdint>
#include <memory>
#include <vector>

// One client connection on either transport. Every field is touched only on
// the owning transport's queue.
struct Conn {
  Conn(int64_t id, std::shared_ptr<void> nw) : id(id), nw(std::move(nw)) {}
  const int64_t id;
  // The transport's own socket object; absent for a WebRTC connection.
  const std::shared_ptr<void> nw;
  std::vector<uint8_t> buf;
  bool isWS = false;
  int64_t inflight = 0;
  bool needKey = true;  // a new connection never sees a delta frame first
  bool wantsVideo = false;
};
using ConnPtr = std::shared_ptr<Conn>;
