#pragma once
// The command-line options of the internet transport's data-channel video.
#include "app/Settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The video track's options. A bad value never stalls the track: it falls
// back to the default or is clamped, and `notes` holds one log line for each
// such correction.
struct RtcTrackOptions {
  std::string videoMode = "auto";      // "auto", "dc", "track"
  std::string degradation = "balanced";
  bool screencastHint = true;
  int64_t maxBps = 8000000, startBps = 3000000, minBps = 300000;
  int64_t fps = 60;
  std::vector<std::string> notes;
};

RtcTrackOptions rtcTrackOptions(const Settings& st);
