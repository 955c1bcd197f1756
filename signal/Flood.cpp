#include "signal/Flood.h"

#include <algorithm>

bool Bucket::take(double n, int64_t nowMs) {
  if (started_ && nowMs > lastMs_) tokens_ = std::min(burst_, tokens_ + (nowMs - lastMs_) * perSec_ / 1000.0);
  // A clock that steps back refills nothing rather than draining the bucket.
  if (!started_ || nowMs > lastMs_) lastMs_ = nowMs;
  started_ = true;
  if (tokens_ < n) return false;
  tokens_ -= n;
  return true;
}

bool Flood::message(size_t bytes, int64_t nowMs) {
  bool okMsg = msgs_.take(1, nowMs);
  bool okBytes = bytes_.take(static_cast<double>(bytes), nowMs);
  return okMsg && okBytes;
}
