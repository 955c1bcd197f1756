// ctest-labels: threaded
#include <gtest/gtest.h>
// After gtest: Xlib's None macro would clash with its names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "media/OutSize.h"
#include "media/ScreenCapture.h"
#include "support/Sanitizers.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;

TEST(OutSize, WholeDisplayIsCappedInWidthAndKeepsAspect) {
  auto s = outSize(2880, 1800, 1440, 900, std::nullopt, 1920, 1920);
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1200);
  s = outSize(1920, 1080, 1920, 1080, std::nullopt, 1920, 1920);
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1080);
  // Odd sizes round down to even.
  s = outSize(1365, 767, 1365, 767, std::nullopt, 1920, 1920);
  EXPECT_EQ(s.width, 1364);
  EXPECT_EQ(s.height, 766);
  // A portrait display is not capped by height.
  s = outSize(1080, 1920, 1080, 1920, std::nullopt, 1920, 1920);
  EXPECT_EQ(s.width, 1080);
  EXPECT_EQ(s.height, 1920);
}

TEST(OutSize, CropUsesPixelsPerPointAndTheLongSideCap) {
  auto s = outSize(3024, 1964, 1512, 982, Rect{10, 10, 100, 51}, 1920, 1920);
  EXPECT_EQ(s.width, 200);
  EXPECT_EQ(s.height, 102);
  s = outSize(3840, 2160, 3840, 2160, Rect{0, 0, 3840, 1000}, 1920, 1920);
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 500);
  s = outSize(1920, 1080, 1920, 1080, Rect{0, 0, 1000, 3}, 1920, 100);
  EXPECT_EQ(s.width, 100);
  EXPECT_EQ(s.height, 2);  // 0.3 rounds to 0, raised to the minimum
}

TEST(OutSize, DegenerateInputStaysAtLeastTwoByTwo) {
  auto s = outSize(1920, 1080, 1920, 1080, Rect{5, 5, 0.4, 0.4}, 1920, 1920);
  EXPECT_EQ(s.width, 2);
  EXPECT_EQ(s.height, 2);
  s = outSize(1920, 1080, 1920, 1080, Rect{0, 0, NAN, INFINITY}, 1920, 1920);
  EXPECT_GE(s.width, 2);
  EXPECT_GE(s.height, 2);
  EXPECT_EQ(s.width % 2, 0);
  s = outSize(1920, 1080, 0.5, 0.5, Rect{0, 0, 1, 1}, 1920, 1920);  // point size below 1 counts as 1
  EXPECT_EQ(s.width, 1920);
  s = outSize(0, 0, 0, 0, std::nullopt, 1920, 1920);
  EXPECT_EQ(s.width, 2);
  EXPECT_EQ(s.height, 2);
}

namespace {

// The test's own X client: draws on the screen and moves the pointer.
struct Painter {
  Display* d = XOpenDisplay(nullptr);
  Window root = d ? DefaultRootWindow(d) : 0;
  std::vector<Window> windows;

  Painter() {
    if (!d) return;
    // Xvfb's root is a stipple; a flat background makes pixels predictable.
    XSetWindowBackground(d, root, BlackPixel(d, DefaultScreen(d)));
    XClearWindow(d, root);
    XSync(d, False);
  }
  ~Painter() {
    if (d) XCloseDisplay(d);
  }
  Window box(int x, int y, int w, int h, unsigned long rgb) {
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = rgb;
    Window win = XCreateWindow(d, root, x, y, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel, &a);
    XMapRaised(d, win);
    XSync(d, False);
    windows.push_back(win);
    return win;
  }
  void recolour(Window w, unsigned long rgb) {
    XSetWindowBackground(d, w, rgb);
    XClearWindow(d, w);
    XSync(d, False);
  }
  void pointer(int x, int y) {
    XWarpPointer(d, None, root, 0, 0, 0, 0, x, y);
    XSync(d, False);
  }
};

struct Sink {
  std::mutex m;
  std::condition_variable cv;
  std::vector<FramePtr> frames;
  std::vector<std::string> stops;

