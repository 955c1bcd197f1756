// CPU cost of the capture path (grab, cursor, conversion to BGRA frames) on a
// private 1920x1080 Xvfb: per delivered frame while the whole screen changes,
// and per second while nothing changes. The X server's own share (it copies
// the pixels into shared memory) is reported apart.
//
//   capture_bench [seconds per phase, default 5]
#include <X11/Xlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "media/ScreenCapture.h"
#include "support/Xvfb.h"

namespace {

double processCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double threadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

double pidCpu(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  double ut = 0, st = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) ut = std::stod(field);
    if (i == 15) st = std::stod(field);
  }
  return (ut + st) / double(sysconf(_SC_CLK_TCK));
}

// Repaints a full-screen window in a new colour about 60 times a second.
struct Painter {
  std::atomic<bool> run{true};
  std::atomic<bool> paint{false};
  std::atomic<double> cpu{0};
  std::thread t;
  Painter() {
    t = std::thread([this] {
      Display* d = XOpenDisplay(nullptr);
      XSetWindowAttributes a{};
      a.override_redirect = True;
      Window w = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 1920, 1080, 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWOverrideRedirect, &a);
      XMapRaised(d, w);
      GC gc = XCreateGC(d, w, 0, nullptr);
      unsigned long colour = 0;
      while (run) {
        if (paint) {
          colour = (colour + 0x030507) & 0xffffff;
          XSetForeground(d, gc, colour);
          XFillRectangle(d, w, gc, 0, 0, 1920, 1080);
          XSync(d, False);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(16667));
      }
      cpu = threadCpu();
      XCloseDisplay(d);
    });
  }
  ~Painter() {
    run = false;
    t.join();
  }
};

struct Phase {
  long frames = 0;
  double ownCpu = 0, serverCpu = 0, seconds = 0;
};

Phase measure(ScreenCapture& cap, std::atomic<long>& frames, int serverPid, double secs) {
  long f0 = frames;
  double c0 = processCpu(), s0 = pidCpu(serverPid);
  auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  Phase p;
  p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  p.frames = frames - f0;
  p.ownCpu = processCpu() - c0;
  p.serverCpu = pidCpu(serverPid) - s0;
  (void)cap;
  return p;
}

void run(int maxWidth, double secs, int serverPid) {
  ScreenCapture cap;
  std::atomic<long> frames{0};
  cap.onFrame = [&](FramePtr) { ++frames; };
  Painter painter;
  std::promise<std::optional<std::string>> started;
  int w = 0, h = 0;
  cap.start(60, maxWidth, [&](int ww, int hh) { w = ww, h = hh; }, [&](auto e) { started.set_value(e); });
  if (auto e = started.get_future().get()) {
    std::fprintf(stderr, "capture did not start: %s\n", e->c_str());
    std::exit(1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  painter.paint = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Phase busy = measure(cap, frames, serverPid, secs);
  painter.paint = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Phase idle = measure(cap, frames, serverPid, secs);
  cap.stopAndWait();

  // The painter's own thread is not part of the capture path; its CPU is small
  // (it only sends fill requests) and is left in, so figures err high.
  std::printf("1920x1080 -> %dx%d, changing screen: %ld frames in %.1f s (%.1f fps)\n", w, h, busy.frames,
              busy.seconds, busy.frames / busy.seconds);
  if (busy.frames > 0)
    std::printf("  host process: %.2f ms CPU per frame (%.1f%% of one core); X server: %.2f ms per frame "
                "(includes its drawing)\n",
                1000 * busy.ownCpu / busy.frames, 100 * busy.ownCpu / busy.seconds,
                1000 * busy.serverCpu / busy.frames);
  std::printf("  unchanged screen: %ld frames in %.1f s; host process %.2f%% of one core, X server %.2f%%\n",
              idle.frames, idle.seconds, 100 * idle.ownCpu / idle.seconds, 100 * idle.serverCpu / idle.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  double secs = argc > 1 ? std::atof(argv[1]) : 5;
  if (secs <= 0) secs = 5;
  ts::Xvfb x;
  if (!x.ok()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  run(1920, secs, x.pid());
  run(1280, secs, x.pid());
  return 0;
}
