#pragma once
// Frames for encoder tests and benchmarks: the test pattern's first frames,
// collected as fast as it draws them, and this process's CPU time.
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "media/TestPattern.h"

namespace ts {

// Frames 1..n of the test pattern at w x h, drawn at `fps`; fewer if it has
// not drawn them within a minute.
inline std::vector<FramePtr> patternFrames(size_t n, int w = 1280, int h = 720, int fps = 500) {
  TestPattern tp;
  tp.width = w;
  tp.height = h;
  std::mutex m;
  std::condition_variable cv;
  std::vector<FramePtr> out;
  tp.onFrame = [&](FramePtr f) {
    std::lock_guard<std::mutex> l(m);
    if (out.size() < n) out.push_back(f);
    cv.notify_all();
  };
  tp.start(fps);
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, std::chrono::seconds(60), [&] { return out.size() >= n; });
  }
  tp.stop();
  std::lock_guard<std::mutex> l(m);
  return out;
}

// User and system CPU seconds of this whole process, every thread included.
inline double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

}  // namespace ts