  void attach(ScreenCapture& c) {
    c.onFrame = [this](FramePtr f) {
      std::lock_guard<std::mutex> l(m);
      frames.push_back(f);
      cv.notify_all();
    };
    c.onStopped = [this](const std::string& e) {
      std::lock_guard<std::mutex> l(m);
      stops.push_back(e);
      cv.notify_all();
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> l(m);
    return frames.size();
  }
  // Waits for a frame delivered after `after` frames that satisfies pred.
  FramePtr waitFor(size_t after, const std::function<bool(const Frame&)>& pred,
                   std::chrono::milliseconds limit = 60s) {
    std::unique_lock<std::mutex> l(m);
    size_t i = after;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      for (; i < frames.size(); ++i)
        if (pred(*frames[i])) return frames[i];
      if (cv.wait_until(l, deadline) == std::cv_status::timeout) {
        for (; i < frames.size(); ++i)
          if (pred(*frames[i])) return frames[i];
        return nullptr;
      }
    }
  }
  bool waitStop(std::chrono::milliseconds limit = 60s) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, limit, [&] { return !stops.empty(); });
  }
  // Waits until no frame has come for `quiet`; false if that never happened
  // within the limit.
  bool waitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit = 60s) {
    std::unique_lock<std::mutex> l(m);
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t n = frames.size();
      cv.wait_for(l, quiet, [&] { return frames.size() != n; });
      if (frames.size() == n) return true;
    }
    return false;
  }
};

uint32_t px(const Frame& f, int x, int y) {
  return reinterpret_cast<const uint32_t*>(f.row(y))[x];
}

std::optional<std::string> startSync(ScreenCapture& c, int fps, int* w = nullptr, int* h = nullptr) {
  std::promise<std::optional<std::string>> p;
  c.start(
      fps, 1920,
      [&](int ww, int hh) {
        if (w) *w = ww;
        if (h) *h = hh;
      },
      [&](std::optional<std::string> e) { p.set_value(e); });
  return p.get_future().get();
}

std::optional<std::string> reapplySync(ScreenCapture& c) {
  std::promise<std::optional<std::string>> p;
  c.reapply([&](std::optional<std::string> e) { p.set_value(e); });
  return p.get_future().get();
}

constexpr uint32_t kRed = 0xffff0000u, kBlack = 0xff000000u;

}  // namespace

TEST(ScreenCapture, DeliversWhatIsDrawnWhereItIsAndNothingWhileStill) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Painter p;
  p.pointer(1900, 1060);
  Window w = p.box(100, 200, 300, 150, 0xff0000);
  ScreenCapture cap;
  Sink sink;
  sink.attach(cap);
  int fw = 0, fh = 0;
  ASSERT_EQ(startSync(cap, 30, &fw, &fh), std::nullopt);
  EXPECT_EQ(fw, 1920);
  EXPECT_EQ(fh, 1080);
  EXPECT_EQ(cap.currentDisplay(), "screen");
  EXPECT_EQ(cap.displayRect().w, 1920);

  auto f = sink.waitFor(0, [](const Frame& f) { return px(f, 250, 275) == kRed; });
  ASSERT_TRUE(f);
  EXPECT_EQ(f->width, 1920);
  EXPECT_EQ(f->height, 1080);
  EXPECT_EQ(px(*f, 100, 200), kRed);
  EXPECT_EQ(px(*f, 399, 349), kRed);
  EXPECT_EQ(px(*f, 99, 200), kBlack);
  EXPECT_EQ(px(*f, 400, 275), kBlack);
  EXPECT_EQ(px(*f, 250, 350), kBlack);
  EXPECT_NEAR(f->captureMs, epochMs(), 5000);

  // Nothing changes: nothing is delivered. The first pictures may take a
  // while on a busy machine; after them comes a long spell without frames.
  ASSERT_TRUE(sink.waitQuiet(900ms)) << "frames keep coming from a still screen";
  size_t settled = sink.count();

  // A change brings a frame with the new colour.
  p.recolour(w, 0x00ff00);
  f = sink.waitFor(settled, [](const Frame& f) { return px(f, 250, 275) == 0xff00ff00u; });
  ASSERT_TRUE(f);

  // Drawing on another part of the screen brings a frame too.
  size_t before = sink.count();
  p.box(1500, 900, 40, 40, 0x0000ff);
  ASSERT_TRUE(sink.waitFor(before, [](const Frame& f) { return px(f, 1520, 920) == 0xff0000ffu; }));

  ASSERT_TRUE(cap.stopAndWait(60s));
  EXPECT_FALSE(cap.running());
  size_t stopped = sink.count();
  p.recolour(w, 0xffffff);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.count(), stopped);
}

