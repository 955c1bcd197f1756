#pragma once
// The video track's congestion control. webrtcbin neither encodes nor
// estimates bandwidth, so this stands in for a WebRTC stack's own: fed by
// transport-wide congestion-control feedback and RTCP receiver reports, it
// moves the track encoder between the configured bounds and, when the rate
// is low, gives up resolution or frame rate as the degradation preference
// says. Times are ms passed in, so tests drive it with their own clock.
#include <cstdint>
#include <optional>
#include <string>

namespace rtc {

struct TrackFeedback {
  double atMs = 0;
  // From the RTP session's "twcc-stats": what the phone received and the
  // share of packets it reported lost (0..1), over the last feedback
  // interval, and how much the packets' one-way delay grew over it in ms
  // (queues filling; 0 or less when they do not): the sum of the packets'
  // delta-of-delta, i.e. "avg-delta-of-delta" (ns) times the packets received
  // less one, over 1e6.
  std::optional<double> twccRecvBps, twccSentBps, twccLoss, twccDelayMs;
  // From the phone's receiver reports: fraction lost (0..1), round trip.
  std::optional<double> rrLoss, rttMs, jitterMs;
};

struct TrackRateConfig {
  // Bounds as given on the command line; the controller clamps them itself
  // (0 or below = default, minimum above maximum = the maximum).
  int64_t minBps = 300000, startBps = 3000000, maxBps = 8000000;
  int64_t maxFps = 60;
  std::string degradation = "balanced";  // or "maintain-resolution", "maintain-framerate"
  bool screencast = true;                // "balanced" keeps resolution longer
};

struct TrackTarget {
  int64_t bps = 0;
  int64_t fps = 0;
  double scale = 1.0;  // share of width and height encoded
  bool operator==(const TrackTarget&) const = default;
};

class TrackRate {
public:
  explicit TrackRate(TrackRateConfig cfg = {});
  const TrackRateConfig& config() const { return cfg_; }
  // The target at a switch to the track: min(start, max), full size, max fps.
  TrackTarget reset();
  // A change of target, or none.
  std::optional<TrackTarget> feed(const TrackFeedback& fb);
  const TrackTarget& target() const { return cur_; }

private:
  // The frame rate and size that suit a bit rate under the preference.
  TrackTarget shape(double bps) const;

  TrackRateConfig cfg_;
  TrackTarget cur_;
  double bps_ = 0;  // unrounded, so that small steps add up
  double lastDecrease_ = -1e18;
  std::optional<double> lastFeed_;
  double queueMs_ = 0;  // the bottleneck's queue as the delay growth adds up
};

}  // namespace rtc
