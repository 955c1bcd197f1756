#pragma once
// Whether a video frame goes onto the data channel, decided from the bytes
// already queued before anything is copied. A data channel gives no other
// congestion signal, so a backed-up queue means dropping frames, and any
// dropped frame means the next one the phone sees must be a key frame.
#include <cstddef>
#include <cstdint>

namespace rtc {

struct SendInput {
  uint64_t queued = 0;  // channel's buffered bytes plus the simulated link's
  bool key = false;
  bool needKey = false;  // the connection's flag
  int64_t rate = 0;      // current target bits per second
  bool legacy = false;
  size_t size = 0;  // packet bytes
};

struct SendDecision {
  bool send = false;
  bool needKey = false;  // the connection's flag afterwards
  int dropsP = 0, dropsK = 0;
  bool askKeyNow = false;  // raise onNeedKey at once (the legacy rule)
};

// Bytes queued above which a delta frame is dropped at the given rate; key
// frames may go up to 2.5 times that.
int64_t deltaLimit(int64_t rate);

SendDecision decideSend(const SendInput& in);

}  // namespace rtc
