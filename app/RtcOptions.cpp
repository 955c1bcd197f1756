#include "app/RtcOptions.h"

#include <algorithm>
#include <cmath>
#include <vector>

std::optional<std::pair<double, double>> parseBlackout(const std::string& text) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(':', from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) break;
    from = at + 1;
  }
  if (parts.size() != 2) return std::nullopt;
  auto start = parseDouble(parts[0]), dur = parseDouble(parts[1]);
  if (!start || !dur || !std::isfinite(*start) || !std::isfinite(*dur)) return std::nullopt;
  return std::make_pair(*start, *dur);
}

RtcVideoOptions rtcVideoOptions(const Settings& st) {
  RtcVideoOptions o;
  auto positive = [&st](const char* name, int64_t fallback) {
    auto v = st.optInt(name);
    return v && *v > 0 ? *v : fallback;
  };
  o.rateStart = positive("--rate-start", 3000000);
  o.rateMax = positive("--rate-max", st.bitrate > 0 ? st.bitrate : 8000000);
  o.adaptive = !st.flag("--no-adapt");
  o.legacySend = st.flag("--legacy-send");
  // A negative, infinite or unparsable simulation value means no simulation.
  auto amount = [&st](const char* name, double most) {
    auto v = st.optDouble(name);
    return v && std::isfinite(*v) && *v > 0 ? std::min(*v, most) : 0.0;
  };
  o.simKbps = amount("--sim-kbps", 1e9);
  o.simDelayMs = amount("--sim-delay-ms", 600000);
  o.simLossPct = amount("--sim-loss-pct", 100);
  if (auto b = st.opt("--sim-blackout")) o.simBlackout = parseBlackout(*b);
  return o;
}
