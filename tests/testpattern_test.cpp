// ctest-labels: unit
#include "app/Log.h"
#include "media/TestPattern.h"
#include "support/TestSupport.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Rgb {
  int r, g, b;
};

// Pixel at (x, y) counted from the top-left, as the phone sees it.
Rgb at(const Frame& f, int x, int y) {
  const uint8_t* p = f.row(y) + x * 4;
  return {p[2], p[1], p[0]};
}

::testing::AssertionResult near(Rgb got, double r, double g, double b, int tol = 2) {
  int er = int(std::lround(r * 255)), eg = int(std::lround(g * 255)), eb = int(std::lround(b * 255));
  if (std::abs(got.r - er) <= tol && std::abs(got.g - eg) <= tol && std::abs(got.b - eb) <= tol)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << got.r << "," << got.g << "," << got.b
                                       << ") want (" << er << "," << eg << "," << eb << ")";
}

// Collects the frames a pattern delivers; `each` runs on the pattern's queue
// with the frame's 1-based number, between two ticks.
class Collector {
public:
  explicit Collector(TestPattern& tp, std::function<void(int)> each = {}) : each_(std::move(each)) {
    tp.onFrame = [this](FramePtr f) {
      int n;
      {
        std::lock_guard<std::mutex> l(m_);
        frames_.push_back(f);
        n = int(frames_.size());
      }
      if (each_) each_(n);
      cv_.notify_all();
    };
  }
  // The first n frames, or fewer after a minute.
  std::vector<FramePtr> wait(size_t n) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait_for(l, 60s, [&] { return frames_.size() >= n; });
    return {frames_.begin(), frames_.begin() + std::min(n, frames_.size())};
  }
  size_t count() {
    std::lock_guard<std::mutex> l(m_);
    return frames_.size();
  }

private:
  std::function<void(int)> each_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<FramePtr> frames_;
};

// Frames 1..n of a pattern at a fast tick rate.
std::vector<FramePtr> firstFrames(TestPattern& tp, size_t n, std::function<void(int)> each = {}) {
  Collector c(tp, std::move(each));
  tp.start(200);
  auto frames = c.wait(n);
  tp.stop();
  tp.onFrame = nullptr;  // the collector dies here
  return frames;
}

// A PNG of w x h whose pixels come from fn(x, y) as premultiplied ARGB.
std::string writePng(const std::string& path, int w, int h, uint32_t (*fn)(int, int)) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_surface_flush(s);
  auto* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) reinterpret_cast<uint32_t*>(data + y * stride)[x] = fn(x, y);
  cairo_surface_mark_dirty(s);
  cairo_surface_write_to_png(s, path.c_str());
  cairo_surface_destroy(s);
  return path;
}

}  // namespace