TEST(ScreenCapture, CursorIsCompositedAndItsMovesAreFrames) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Painter p;
  p.pointer(600, 500);
  XFixesCursorImage* ci = XFixesGetCursorImage(p.d);
  ASSERT_TRUE(ci);
  // An opaque pixel of the cursor and where it lands on the screen.
  int ox = -1, oy = -1;
  uint32_t colour = 0;
  for (int y = 0; y < ci->height && ox < 0; ++y)
    for (int x = 0; x < ci->width; ++x) {
      uint32_t v = uint32_t(ci->pixels[y * ci->width + x]);
      if ((v >> 24) == 0xff && (v & 0xffffff) != 0) {
        ox = x;
        oy = y;
        colour = v;
        break;
      }
    }
  int xhot = ci->xhot, yhot = ci->yhot;
  XFree(ci);
  ASSERT_GE(ox, 0) << "the default cursor has no opaque light pixel";

  ScreenCapture cap;
  Sink sink;
  sink.attach(cap);
  ASSERT_EQ(startSync(cap, 30), std::nullopt);
  int sx = 600 - xhot + ox, sy = 500 - yhot + oy;
  auto f = sink.waitFor(0, [&](const Frame& f) { return px(f, sx, sy) == colour; });
  ASSERT_TRUE(f) << "cursor pixel not in the frame";

  std::this_thread::sleep_for(200ms);
  size_t before = sink.count();
  p.pointer(900, 700);
  int nx = 900 - xhot + ox, ny = 700 - yhot + oy;
  f = sink.waitFor(before, [&](const Frame& f) { return px(f, nx, ny) == colour; });
  ASSERT_TRUE(f) << "a cursor move brought no frame";
  EXPECT_EQ(px(*f, sx, sy), kBlack) << "the old cursor place was not cleaned";
}

TEST(ScreenCapture, CropIsCapturedAndScaledToTheLongSideCap) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Painter p;
  p.pointer(1900, 1060);
  p.box(100, 200, 300, 150, 0xff0000);
  p.box(250, 275, 150, 75, 0x0000ff);  // lower right quarter of the crop
  ScreenCapture cap;
  Sink sink;
  sink.attach(cap);
  ASSERT_EQ(startSync(cap, 30), std::nullopt);
  cap.setCrop(Rect{100, 200, 300, 150});
  ASSERT_EQ(reapplySync(cap), std::nullopt);
  auto f = sink.waitFor(0, [](const Frame& f) { return f.width == 300 && f.height == 150; });
  ASSERT_TRUE(f);
  EXPECT_EQ(px(*f, 0, 0), kRed);
  EXPECT_EQ(px(*f, 149, 74), kRed);
  EXPECT_EQ(px(*f, 150, 75), 0xff0000ffu);
  EXPECT_EQ(px(*f, 299, 149), 0xff0000ffu);

  cap.setMaxLong(100);
  size_t before = sink.count();
  ASSERT_EQ(reapplySync(cap), std::nullopt);
  f = sink.waitFor(before, [](const Frame& f) { return f.width == 100; });
  ASSERT_TRUE(f);
  EXPECT_EQ(f->height, 50);
  EXPECT_EQ(px(*f, 10, 10), kRed);
  EXPECT_EQ(px(*f, 90, 40), 0xff0000ffu);

  // A crop reaching past the display is moved inside it.
  cap.setMaxLong(1920);
  cap.setCrop(Rect{1800, 1000, 300, 150});
  before = sink.count();
  ASSERT_EQ(reapplySync(cap), std::nullopt);
  f = sink.waitFor(before, [](const Frame& f) { return f.width == 300 && f.height == 150; });
  ASSERT_TRUE(f);

  // Back to the whole display.
  cap.setCrop(std::nullopt);
  before = sink.count();
  ASSERT_EQ(reapplySync(cap), std::nullopt);
  ASSERT_TRUE(sink.waitFor(before, [](const Frame& f) { return f.width == 1920 && f.height == 1080; }));
}

TEST(ScreenCapture, FollowsAMonitorAndReportsItsRemoval) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Painter p;
  p.pointer(10, 10);
  p.box(960, 540, 100, 100, 0xff0000);
  XRRMonitorInfo* mon = XRRAllocateMonitor(p.d, 0);
  mon->name = XInternAtom(p.d, "TEST-B", False);
  mon->x = 960;
  mon->y = 540;
  mon->width = 960;
  mon->height = 540;
  mon->mwidth = 250;
  mon->mheight = 140;
  XRRSetMonitor(p.d, p.root, mon);
  XSync(p.d, False);

  ScreenCapture cap;
  Sink sink;
  sink.attach(cap);
  cap.setDisplay("TEST-B");
  int fw = 0, fh = 0;
  ASSERT_EQ(startSync(cap, 30, &fw, &fh), std::nullopt);
  EXPECT_EQ(fw, 960);
  EXPECT_EQ(fh, 540);
  EXPECT_EQ(cap.displayRect().x, 960);
  auto f = sink.waitFor(0, [](const Frame& f) { return px(f, 50, 50) == kRed; });
  ASSERT_TRUE(f);
  EXPECT_EQ(px(*f, 150, 50), kBlack);

  // The monitor moves: capture follows, frames keep their size.
  // (This server refuses to replace a monitor in place: delete, then set.)
  XRRDeleteMonitor(p.d, p.root, mon->name);
  mon->x = 860;
  XRRSetMonitor(p.d, p.root, mon);
  XSync(p.d, False);
  f = sink.waitFor(0, [](const Frame& f) { return px(f, 150, 50) == kRed && px(f, 50, 50) == kBlack; });
  ASSERT_TRUE(f) << "the moved monitor was not followed";
  EXPECT_EQ(f->width, 960);
  EXPECT_EQ(cap.displayRect().x, 860);

  XRRDeleteMonitor(p.d, p.root, mon->name);
  XSync(p.d, False);
  ASSERT_TRUE(sink.waitStop());
  EXPECT_FALSE(cap.running());
  XRRFreeMonitors(mon);
}

