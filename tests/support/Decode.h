#pragma once
// Decoding the host's H.264 with Debian's ffmpeg, an independent decoder.
#include <cstdint>
#include <string>
#include <vector>

namespace ts {

struct Rgb {
  int r, g, b;
};

struct Decoded {
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> frames;  // rgb24
  std::string warnings;                      // ffmpeg's stderr at -v warning
  Rgb at(size_t frame, int x, int y) const;
};

Decoded decodeH264(const std::string& path, int width, int height);
bool near(Rgb a, Rgb b, int tolerance = 14);

}  // namespace ts
