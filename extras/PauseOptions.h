#pragma once
// The pause watch's command-line options, read once when the watch starts.
#include "app/Settings.h"

struct PauseOptions {
  double idleResumeSec = 600;  // "--idle-resume-sec"
  double watchEvery = 30;      // "--pause-watch-every"
  bool ignoreVideo = false;    // "--test-ignore-video"
};

// Values that are not finite decimal numbers keep their defaults; the watch
// period is at least 0.1 s, so a zero or negative one cannot spin the loop.
PauseOptions readPauseOptions(const Settings& s);