TEST(ScreenCapture, MissingDisplayFailsAfterWaitingAndLogsWhatWasSeen) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  ScreenCapture cap;
  cap.setDisplay("NOPE");
  bool readyCalled = false;
  std::promise<std::optional<std::string>> p;
  testing::internal::CaptureStdout();
  auto t0 = std::chrono::steady_clock::now();
  cap.start(30, 1920, [&](int, int) { readyCalled = true; }, [&](auto e) { p.set_value(e); });
  auto e = p.get_future().get();
  auto took = std::chrono::steady_clock::now() - t0;
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(e);
  EXPECT_EQ(*e, "Display not found");
  EXPECT_FALSE(readyCalled);
  EXPECT_GE(took, 3s);
  EXPECT_LT(took, 60s);  // it gives up rather than wait on
  EXPECT_NE(out.find("[cap] ディスプレイ探索失敗 want=NOPE 見えているもの=[screen] 画面収録権限=true"),
            std::string::npos)
      << out;
  EXPECT_FALSE(cap.running());

  // An index names the monitor at that place.
  cap.setDisplay("0");
  ASSERT_EQ(startSync(cap, 30), std::nullopt);
  EXPECT_EQ(cap.currentDisplay(), "screen");
}

TEST(ScreenCapture, ReadyRefusalStopAndReapplyWhenStopped) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  ScreenCapture cap;
  Sink sink;
  sink.attach(cap);
  // Without a capture, reapply only answers.
  EXPECT_EQ(reapplySync(cap), std::nullopt);

  std::promise<std::optional<std::string>> p;
  cap.start(30, 1920, [](int, int) { throw std::runtime_error("encoder refused"); },
            [&](auto e) { p.set_value(e); });
  auto e = p.get_future().get();
  ASSERT_TRUE(e);
  EXPECT_EQ(*e, "encoder refused");
  EXPECT_FALSE(cap.running());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(sink.count(), 0u);

  // A stop during the search ends it as cancelled; no frame follows.
  cap.setDisplay("LATER");
  std::promise<std::optional<std::string>> p2;
  cap.start(30, 1920, nullptr, [&](auto e) { p2.set_value(e); });
  std::this_thread::sleep_for(300ms);
  cap.stop();
  auto f2 = p2.get_future();
  ASSERT_EQ(f2.wait_for(60s), std::future_status::ready);
  EXPECT_TRUE(f2.get());
  EXPECT_EQ(sink.count(), 0u);

  // A smaller maxWidth scales the whole display.
  cap.setDisplay(std::nullopt);
  std::promise<std::optional<std::string>> p3;
  int w = 0, h = 0;
  cap.start(30, 640, [&](int ww, int hh) { w = ww, h = hh; }, [&](auto e) { p3.set_value(e); });
  ASSERT_EQ(p3.get_future().get(), std::nullopt);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 360);
  ASSERT_TRUE(sink.waitFor(0, [](const Frame& f) { return f.width == 640 && f.height == 360; }));
}

TEST(ScreenCapture, VanishingServerEndsTheCaptureWithoutEndingTheProcess) {
  if (TOLVANE_TSAN) GTEST_SKIP() << "libX11's lock handling after a lost connection";
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  ScreenCapture cap;
  Sink sink;
  sink.attach(cap);
  ASSERT_EQ(startSync(cap, 60), std::nullopt);
  ASSERT_TRUE(sink.waitFor(0, [](const Frame&) { return true; }));
  x.kill();
  ASSERT_TRUE(sink.waitStop());
  EXPECT_FALSE(cap.running());
  // A new start fails cleanly.
  auto e = startSync(cap, 30);
  EXPECT_TRUE(e);
}
