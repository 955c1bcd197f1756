#include "session/InputTracker.h"

#include "app/Log.h"

namespace {
// Nobody collects while no frame is being encoded; cut the backlog in large
// steps so a long pause costs one erase, not one per mark.
constexpr size_t kTrimAt = 256;
constexpr size_t kTrimBy = 128;
constexpr size_t kPerFrame = 8;
}  // namespace

void InputTracker::mark(uint32_t id) {
  if (id == 0) return;
  double now = epochMs();
  std::lock_guard<std::mutex> l(lock);
  bool full = items.size() >= kTrimAt;
  items.emplace_back(id, now);
  if (full) items.erase(items.begin(), items.begin() + kTrimBy);
}

std::vector<uint32_t> InputTracker::take(double beforeMs) {
  std::vector<uint32_t> out;
  std::lock_guard<std::mutex> l(lock);
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].second <= beforeMs && out.size() < kPerFrame) {
      out.push_back(items[i].first);
    } else {
      items[kept++] = items[i];
    }
  }
  items.resize(kept);
  return out;
}
