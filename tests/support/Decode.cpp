#include "support/Decode.h"

#include "support/TestSupport.h"

#include <cstdlib>

namespace ts {

Rgb Decoded::at(size_t frame, int x, int y) const {
  const auto& f = frames.at(frame);
  size_t i = (static_cast<size_t>(y) * width + x) * 3;
  return {f.at(i), f.at(i + 1), f.at(i + 2)};
}

Decoded decodeH264(const std::string& path, int width, int height) {
  Decoded d;
  d.width = width;
  d.height = height;
  std::string raw = path + ".rgb";
  d.warnings = run("ffmpeg -nostdin -v warning -f h264 -i '" + path + "' -f rawvideo -pix_fmt rgb24 -y '" + raw +
                   "' 2>&1");
  std::string bytes = readFile(raw);
  size_t frameSize = static_cast<size_t>(width) * height * 3;
  for (size_t at = 0; frameSize && at + frameSize <= bytes.size(); at += frameSize)
    d.frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + frameSize));
  std::remove(raw.c_str());
  return d;
}

bool near(Rgb a, Rgb b, int tol) {
  return std::abs(a.r - b.r) <= tol && std::abs(a.g - b.g) <= tol && std::abs(a.b - b.b) <= tol;
}

}  // namespace ts
