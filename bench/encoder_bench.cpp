// Encoder cost per frame at the usual screen sizes for the candidate x264
// presets, on test-pattern content: wall time from handing a frame to the
// encoder to its output (BGRA->I420 conversion included) and process CPU time
// (x264's slice threads included). Usage: encoder_bench [frames]
#include "media/H264Encoder.h"
#include "media/TestPattern.h"
#include "session/InputTracker.h"
#include "support/PatternFrames.h"

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

struct Result {
  double msPerFrame, cpuMsPerFrame, bytesPerFrame;
};

Result run(const char* preset, const std::vector<FramePtr>& frames, int w, int h) {
  H264Encoder enc(std::make_shared<InputTracker>(), preset);
  std::mutex m;
  std::condition_variable cv;
  size_t done = 0, bytes = 0;
  enc.onFrame = [&](std::vector<uint8_t> b, bool, double, std::vector<uint32_t>) {
    std::lock_guard<std::mutex> l(m);
    ++done;
    bytes += b.size();
    cv.notify_all();
  };
  enc.start(w, h, 60, 8000000);
  // Warm-up: the first key frame and x264's thread start-up.
  for (size_t i = 0; i < 5; ++i) enc.encode(frames[i]);
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return done >= 5; });
    done = 0;
    bytes = 0;
  }
  double cpu0 = ts::processCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 5; i < frames.size(); ++i) enc.encode(frames[i]);
  size_t n = frames.size() - 5;
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return done >= n; });
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double cpu = ts::processCpuSeconds() - cpu0;
  enc.stop();
  return {wall * 1000 / n, cpu * 1000 / n, double(bytes) / n};
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 185;
  if (count < 10) count = 10;
  std::printf("%u cores; %zu frames per run, 8 Mbit/s at 60 fps, tune zerolatency\n",
              std::thread::hardware_concurrency(), count - 5);
  std::printf("%-10s %-10s %12s %12s %12s\n", "size", "preset", "ms/frame", "cpu ms/frame",
              "bytes/frame");
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
    auto frames = ts::patternFrames(count, w, h, 1000);
    for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
      Result r = run(preset, frames, w, h);
      char size[24];
      std::snprintf(size, sizeof size, "%dx%d", w, h);
      std::printf("%-10s %-10s %12.2f %12.2f %12.0f\n", size, preset, r.msPerFrame, r.cpuMsPerFrame,
                  r.bytesPerFrame);
      std::fflush(stdout);
    }
  }
  return 0;
}