TEST(TestPattern, BarsCounterAndCrosshairFollowTheFrameNumberAndPointer) {
  TestPattern tp;
  {
    std::lock_guard<std::mutex> l(tp.lock);
    tp.px = 0.25;
    tp.py = 0.75;
  }
  double before = epochMs();
  auto frames = firstFrames(tp, 5);
  ASSERT_EQ(frames.size(), 5u);
  const Frame& f = *frames[4];  // frame number 5 = bits 0 and 2
  ASSERT_EQ(f.width, 1280);
  ASSERT_EQ(f.height, 720);
  EXPECT_EQ(f.stride, 1280 * 4);
  EXPECT_GE(f.captureMs, before);
  EXPECT_LE(f.captureMs, epochMs());
  EXPECT_LT(frames[0]->captureMs, frames[4]->captureMs);

  // Background above the bars, opaque.
  EXPECT_TRUE(near(at(f, 640, 40), 0.08, 0.10, 0.16));
  EXPECT_EQ(f.row(40)[640 * 4 + 3], 255);

  // Bar i of frame 5 starts at x = 30 + 80i, 60 wide, from 0.14H to 0.86H.
  for (int i = 0; i < 16; ++i) {
    double k = std::sin(5 / 20.0 + i);
    int x = 30 + 80 * i + 30;
    EXPECT_TRUE(near(at(f, x, 200), 0.5 + 0.5 * k, 0.4, 0.5 - 0.5 * k)) << "bar " << i;
    EXPECT_TRUE(near(at(f, x, 0.14 * 720 + 3), 0.5 + 0.5 * k, 0.4, 0.5 - 0.5 * k)) << "bar " << i;
    EXPECT_TRUE(near(at(f, x, 0.14 * 720 - 3), 0.08, 0.10, 0.16)) << "above bar " << i;
  }
  // Between bars 0 and 1.
  EXPECT_TRUE(near(at(f, 100, 200), 0.08, 0.10, 0.16));

  // Counter: 24 px squares at x = 20 + 30j, 20 px above the bottom edge.
  int cy = 720 - 20 - 12;
  EXPECT_TRUE(near(at(f, 32, cy), 1, 1, 1));
  EXPECT_TRUE(near(at(f, 62, cy), 0.08, 0.10, 0.16));
  EXPECT_TRUE(near(at(f, 92, cy), 1, 1, 1));
  for (int j = 3; j < 16; ++j) EXPECT_TRUE(near(at(f, 32 + 30 * j, cy), 0.08, 0.10, 0.16)) << j;
  EXPECT_TRUE(near(at(f, 20, 720 - 20 - 1), 1, 1, 1));
  EXPECT_TRUE(near(at(f, 20, 720 - 20 + 1), 0.08, 0.10, 0.16));
  // Frame 4 has only bit 2.
  EXPECT_TRUE(near(at(*frames[3], 32, cy), 0.08, 0.10, 0.16));
  EXPECT_TRUE(near(at(*frames[3], 92, cy), 1, 1, 1));

  // Crosshair centred at (0.25 W, 0.75 H) from the top-left: 60 px arms, 4 px wide.
  EXPECT_TRUE(near(at(f, 320 + 25, 540), 1, 1, 0));
  EXPECT_TRUE(near(at(f, 320 - 25, 540), 1, 1, 0));
  EXPECT_TRUE(near(at(f, 320, 540 - 25), 1, 1, 0));
  EXPECT_TRUE(near(at(f, 320, 540 + 25), 1, 1, 0));
  EXPECT_FALSE(near(at(f, 320 + 25, 540 + 4), 1, 1, 0));
  EXPECT_FALSE(near(at(f, 320 + 35, 540), 1, 1, 0));
}

TEST(TestPattern, PointerAtZeroPutsTheCrosshairInTheTopLeftCorner) {
  TestPattern tp;
  tp.width = 640;
  tp.height = 360;
  {
    std::lock_guard<std::mutex> l(tp.lock);
    tp.px = 0;
    tp.py = 0;
  }
  auto frames = firstFrames(tp, 1);
  ASSERT_EQ(frames.size(), 1u);
  const Frame& f = *frames[0];
  ASSERT_EQ(f.width, 640);
  EXPECT_TRUE(near(at(f, 0, 0), 1, 1, 0));
  EXPECT_TRUE(near(at(f, 20, 1), 1, 1, 0));
  EXPECT_TRUE(near(at(f, 1, 20), 1, 1, 0));
  EXPECT_TRUE(near(at(f, 20, 20), 0.08, 0.10, 0.16));
}

TEST(TestPattern, ViewMarkDrawsBorderCornersAndMovesTheCounter) {
  TestPattern tp;
  tp.viewMark = true;
  auto frames = firstFrames(tp, 1);
  ASSERT_EQ(frames.size(), 1u);
  const Frame& f = *frames[0];
  const int W = 1280, H = 720;
  EXPECT_TRUE(near(at(f, 30, H - 30), 0.2, 0.2, 0.2));      // bottom-left
  EXPECT_TRUE(near(at(f, W - 30, H - 30), 0.5, 0.5, 0.5));  // bottom-right
  EXPECT_TRUE(near(at(f, 30, 30), 0.8, 0.8, 0.8));          // top-left
  EXPECT_TRUE(near(at(f, W - 30, 30), 1, 1, 1));            // top-right
  // Red border 10 px wide along every edge.
  EXPECT_TRUE(near(at(f, 640, 2), 1, 0.1, 0.1));
  EXPECT_TRUE(near(at(f, 640, H - 3), 1, 0.1, 0.1));
  EXPECT_TRUE(near(at(f, 3, 300), 1, 0.1, 0.1));
  EXPECT_TRUE(near(at(f, W - 3, 300), 1, 0.1, 0.1));
  EXPECT_TRUE(near(at(f, 640, 14), 0.08, 0.10, 0.16));
  // Frame 1: bit 0 at o = 90.
  EXPECT_TRUE(near(at(f, 102, H - 102), 1, 1, 1));
  EXPECT_TRUE(near(at(f, 32, H - 32), 0.2, 0.2, 0.2));
}

