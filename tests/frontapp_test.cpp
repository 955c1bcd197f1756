#include <gtest/gtest.h>
// After gtest: Xlib's None macro would clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "session/FrontApp.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;

namespace {
// Plays the window manager: makes windows with a class and marks one active.
struct FakeWM {
  Display* d = XOpenDisplay(nullptr);
  Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  ~FakeWM() { XCloseDisplay(d); }
  Window window(const char* resName, const char* resClass) {
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
    XClassHint h{const_cast<char*>(resName), const_cast<char*>(resClass)};
    XSetClassHint(d, w, &h);
    XSync(d, False);
    return w;
  }
  void activate(Window w) {
    XChangeProperty(d, DefaultRootWindow(d), active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&w), 1);
    XSync(d, False);
  }
};

struct Names {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> seen;
  void add(const std::string& n) {
    std::lock_guard<std::mutex> l(m);
    seen.push_back(n);
    cv.notify_all();
  }
  bool waitCount(size_t n, std::chrono::milliseconds limit = 60s) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, limit, [&] { return seen.size() >= n; });
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> l(m);
    return seen;
  }
};
// Whether some client listens for property changes on the root window. The
// watcher asks for them and reads what is in front in one go, so once they
// are asked for, what changes next is news to it.
bool rootWatched(Display* d) {
  XWindowAttributes a{};
  return XGetWindowAttributes(d, DefaultRootWindow(d), &a) && (a.all_event_masks & PropertyChangeMask);
}
}  // namespace

TEST(FrontAppWatcher, ReportsEachNewApplicationByItsDesktopEntryOrClass) {
  std::string home = ts::makeTempDir("frontapp");
  std::string apps = home + "/applications";
  ts::run("mkdir -p '" + apps + "'");
  ts::writeFile(apps + "/fancy-editor.desktop",
                "[Desktop Entry]\nType=Application\nName=Fancy Editor\nName[ja]=すてきなエディタ\n"
                "Exec=true\nStartupWMClass=FancyEd\n");
  ts::writeFile(apps + "/plainapp.desktop", "[Desktop Entry]\nType=Application\nName=Plain App\nExec=true\n");
  // Before GIO reads its directories for the first time.
  setenv("XDG_DATA_HOME", home.c_str(), 1);
  setenv("XDG_DATA_DIRS", (home + "/none").c_str(), 1);
  setenv("LANGUAGE", "en", 1);

  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  FakeWM wm;
  Window fancy = wm.window("fancyed", "FancyEd");
  Window plain = wm.window("plainapp", "PlainApp");
  Window term1 = wm.window("xterm", "XTerm");
  Window term2 = wm.window("xterm", "XTerm");
  Window gone = wm.window("gone", "Gone");
  wm.activate(term1);  // in front before the watcher starts: not reported

  Names names;
  FrontAppWatcher w;
  w.onActivated = [&](const std::string& n) { names.add(n); };
  ASSERT_FALSE(rootWatched(wm.d));
  w.start();
  ASSERT_TRUE(ts::waitUntil([&] { return rootWatched(wm.d); }));
  EXPECT_EQ(FrontAppWatcher::currentName(), "XTerm");

  wm.activate(fancy);
  ASSERT_TRUE(names.waitCount(1));
  EXPECT_EQ(names.get()[0], "Fancy Editor");
  EXPECT_EQ(FrontAppWatcher::currentName(), "Fancy Editor");

  wm.activate(term1);
  ASSERT_TRUE(names.waitCount(2));
  wm.activate(term2);  // same application: nothing
  XDestroyWindow(wm.d, gone);
  wm.activate(gone);  // a window that no longer exists: nothing, no harm
  wm.activate(0);     // nothing in front: nothing
  wm.activate(plain);
  ASSERT_TRUE(names.waitCount(3));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(names.get(), (std::vector<std::string>{"Fancy Editor", "XTerm", "Plain App"}));

  w.stop();
  wm.activate(fancy);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(names.get().size(), 3u);
  ts::removeTree(home);
}

TEST(FrontAppWatcher, WithoutADisplayNothingHappens) {
  unsetenv("DISPLAY");
  FrontAppWatcher w;
  w.onActivated = [](const std::string&) { FAIL(); };
  w.start();
  std::this_thread::sleep_for(50ms);
  w.stop();
  EXPECT_EQ(FrontAppWatcher::currentName(), "");
}
