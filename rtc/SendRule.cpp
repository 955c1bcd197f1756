#include "rtc/SendRule.h"

#include "rtc/VideoChunks.h"

#include <algorithm>

namespace rtc {

int64_t deltaLimit(int64_t rate) { return std::max<int64_t>(60000, rate / 32); }

SendDecision decideSend(const SendInput& in) {
  SendDecision d;
  d.needKey = in.needKey;
  // Waiting for a key frame: deltas could not be decoded anyway.
  if (in.needKey && !in.key) return d;
  if (!chunkCount(in.size)) {
    d.needKey = true;
    return d;
  }
  const auto q = static_cast<int64_t>(std::min<uint64_t>(in.queued, INT64_MAX));
  if (!in.legacy) {
    int64_t limit = deltaLimit(in.rate);
    if (!in.key && q > limit) {
      d.needKey = true;
      d.dropsP = 1;
      return d;
    }
    if (in.key && q > limit * 5 / 2) {
      d.needKey = true;
      d.dropsK = 1;
      return d;
    }
  } else {
    if (!in.key && q > 400000) {
      d.needKey = true;
      d.askKeyNow = true;
      return d;
    }
    // Without needKey here the deltas after a dropped key frame would go
    // out and show garbage until the next key frame.
    if (q > 3000000) {
      d.needKey = true;
      d.askKeyNow = true;
      return d;
    }
  }
  if (in.key) d.needKey = false;
  d.send = true;
  return d;
}

}  // namespace rtc
