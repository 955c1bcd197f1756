#pragma once
// The data-channel video's own congestion control: once a second it turns
// queue growth, dropped frames, the phone's reported delay and the bytes the
// encoder really produced into a bit rate and frame rate for the encoder.
// Times are ms since 1970, passed in so the rules can be driven by a test.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace rtc {

using Rate = std::pair<int64_t, int64_t>;  // bits per second, frames per second

class RateController {
public:
  static constexpr int64_t kDefaultStart = 3000000;
  static constexpr int64_t kDefaultMax = 8000000;

  // Configuration; a value of 0 or below means the default.
  int64_t rateStart = kDefaultStart;
  int64_t rateMax = kDefaultMax;
  bool adaptive = true;

  // State, carried across sessions.
  int64_t rate = kDefaultStart;
  int64_t rateFps = 30;
  int64_t peakBuf = 0, dropsP = 0, dropsK = 0, sentBytes = 0;
  int64_t calm = 0;
  double lastDecrease = 0;
  std::optional<std::pair<int64_t, double>> lastRate;  // bps, when
  nlohmann::json rateLog = nlohmann::json::object();

  static int64_t fpsFor(int64_t bps);
  int64_t maxRate() const { return rateMax > 0 ? rateMax : kDefaultMax; }
  int64_t startRate() const { return rateStart > 0 ? rateStart : kDefaultStart; }
  // Never above the ceiling, even when the ceiling is set very low.
  int64_t floorRate() const { return std::min<int64_t>(400000, maxRate()); }

  // The control channel opened: the rate to hand the encoder (none when
  // adaptation is off).
  std::optional<Rate> open(double now);

  struct Step {
    std::optional<nlohmann::json> event;  // fields of the "rate" journal event
    std::optional<Rate> apply;
  };
  Step adapt(double now, double qd);

  // The phone's "qd" (ms of extra delay) from its last report, 0 when the
  // report is stale or the value unusable; bounded because it is the phone's.
  static double qdOf(const nlohmann::json& rep, double repAt, double now);
};

}  // namespace rtc