TEST(TestPattern, StillImageCoversTheFrameCentredWithTopEdgesAligned) {
  std::string dir = ts::makeTempDir();
  // 1000 x 500: green columns 0..99, red up to 499, blue up to 899, then
  // transparent.
  std::string path = writePng(dir + "/still.png", 1000, 500, [](int x, int) -> uint32_t {
    if (x < 100) return 0xFF00FF00;
    if (x < 500) return 0xFFFF0000;
    if (x < 900) return 0xFF0000FF;
    return 0;
  });
  TestPattern tp;
  ASSERT_TRUE(tp.loadImage(path));
  EXPECT_EQ(tp.width.load(), 1000);
  EXPECT_EQ(tp.height.load(), 500);
  auto own = firstFrames(tp, 1);
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0]->width, 1000);
  EXPECT_TRUE(near(at(*own[0], 50, 250), 0, 1, 0));
  EXPECT_TRUE(near(at(*own[0], 700, 250), 0, 0, 1));
  EXPECT_TRUE(near(at(*own[0], 950, 250), 1, 1, 1));

  // In a 1280 x 720 frame the image is scaled by 1.44 and drawn at x = -80.
  tp.width = 1280;
  tp.height = 720;
  auto frames = firstFrames(tp, 2);
  ASSERT_EQ(frames.size(), 2u);
  for (auto& fp : frames) {
    const Frame& f = *fp;
    ASSERT_EQ(f.width, 1280);
    EXPECT_TRUE(near(at(f, 60, 10), 0, 1, 0));  // green ends at x = 64
    EXPECT_TRUE(near(at(f, 68, 715), 1, 0, 0));
    EXPECT_TRUE(near(at(f, 636, 360), 1, 0, 0));  // red ends at x = 640
    EXPECT_TRUE(near(at(f, 644, 360), 0, 0, 1));
    EXPECT_TRUE(near(at(f, 1212, 719), 0, 0, 1));  // blue ends at x = 1216
    EXPECT_TRUE(near(at(f, 1220, 0), 1, 1, 1));    // transparent over white
    // No bars, counter or crosshair over a still image.
    EXPECT_TRUE(near(at(f, 640 + 20, 360), 0, 0, 1));
    EXPECT_TRUE(near(at(f, 32, 720 - 32), 0, 1, 0));
  }

  // Odd image sizes give the even frame size below them.
  std::string odd = writePng(dir + "/odd.png", 7, 5, [](int, int) -> uint32_t { return 0xFF000000; });
  ASSERT_TRUE(tp.loadImage(odd));
  EXPECT_EQ(tp.width.load(), 6);
  EXPECT_EQ(tp.height.load(), 4);
  auto small = firstFrames(tp, 1);
  ASSERT_EQ(small.size(), 1u);
  EXPECT_TRUE(near(at(*small[0], 5, 3), 0, 0, 0));
  ts::removeTree(dir);
}

