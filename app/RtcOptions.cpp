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

RtcTrackOptions rtcTrackOptions(const Settings& st) {
  RtcTrackOptions o;
  std::string mode = st.opt("--video").value_or("auto");
  o.videoMode = (mode == "dc" || mode == "track") ? mode : "auto";
  std::string deg = st.opt("--degradation").value_or("balanced");
  o.degradation = (deg == "maintain-resolution" || deg == "maintain-framerate") ? deg : "balanced";
  o.screencastHint = st.opt("--content-hint").value_or("text") != "motion";

  // Above this the encoder's figures stop meaning anything; the cap also
  // keeps kbps x 1000 far from overflowing.
  constexpr int64_t kMostKbps = 1000000;
  auto kbps = [&](const char* name, int64_t fallback) -> int64_t {
    auto text = st.opt(name);
    if (!text) return fallback * 1000;
    auto v = parseInt(*text);
    if (!v || *v <= 0) {
      o.notes.push_back(std::string("[rtc] ") + name + " の値が不正です (" + *text + ")。既定値 " +
                        std::to_string(fallback) + " を使います");
      return fallback * 1000;
    }
    if (*v > kMostKbps) {
      o.notes.push_back(std::string("[rtc] ") + name + " が大きすぎます (" + *text + ")。" +
                        std::to_string(kMostKbps) + " に制限します");
      return kMostKbps * 1000;
    }
    return *v * 1000;
  };
  o.maxBps = kbps("--track-max-kbps", 8000);
  o.startBps = kbps("--track-start-kbps", 3000);
  o.minBps = kbps("--track-min-kbps", 300);
  if (o.minBps > o.maxBps) {
    o.notes.push_back("[rtc] --track-min-kbps が --track-max-kbps を超えています。最小値を " +
                      std::to_string(o.maxBps / 1000) + " に揃えます");
    o.minBps = o.maxBps;
  }
  if (o.startBps > o.maxBps || o.startBps < o.minBps) {
    int64_t to = std::clamp(o.startBps, o.minBps, o.maxBps);
    o.notes.push_back("[rtc] --track-start-kbps が範囲外です。" + std::to_string(to / 1000) + " にします");
    o.startBps = to;
  }
  if (auto text = st.opt("--track-fps")) {
    auto v = parseInt(*text);
    if (!v || *v <= 0) {
      o.notes.push_back("[rtc] --track-fps の値が不正です (" + *text + ")。既定値 60 を使います");
    } else if (*v > 240) {
      o.notes.push_back("[rtc] --track-fps が大きすぎます (" + *text + ")。240 に制限します");
      o.fps = 240;
    } else {
      o.fps = *v;
    }
  }
  return o;
}
