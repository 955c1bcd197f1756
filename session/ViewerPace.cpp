#include "session/ViewerPace.h"

#include <algorithm>
#include <cmath>

std::optional<double> ViewerPace::lasting(const std::deque<Seen>& reports) {
  if (reports.size() < kLastingReports) return std::nullopt;
  double least = reports.front().qd;
  for (const auto& r : reports) least = std::min(least, r.qd);
  return least;
}

std::optional<int64_t> ViewerPace::report(const void* viewer, double qdMs, double now) {
  if (!std::isfinite(qdMs) || !std::isfinite(now)) return std::nullopt;
  auto& mine = viewers_[viewer];
  mine.push_back(Seen{std::max(0.0, qdMs), now});
  while (mine.size() > 1 && now - mine.front().at > kLastingMs) mine.pop_front();

  // Only a viewer's own reports lower the rate: one that went silent while
  // behind must not keep pushing it down. Any fresh one holds it from rising.
  bool calm = true;
  for (auto it = viewers_.begin(); it != viewers_.end();) {
    if (now - it->second.back().at > kStaleMs) {
      it = viewers_.erase(it);
      continue;
    }
    auto d = lasting(it->second);
    if (!d || *d >= kCalmMs) calm = false;
    ++it;
  }
  if (!calm) calmSince_ = now;
  if (full_ <= kMinFps) return std::nullopt;
  const int64_t current = cap_ ? cap_ : full_;
  auto behind = lasting(mine);
  if (behind && *behind > kBehindMs) {
    if (now - lastChange_ < kDownEveryMs || current <= kMinFps) return std::nullopt;
    lastDown_ = now;
    return set(std::max<int64_t>(kMinFps, int64_t(std::floor(current * kDownFactor))), now);
  }
  if (cap_ && now - calmSince_ >= kCalmForMs && now - lastDown_ >= kUpAfterDownMs &&
      now - lastChange_ >= kCalmForMs) {
    int64_t up = int64_t(std::ceil(current * kUpFactor)) + 1;
    return set(up >= full_ ? 0 : up, now);
  }
  return std::nullopt;
}

std::optional<int64_t> ViewerPace::expire(double now) {
  if (!cap_) return std::nullopt;
  for (const auto& [viewer, reports] : viewers_)
    if (now - reports.back().at <= kStaleMs) return std::nullopt;
  reset();
  return 0;
}

void ViewerPace::reset() {
  viewers_.clear();
  cap_ = 0;
  lastChange_ = lastDown_ = calmSince_ = -1e300;
}

std::optional<int64_t> ViewerPace::set(int64_t fps, double now) {
  lastChange_ = now;
  if (fps == cap_) return std::nullopt;
  cap_ = fps;
  return fps;
}
