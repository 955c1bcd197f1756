#pragma once
// Lets frames through at no more than a given average rate. Credit carries
// over, so a rate between two of the source's own (45 of a 60 Hz source) is
// met by taking three frames of four instead of rounding down to one of two.
class FrameGate {
public:
  // Frames per second; 0 or less lets every frame through.
  void setRate(double fps);
  double rate() const { return fps_; }
  // Whether a frame offered at `now` (seconds on a monotonic clock) passes.
  bool admit(double now);

private:
  double fps_ = 0;
  double interval_ = 0;
  double due_ = -1e300;  // earliest time the next frame may pass
};
