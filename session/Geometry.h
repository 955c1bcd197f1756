#pragma once
#include <algorithm>

struct Point {
  double x = 0, y = 0;
};

// A desktop rectangle in pixels, origin top-left (X11 root coordinates).
struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  double maxX() const { return x + w; }
  double maxY() const { return y + h; }
  Point centre() const { return {x + w / 2, y + h / 2}; }
  bool empty() const { return w <= 0 || h <= 0; }
};

inline double clamp01(double v) { return v < 0 ? 0 : (v > 1 ? 1 : (v == v ? v : 0)); }
