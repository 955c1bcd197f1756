#include "extras/PauseOptions.h"

#include <algorithm>
#include <cmath>

namespace {

double finiteOr(const Settings& s, const char* name, double fallback) {
  auto v = s.optDouble(name);
  return v && std::isfinite(*v) ? *v : fallback;
}

}  // namespace

PauseOptions readPauseOptions(const Settings& s) {
  PauseOptions o;
  o.idleResumeSec = finiteOr(s, "--idle-resume-sec", o.idleResumeSec);
  o.watchEvery = std::max(0.1, finiteOr(s, "--pause-watch-every", o.watchEvery));
  o.ignoreVideo = s.flag("--test-ignore-video");
  return o;
}
