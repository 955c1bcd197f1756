// The video track's cost per frame on test-pattern content: copying the
// picture, drawing the frame-number strip and encoding with the track's own
// encoder, one frame after another as the "trk" queue does. Wall time per
// frame and process CPU time per frame (x264's slice threads included), at
// full size and at the rate controller's smaller sizes.
// Usage: track_pipeline_bench [frames]
#include "media/TestPattern.h"
#include "rtc/TrackPipeline.h"
#include "session/InputTracker.h"
#include "support/PatternFrames.h"

#include <sys/resource.h>

#include <atomic>
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

Result run(const std::vector<FramePtr>& frames, double scale) {
  TrackPipeline pipe(std::make_shared<InputTracker>());
  // A clock 100 ms further on at every frame: nothing is paced away.
  std::atomic<double> ms{0};
  pipe.clockMs = [&] { return ms.fetch_add(50) + 50; };
  std::atomic<size_t> bytes{0};
  pipe.onSample = [&](std::vector<uint8_t> au, bool, double) { bytes += au.size(); };
  pipe.setRate(8000000, 60, scale);
  // Warm-up: the encoder's start and first key frame.
  for (size_t i = 0; i < 5; ++i) {
    pipe.push(frames[i]);
    pipe.waitIdle();
  }
  bytes = 0;
  const size_t n = frames.size() - 5;
  double cpu0 = ts::processCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 5; i < frames.size(); ++i) {
    pipe.push(frames[i]);
    pipe.waitIdle();
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double cpu = ts::processCpuSeconds() - cpu0;
  return {wall * 1000 / n, cpu * 1000 / n, double(bytes) / n};
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 125;
  if (count < 10) count = 10;
  std::printf("%u cores; %zu frames per run, 8 Mbit/s, 60 fps budget, superfast zerolatency\n",
              std::thread::hardware_concurrency(), count - 5);
  std::printf("%-10s %6s %12s %12s %12s\n", "capture", "scale", "ms/frame", "cpu ms/frame",
              "bytes/frame");
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
    auto frames = ts::patternFrames(count, w, h, 1000);
    for (double scale : {1.0, 0.75, 0.5}) {
      Result r = run(frames, scale);
      char size[24];
      std::snprintf(size, sizeof size, "%dx%d", w, h);
      std::printf("%-10s %6.2f %12.2f %12.2f %12.0f\n", size, scale, r.msPerFrame, r.cpuMsPerFrame,
                  r.bytesPerFrame);
      std::fflush(stdout);
    }
  }
  return 0;
}
