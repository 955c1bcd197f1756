#include "rtc/RateControl.h"

#include "rtc/SendRule.h"

#include <algorithm>
#include <cmath>

namespace rtc {

int64_t RateController::fpsFor(int64_t bps) {
  if (bps >= 6000000) return 60;
  if (bps >= 2000000) return 30;
  if (bps >= 1000000) return 20;
  return 12;
}

std::optional<Rate> RateController::open(double now) {
  rate = std::min(maxRate(), startRate());
  if (lastRate && now - lastRate->second < 300000) {
    auto bound = static_cast<int64_t>(static_cast<double>(lastRate->first) * 1.3);
    rate = std::max(floorRate(), std::min(rate, bound));
  }
  rateFps = fpsFor(rate);
  peakBuf = dropsP = dropsK = sentBytes = calm = 0;
  lastDecrease = 0;
  if (!adaptive) return std::nullopt;
  return Rate{rate, rateFps};
}

RateController::Step RateController::adapt(double now, double qd) {
  Step step;
  const int64_t limit = deltaLimit(rate);
  const int64_t drops = dropsP + dropsK;
  const bool congested = peakBuf > limit || qd > 250 || drops > 0;
  auto resetCounters = [this] { peakBuf = dropsP = dropsK = sentBytes = 0; };
  if (!adaptive) {
    resetCounters();
    return step;
  }
  int64_t next = rate;
  if (congested) {
    calm = 0;
    double factor = (qd > 600 || drops > 3) ? 0.6 : 0.75;
    next = std::max(floorRate(), static_cast<int64_t>(static_cast<double>(rate) * factor));
    lastDecrease = now;
  } else {
    ++calm;
    // Raise only when the encoder really used more than half the budget:
    // a still screen says nothing about what the path could carry.
    if (calm >= 3 && now - lastDecrease > 6000 && peakBuf < 40000 && qd < 100 && rate / 2 < sentBytes * 8)
      next = std::min(maxRate(), static_cast<int64_t>(static_cast<double>(rate) * 1.12));
  }
  const int64_t fps = fpsFor(next);
  if (next != rate || fps != rateFps) {
    step.event = nlohmann::json{{"bitrate", next},       {"fps", fps},         {"was_bitrate", rate},
                                {"peak_buf", peakBuf},   {"drops_p", dropsP},  {"drops_key", dropsK},
                                {"qd", static_cast<int64_t>(qd)}, {"congested", congested}};
    rate = next;
    rateFps = fps;
    step.apply = Rate{next, fps};
  }
  lastRate = std::make_pair(rate, now);
  rateLog = {{"bitrate", rate},     {"fps", rateFps},     {"peak_buf", peakBuf},
             {"drops_p", dropsP},   {"drops_key", dropsK}, {"sent_kbps", sentBytes * 8 / 1000}};
  resetCounters();
  return step;
}

double RateController::qdOf(const nlohmann::json& rep, double repAt, double now) {
  if (repAt <= 0 || !(now - repAt < 4000) || !rep.is_object()) return 0;
  auto it = rep.find("qd");
  if (it == rep.end() || !it->is_number()) return 0;
  double qd = it->get<double>();
  if (!std::isfinite(qd)) return 0;
  return std::clamp(qd, 0.0, 60000.0);
}

}  // namespace rtc