TEST(TestPattern, UnusableImagesChangeNothing) {
  std::string dir = ts::makeTempDir();
  ts::writeFile(dir + "/not.png", "this is not a picture");
  std::string tiny = writePng(dir + "/tiny.png", 1, 1, [](int, int) -> uint32_t { return 0xFFFFFFFF; });
  TestPattern tp;
  EXPECT_FALSE(tp.loadImage(dir + "/missing.png"));
  EXPECT_FALSE(tp.loadImage(dir + "/not.png"));
  EXPECT_FALSE(tp.loadImage(dir));
  EXPECT_FALSE(tp.loadImage(tiny));  // would round down to an empty frame
  EXPECT_EQ(tp.width.load(), 1280);
  EXPECT_EQ(tp.height.load(), 720);
  auto frames = firstFrames(tp, 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(near(at(*frames[0], 640, 40), 0.08, 0.10, 0.16));
  ts::removeTree(dir);
}

TEST(TestPattern, DocumentScrollsTenPixelsPerFramePlusTheUsersScroll) {
  for (bool noise : {false, true}) {
    TestPattern tp;
    tp.scrollMode = true;
    tp.noisePhotos = noise;
    double leftAfter = -1;
    auto frames = firstFrames(tp, 4, [&](int n) {
      std::lock_guard<std::mutex> l(tp.lock);
      if (n == 2) tp.userScroll = 100;  // between frames 2 and 3
      if (n == 3) leftAfter = tp.userScroll;
    });
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(leftAfter, 0);
    // The content moves down: row y of the later frame is row y - shift of the
    // earlier one. Compared right of the crosshair and above the counter.
    auto shiftedBy = [](const Frame& a, const Frame& b, int shift) {
      for (int y = 150; y < 600; ++y)
        for (int x = 700; x < 1240; ++x)
          if (std::memcmp(b.row(y) + x * 4, a.row(y - shift) + x * 4, 4) != 0) return false;
      return true;
    };
    EXPECT_TRUE(shiftedBy(*frames[0], *frames[1], 10));
    EXPECT_TRUE(shiftedBy(*frames[1], *frames[2], 110));
    EXPECT_FALSE(shiftedBy(*frames[1], *frames[2], 10));
    EXPECT_TRUE(shiftedBy(*frames[2], *frames[3], 10));
    // The document, not the bars' background, fills the frame.
    EXPECT_FALSE(near(at(*frames[0], 20, 300), 0.08, 0.10, 0.16));
  }
}

TEST(TestPattern, UpwardScrollPastTheTopLeavesNoGap) {
  TestPattern tp;
  tp.scrollMode = true;
  tp.width = 320;
  tp.height = 240;
  {
    std::lock_guard<std::mutex> l(tp.lock);
    tp.userScroll = -500;
  }
  auto frames = firstFrames(tp, 1);
  ASSERT_EQ(frames.size(), 1u);
  // Every row shows the document: its right margin is light grey, never the
  // dark background.
  for (int y = 0; y < 240; ++y) EXPECT_TRUE(near(at(*frames[0], 315, y), 0.96, 0.96, 0.96)) << y;
}

TEST(TestPattern, StartStopAndSizeChangesWhileRunning) {
  TestPattern tp;
  EXPECT_FALSE(tp.running());
  tp.start(0);
  EXPECT_FALSE(tp.running());
  tp.start(-5);
  EXPECT_FALSE(tp.running());

  std::atomic<int> last{0};
  Collector c(tp, [&](int n) {
    last = n;
    if (n == 3) {
      tp.width = 0;  // unusable: no frames until a real size comes back
    }
  });
  // Starting twice replaces the first timer: after stop nothing ticks.
  tp.start(100);
  tp.start(100);
  EXPECT_TRUE(tp.running());
  ASSERT_EQ(c.wait(3).size(), 3u);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(c.count(), 3u);
  tp.width = 320;
  tp.height = 200;
  auto frames = c.wait(5);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[4]->width, 320);
  EXPECT_EQ(frames[4]->height, 200);
  tp.stop();
  EXPECT_FALSE(tp.running());
  std::this_thread::sleep_for(50ms);
  size_t after = c.count();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(c.count(), after);
  tp.onFrame = nullptr;
}

TEST(TestPattern, DestroyingARunningPatternStopsItsTimer) {
  std::atomic<int> n{0};
  {
    TestPattern tp;
    tp.onFrame = [&](FramePtr) { ++n; };
    tp.start(500);
    while (n < 2) std::this_thread::sleep_for(1ms);
  }
  int seen = n;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(n.load(), seen);
}
