#include "media/OutSize.h"

#include <algorithm>
#include <cmath>

namespace {
int evenAtLeast2(double v) {
  if (!std::isfinite(v) || v < 2) return 2;
  if (v > 1 << 20) v = 1 << 20;  // no display is wider; keeps the int conversion sound
  int i = static_cast<int>(v);
  i -= i % 2;
  return std::max(i, 2);
}
}  // namespace

OutSize outSize(double pixelW, double pixelH, double pointW, double pointH,
                const std::optional<Rect>& crop, int maxWidth, int maxLong) {
  if (!(pixelW >= 1) || !(pixelH >= 1)) {
    pixelW = std::max(pointW, 1.0);
    pixelH = std::max(pointH, 1.0);
  }
  if (!crop) {
    double w = std::min<double>(std::max(maxWidth, 2), pixelW);
    double h = std::round(pixelH * w / pixelW);
    return {evenAtLeast2(w), evenAtLeast2(h)};
  }
  double sx = pixelW / std::max(pointW, 1.0);
  double sy = pixelH / std::max(pointH, 1.0);
  double cw = crop->w * sx, ch = crop->h * sy;
  double longer = std::max(cw, ch);
  double scale = longer > 0 ? std::min(std::max(maxLong, 2) / longer, 1.0) : 1.0;
  return {evenAtLeast2(std::round(cw * scale)), evenAtLeast2(std::round(ch * scale))};
}
