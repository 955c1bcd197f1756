#include "rtc/TrackRate.h"

#include "app/Log.h"

#include <algorithm>
#include <cmath>

namespace rtc {

namespace {

constexpr int64_t kDefaultMin = 300000, kDefaultStart = 3000000, kDefaultMax = 8000000;
constexpr int64_t kDefaultFps = 60;

// Loss over a feedback interval: above this the link is overrun; below the
// lower mark it has room.
constexpr double kLossHigh = 0.10, kLossLow = 0.02;
// Growth of the one-way delay over an interval: queues building up before any
// packet is lost.
constexpr double kDelayHigh = 40, kDelayLow = 10;
constexpr double kBackOff = 0.85;
// The queue estimate (ms) above which the link is overrun and below which
// there is room.
constexpr double kQueueHigh = 80, kQueueLow = 20, kQueueLeakPerSecond = 5;
// A sender below this share of its target is limited by its screen.
constexpr double kQuietShare = 0.7;
// After a decrease the link needs time to drain before probing upwards again.
constexpr double kHoldMs = 3000;
// A decrease shows in the feedback a round trip later at the earliest.
constexpr double kDecreaseGapMs = 300;
constexpr double kGrowthPerSecond = 1.08;
constexpr double kMaxGapMs = 5000;
// Probing far above what actually arrived only finds the limit by loss.
constexpr double kAboveReceived = 1.5;

// Below this rate a full-size, full-rate picture turns to mush: the
// degradation preference decides what to give up.
constexpr double kFullBps = 1500000;
constexpr int64_t kMinFps = 5;
// Each step restarts the encoder with a key frame, so only a few sizes.
constexpr double kScales[] = {1.0, 0.75, 0.5, 0.375, 0.25};
constexpr double kScaleUpMargin = 1.07;  // about 15 % more bits per pixel

std::optional<double> share(const std::optional<double>& v) {
  if (!v || !std::isfinite(*v) || *v < 0) return std::nullopt;
  return std::min(*v, 1.0);
}

std::optional<double> positive(const std::optional<double>& v) {
  if (!v || !std::isfinite(*v) || *v <= 0) return std::nullopt;
  return v;
}

// The largest size step the wanted share of width affords; going back up
// needs a margin so that a rate hovering at a boundary does not restart the
// encoder on every feedback.
double scaleStep(double want, double prev) {
  double down = kScales[std::size(kScales) - 1];
  for (double s : kScales)
    if (s <= want) {
      down = s;
      break;
    }
  if (down <= prev) return down;
  for (double s : kScales)
    if (s > prev && s * kScaleUpMargin <= want) return s;
  return prev;
}

}  // namespace

TrackRate::TrackRate(TrackRateConfig cfg) : cfg_(std::move(cfg)) {
  const TrackRateConfig given = cfg_;
  if (cfg_.minBps <= 0) cfg_.minBps = kDefaultMin;
  if (cfg_.startBps <= 0) cfg_.startBps = kDefaultStart;
  if (cfg_.maxBps <= 0) cfg_.maxBps = kDefaultMax;
  if (cfg_.maxFps <= 0) cfg_.maxFps = kDefaultFps;
  if (cfg_.minBps > cfg_.maxBps) cfg_.minBps = cfg_.maxBps;
  if (cfg_.degradation != "maintain-resolution" && cfg_.degradation != "maintain-framerate")
    cfg_.degradation = "balanced";
  if (given.minBps != cfg_.minBps || given.startBps != cfg_.startBps || given.maxBps != cfg_.maxBps ||
      given.maxFps != cfg_.maxFps)
    logf("[rtc] トラックの帯域設定を補正しました min=" + std::to_string(cfg_.minBps) +
         " start=" + std::to_string(cfg_.startBps) + " max=" + std::to_string(cfg_.maxBps) +
         " fps=" + std::to_string(cfg_.maxFps));
  reset();
}

TrackTarget TrackRate::reset() {
  bps_ = double(std::clamp(std::min(cfg_.startBps, cfg_.maxBps), cfg_.minBps, cfg_.maxBps));
  lastDecrease_ = -1e18;
  lastFeed_.reset();
  queueMs_ = 0;
  cur_ = TrackTarget{};
  cur_ = shape(bps_);
  return cur_;
}

std::optional<TrackTarget> TrackRate::feed(const TrackFeedback& fb) {
  const double at = fb.atMs;
  // Receiver reports alone may come seconds apart; a longer silence says
  // nothing about the link, so it earns no more than a few seconds' growth.
  const double dt = lastFeed_ ? std::clamp(at - *lastFeed_, 0.0, kMaxGapMs) : 0.0;
  lastFeed_ = at;

  double loss = 0;
  if (auto l = share(fb.twccLoss)) loss = std::max(loss, *l);
  if (auto l = share(fb.rrLoss)) loss = std::max(loss, *l);
  double delay = 0;
  if (fb.twccDelayMs && std::isfinite(*fb.twccDelayMs)) delay = *fb.twccDelayMs;
  const auto received = positive(fb.twccRecvBps);
  const auto sent = positive(fb.twccSentBps);
  const auto rtt = positive(fb.rttMs);
  // A slow climb fills the bottleneck's queue a few ms per interval, never
  // enough to trip the per-interval mark, and a full queue then only shows
  // as steady loss: add the growth up into a queue estimate. It leaks a
  // little so that measurement noise does not build one up over time.
  queueMs_ = std::max(0.0, queueMs_ + delay - kQueueLeakPerSecond * dt / 1000);

  const double lo = double(cfg_.minBps), hi = double(cfg_.maxBps);
  if (loss > kLossHigh || delay > kDelayHigh || queueMs_ > kQueueHigh) {
    if (at - lastDecrease_ >= std::max(kDecreaseGapMs, rtt.value_or(0))) {
      // What got through is the best estimate of the link. A quiet screen
      // sends less than its target, though, and what arrived then says
      // little: a step of its sender never more than halves the rate.
      const bool quiet = sent && *sent < kQuietShare * bps_;
      double base = received ? std::min(*received, bps_) : bps_;
      double next = kBackOff * base;
      if (quiet || !received) next = std::max(next, bps_ / 2);
      bps_ = std::clamp(next, lo, hi);
      lastDecrease_ = at;
      // Below what arrived the queue drains: only new growth counts again.
      queueMs_ = 0;
    }
  } else if (loss < kLossLow && delay < kDelayLow && queueMs_ < kQueueLow && at - lastDecrease_ >= kHoldMs) {
    double next = bps_ * std::pow(kGrowthPerSecond, dt / 1000.0);
    if (received) next = std::min(next, std::max(bps_, kAboveReceived * *received));
    bps_ = std::clamp(next, lo, hi);
  }

  TrackTarget t = shape(bps_);
  if (t == cur_) return std::nullopt;
  cur_ = t;
  return cur_;
}

TrackTarget TrackRate::shape(double bps) const {
  TrackTarget t;
  t.bps = static_cast<int64_t>(std::llround(bps));
  const double maxFps = double(cfg_.maxFps);
  const double minShare = std::min(1.0, double(kMinFps) / maxFps);
  const double r = bps / kFullBps;
  // Shares of the frame rate and of the pixel count that together fit r.
  double fpsShare = 1, pixelShare = r;
  if (cfg_.degradation == "maintain-resolution") {
    fpsShare = std::clamp(r, minShare, 1.0);
    pixelShare = 1e9;  // never smaller
  } else if (cfg_.degradation == "balanced") {
    // Text wants its sharpness: a screencast gives up frame rate down to a
    // quarter before it loses pixels; moving pictures split the loss.
    double floor = cfg_.screencast ? std::max(minShare, 0.25) : minShare;
    fpsShare = std::clamp(cfg_.screencast ? r : std::sqrt(r), std::min(floor, 1.0), 1.0);
    pixelShare = r / fpsShare;
  }
  t.fps = std::clamp<int64_t>(std::llround(maxFps * fpsShare), std::min(kMinFps, cfg_.maxFps),
                              cfg_.maxFps);
  t.scale = scaleStep(std::sqrt(std::max(pixelShare, 0.0)), cur_.scale > 0 ? cur_.scale : 1.0);
  return t;
}

}  // namespace rtc
