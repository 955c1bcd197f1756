#pragma once
// The command-line options of the internet transport's data-channel video.
#include "app/Settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

struct RtcVideoOptions {
  int64_t rateStart = 3000000;
  int64_t rateMax = 8000000;
  bool adaptive = true;
  bool legacySend = false;
  double simKbps = 0, simDelayMs = 0, simLossPct = 0;
  std::optional<std::pair<double, double>> simBlackout;
};

// "start:duration" in seconds; nothing unless exactly two numbers.
std::optional<std::pair<double, double>> parseBlackout(const std::string& text);

// Rates of 0 or below fall back to their defaults ("--rate-max" defaults to
// the encoder's "--bitrate"), so the encoder is never asked for 0 bit/s.
RtcVideoOptions rtcVideoOptions(const Settings& st);
