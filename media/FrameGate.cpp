#include "media/FrameGate.h"

#include <algorithm>
#include <cmath>

void FrameGate::setRate(double fps) {
  fps_ = std::isfinite(fps) && fps > 0 ? fps : 0;
  interval_ = fps_ > 0 ? 1.0 / fps_ : 0;
  due_ = -1e300;
}

bool FrameGate::admit(double now) {
  if (interval_ <= 0) return true;
  // Sources tick with some jitter: a frame a hair early still counts as on time.
  if (now < due_ - 0.05 * interval_) return false;
  // Half an interval of credit at most, so a pause is not made up with a burst.
  due_ = std::max(due_, now - 0.5 * interval_) + interval_;
  return true;
}
