#pragma once
// The connection a side-feature request came from. Replies to "ls", "fget",
// "fput" and "apps" go back to it alone, whichever transport carries it: the
// internet peer's file channel, or the LAN client's own WebSocket.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct Requester {
  // Unique across transports for the life of the process (transfers are keyed by it).
  int64_t key = 0;
  // Sends one reply text; false when it could not be queued (gone, channel closed).
  std::function<bool(const std::string&)> send = [](const std::string&) { return false; };
  // Bytes queued towards it on the bulk path (pacing); 0 when none.
  std::function<int64_t()> buffered = [] { return int64_t{0}; };
  // False once the connection has gone.
  std::function<bool()> alive = [] { return false; };
  // Sends audio samples (signed 16-bit little-endian, mono, 24000 Hz); the
  // transport adds its own packet kind and applies its own drop rule.
  std::function<void(std::vector<uint8_t>)> sendAudio = [](std::vector<uint8_t>) {};
  // Bulk pacing: the next bulk message goes once buffered() is at most this.
  int64_t bulkLimit = 1000000;
  // Raw file bytes per "fdat", so that its base64 and JSON fit one message of
  // the transport (the internet peer's data channel takes 65,536 bytes).
  size_t chunk = 48000;
  // The largest message the transport carries (the data channel's 65,536
  // bytes); 0 for none. Listings and application batches are cut to fit.
  size_t maxMessage = 0;
};
using RequesterPtr = std::shared_ptr<const Requester>;
