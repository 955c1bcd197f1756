#pragma once
#include <optional>

#include "session/Geometry.h"

struct OutSize {
  int width = 0;
  int height = 0;
};

// Size of the frames sent to the encoder, always even and at least 2x2.
// pixelW/H is the display's physical size, pointW/H its size in desktop points
// (equal under X); crop is in points from the display's top-left corner.
// Whole display: at most maxWidth wide, height by aspect. Crop: its pixel
// size, scaled down so the longer side is at most maxLong.
OutSize outSize(double pixelW, double pixelH, double pointW, double pointH,
                const std::optional<Rect>& crop, int maxWidth, int maxLong);
