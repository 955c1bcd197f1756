#pragma once
#include <cstdint>
#include <memory>
#include <vector>

// One picture from the screen or the test pattern: 32-bit BGRA (byte order
// B, G, R, A in memory), rows `stride` bytes apart, top row first.
struct Frame {
  int width = 0;
  int height = 0;
  int stride = 0;
  double captureMs = 0;  // wall-clock capture time, ms since the Unix epoch
  std::vector<uint8_t> pixels;

  static std::shared_ptr<Frame> make(int w, int h) {
    auto f = std::make_shared<Frame>();
    f->width = w;
    f->height = h;
    f->stride = w * 4;
    f->pixels.assign(static_cast<size_t>(f->stride) * h, 0);
    return f;
  }
  uint8_t* row(int y) { return pixels.data() + static_cast<size_t>(y) * stride; }
  const uint8_t* row(int y) const { return pixels.data() + static_cast<size_t>(y) * stride; }
};
using FramePtr = std::shared_ptr<const Frame>;
