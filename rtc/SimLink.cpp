#include "rtc/SimLink.h"

#include <algorithm>

namespace rtc {

SimLink::SimLink() : rng_(std::random_device{}()) {
  draw = [this] { return std::uniform_real_distribution<double>(0, 100)(rng_); };
}

bool SimLink::blackedOut(double now) const {
  if (!blackout || !t0) return false;
  double since = now - *t0;
  return blackout->first <= since && since < blackout->first + blackout->second;
}

SimLink::Ticket SimLink::hold(size_t bytes, bool binary, double now, std::function<void()> deliver) {
  double t = kbps > 0 ? static_cast<double>(bytes) * 8 / (kbps * 1000) : 0;
  free_ = std::max(now, free_) + t;
  double at = free_ + delayMs / 1000 * 0.5;
  bool lost = binary && lossPct > 0 && draw() < lossPct;
  queueBytes_ += static_cast<int64_t>(bytes);
  held_.push_back({static_cast<int64_t>(bytes), lost, std::move(deliver)});
  return {std::max(0.0, at - now), session_};
}

void SimLink::release(const Ticket& t) {
  if (t.session != session_ || held_.empty()) return;
  // Release times never decrease in the order of hold(), so the oldest is
  // always the one due, whichever timer of equal time fires first.
  Held h = std::move(held_.front());
  held_.pop_front();
  queueBytes_ -= h.bytes;
  if (!h.lost && h.deliver) h.deliver();
}

void SimLink::reset() {
  ++session_;
  held_.clear();
  free_ = 0;
  queueBytes_ = 0;
}

}  // namespace rtc
