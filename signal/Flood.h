#pragma once
// Per-socket rate limits of the rendezvous server. Time comes in as an
// argument so the limits can be tested and fuzzed without a clock.
#include <cstddef>
#include <cstdint>

// A token bucket: starts full at `burst`, refills at `perSec`.
class Bucket {
public:
  Bucket(double burst, double perSec) : burst_(burst), perSec_(perSec), tokens_(burst) {}
  // Spends n tokens at time nowMs; false (and nothing spent) when too few are left.
  bool take(double n, int64_t nowMs);

private:
  double burst_, perSec_, tokens_;
  int64_t lastMs_ = 0;
  bool started_ = false;
};

struct FloodLimits {
  // Any message: a host relays an offer and a burst of candidates per phone,
  // so the burst is generous; the sustained rate is not.
  double msgBurst = 200, msgPerSec = 50;
  double byteBurst = 1 << 20, bytePerSec = 256 << 10;
  // A join costs the host a whole peer set-up; a page rejoins a few times at most.
  double joinBurst = 5, joinPerSec = 0.25;
};

class Flood {
public:
  explicit Flood(const FloodLimits& l = {})
      : msgs_(l.msgBurst, l.msgPerSec), bytes_(l.byteBurst, l.bytePerSec), joins_(l.joinBurst, l.joinPerSec) {}
  // Every message received; false means the socket is flooding.
  bool message(size_t bytes, int64_t nowMs);
  bool join(int64_t nowMs) { return joins_.take(1, nowMs); }

private:
  Bucket msgs_, bytes_, joins_;
};
