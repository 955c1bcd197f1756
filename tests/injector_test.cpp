// ctest-labels: threaded
#include <gtest/gtest.h>
// After gtest: Xlib's None macro would clash with its names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "app/SerialQueue.h"
#include "session/InputInjector.h"
#include "session/KeyNames.h"
#include "support/Sanitizers.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;

namespace {

struct Ev {
  int type = 0;
  unsigned button = 0;
  int x = 0, y = 0;
  unsigned state = 0;
  KeySym keysym = 0;
};

std::string utf8(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += char(cp);
  } else if (cp < 0x800) {
    s += char(0xc0 | (cp >> 6));
    s += char(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    s += char(0xe0 | (cp >> 12));
    s += char(0x80 | ((cp >> 6) & 0x3f));
    s += char(0x80 | (cp & 0x3f));
  } else {
    s += char(0xf0 | (cp >> 18));
    s += char(0x80 | ((cp >> 12) & 0x3f));
    s += char(0x80 | ((cp >> 6) & 0x3f));
    s += char(0x80 | (cp & 0x3f));
  }
  return s;
}

// A full-screen window of the test's own that records what reaches it, as an
// application would read it: the keysym of each key press under the keyboard
// mapping in force when the press is handled. `delay` makes it a slow reader.
class Receiver {
public:
  explicit Receiver(std::chrono::milliseconds delay = 0ms) : delay_(delay) {
    d_ = XOpenDisplay(nullptr);
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = 0;
    a.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | KeyReleaseMask;
    w_ = XCreateWindow(d_, DefaultRootWindow(d_), 0, 0, 1920, 1080, 0, CopyFromParent, InputOutput,
                       CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XMapRaised(d_, w_);
    XSync(d_, False);
    XSetInputFocus(d_, w_, RevertToParent, CurrentTime);
    XSync(d_, False);
    thread_ = std::thread([this] { run(); });
  }
  ~Receiver() {
    stop_ = true;
    thread_.join();
    XCloseDisplay(d_);
  }

  std::vector<Ev> events() {
    std::lock_guard<std::mutex> l(m_);
    return evs_;
  }
  void clear() {
    std::lock_guard<std::mutex> l(m_);
    evs_.clear();
    text_.clear();
  }
  // Text of the key presses so far (Return as "\n").
  std::string text() {
    std::lock_guard<std::mutex> l(m_);
    return text_;
  }
  // Waits until pred holds for the events, or the limit.
  bool waitFor(const std::function<bool(const std::vector<Ev>&, const std::string&)>& pred,
               std::chrono::milliseconds limit = 60s) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, limit, [&] { return pred(evs_, text_); });
  }
  // Waits until nothing arrived for `quiet`. Alone it only suits checks that
  // nothing (more) comes: a busy machine may deliver later than that.
  void settle(std::chrono::milliseconds quiet = 300ms) {
    size_t n = SIZE_MAX;
    while (true) {
      std::this_thread::sleep_for(quiet);
      std::lock_guard<std::mutex> l(m_);
      if (evs_.size() == n) return;
      n = evs_.size();
    }
  }

private:
  void run() {
    while (!stop_) {
      if (XPending(d_) == 0) {
        std::this_thread::sleep_for(2ms);
        continue;
      }
      XEvent e;
      XNextEvent(d_, &e);
      Ev ev;
      ev.type = e.type;
      if (e.type == MappingNotify) {
        XRefreshKeyboardMapping(&e.xmapping);
        continue;
      }
      if (e.type == ButtonPress || e.type == ButtonRelease) {
        ev.button = e.xbutton.button;
        ev.x = e.xbutton.x_root;
        ev.y = e.xbutton.y_root;
        ev.state = e.xbutton.state;
      } else if (e.type == MotionNotify) {
        ev.x = e.xmotion.x_root;
        ev.y = e.xmotion.y_root;
        ev.state = e.xmotion.state;
      } else if (e.type == KeyPress || e.type == KeyRelease) {
        if (e.type == KeyPress) std::this_thread::sleep_for(delay_);
        char buf[16];
        KeySym ks = 0;
        XLookupString(&e.xkey, buf, sizeof buf, &ks, nullptr);
        ev.keysym = ks;
        ev.state = e.xkey.state;
      } else {
        continue;
      }
      std::lock_guard<std::mutex> l(m_);
      evs_.push_back(ev);
      if (ev.type == KeyPress) {
        if (ev.keysym == XK_Return) {
          text_ += "\n";
        } else if ((ev.keysym >= 0x20 && ev.keysym <= 0x7e) || (ev.keysym >= 0xa0 && ev.keysym <= 0xff)) {
          text_ += utf8(uint32_t(ev.keysym));
        } else if ((ev.keysym & 0xff000000) == 0x01000000) {
          text_ += utf8(uint32_t(ev.keysym & 0xffffff));
        }
      }
      cv_.notify_all();
    }
  }

  Display* d_;
  Window w_;
  std::chrono::milliseconds delay_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Ev> evs_;
  std::string text_;
};

struct Pointer {
  int x = -1, y = -1;
  unsigned mask = 0;
};
Pointer queryPointer() {
  Display* d = XOpenDisplay(nullptr);
  Window r, c;
  int wx, wy;
  Pointer p;
  XQueryPointer(d, DefaultRootWindow(d), &r, &c, &p.x, &p.y, &wx, &wy, &p.mask);
  XCloseDisplay(d);
  return p;
}

int emptyKeycodes() {
  Display* d = XOpenDisplay(nullptr);
  int mn, mx, per;
  XDisplayKeycodes(d, &mn, &mx);
  KeySym* ks = XGetKeyboardMapping(d, KeyCode(mn), mx - mn + 1, &per);
  int n = 0;
  for (int k = mn; k <= mx; ++k) {
    bool empty = true;
    for (int j = 0; j < per; ++j)
      if (ks[(k - mn) * per + j]) empty = false;
    n += empty;
  }
  XFree(ks);
  XCloseDisplay(d);
  return n;
}

std::vector<Ev> only(const std::vector<Ev>& evs, std::initializer_list<int> types) {
  std::vector<Ev> out;
  for (auto& e : evs)
    for (int t : types)
      if (e.type == t) out.push_back(e);
  return out;
}

}  // namespace

TEST(KeyNames, TableHasTheNamedKeysAndIsCaseSensitive) {
  EXPECT_EQ(keyNameCount(), 81u);
  EXPECT_EQ(keysymForName("Enter"), XK_Return);
  EXPECT_EQ(keysymForName("PageUp"), XK_Prior);
  EXPECT_EQ(keysymForName("Kana"), XK_Hiragana_Katakana);
  EXPECT_EQ(keysymForName("¥"), XK_yen);
  EXPECT_EQ(keysymForName("F12"), XK_F12);
  EXPECT_FALSE(keysymForName("A"));
  EXPECT_FALSE(keysymForName("enter"));
  EXPECT_FALSE(keysymForName(""));
  EXPECT_EQ(keysymForCodePoint('a'), 'a');
  EXPECT_EQ(keysymForCodePoint(0xe9), 0xe9u);
  EXPECT_EQ(keysymForCodePoint(0x65e5), 0x10065e5u);
  EXPECT_FALSE(keysymForCodePoint('\r'));
  EXPECT_FALSE(keysymForCodePoint(0xd800));
  EXPECT_FALSE(keysymForCodePoint(0x110000));
}

TEST(InputInjector, AbsoluteAndRelativeMovesStayInTheirRectangles) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  InputInjector inj;
  ASSERT_TRUE(inj.available());
  inj.move(1.7, -0.2);
  auto p = queryPointer();
  EXPECT_EQ(p.x, 1919);
  EXPECT_EQ(p.y, 0);
  inj.move(0.5, 0.5);
  p = queryPointer();
  EXPECT_EQ(p.x, 960);
  EXPECT_EQ(p.y, 540);
  // Bad numbers are skipped.
  inj.move(NAN, 0.1);
  inj.move(0.1, INFINITY);
  p = queryPointer();
  EXPECT_EQ(p.x, 960);
  EXPECT_EQ(p.y, 540);

  inj.mapRect = [] { return Rect{100, 100, 200, 100}; };
  inj.move(1, 1);
  p = queryPointer();
  EXPECT_EQ(p.x, 299);
  EXPECT_EQ(p.y, 199);
  inj.move(0, 0);
  EXPECT_EQ(inj.pointer()->x, 100);
  EXPECT_EQ(inj.pointer()->y, 100);

  inj.moveRect = [] { return Rect{50, 60, 400, 300}; };
  inj.moveRel(10.4, -5.6);
  EXPECT_EQ(inj.pointer()->x, 110);
  EXPECT_EQ(inj.pointer()->y, 94);
  inj.moveRel(5000, 5000);
  EXPECT_EQ(inj.pointer()->x, 449);
  EXPECT_EQ(inj.pointer()->y, 359);
  inj.moveRel(-1e6, -1e6);
  EXPECT_EQ(inj.pointer()->x, 50);
  EXPECT_EQ(inj.pointer()->y, 60);
  inj.moveRel(NAN, 5);
  inj.moveRel(1e300, 5);
  EXPECT_EQ(inj.pointer()->x, 50);
  EXPECT_EQ(inj.pointer()->y, 60);
}

TEST(InputInjector, PressDragAndReleaseReachAWindowWithTheRightButtons) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Receiver rx;
  InputInjector inj;
  inj.button({200, 300}, 1, true);
  EXPECT_TRUE(inj.leftDown());
  inj.move(0.25, 0.5);
  inj.button({480, 540}, 1, false);
  inj.button({700, 100}, 2, true);
  EXPECT_TRUE(inj.rightDown());
  inj.button({700, 100}, 2, false);
  inj.button({10, 10}, 7, true);  // any other value is the left button
  inj.button({10, 10}, 7, false);
  ASSERT_TRUE(rx.waitFor([](auto& evs, auto&) { return only(evs, {ButtonRelease}).size() == 3; }));
  auto evs = rx.events();
  auto buttons = only(evs, {ButtonPress, ButtonRelease});
  ASSERT_EQ(buttons.size(), 6u);
  EXPECT_EQ(buttons[0].type, ButtonPress);
  EXPECT_EQ(buttons[0].button, 1u);
  EXPECT_EQ(buttons[0].x, 200);
  EXPECT_EQ(buttons[0].y, 300);
  EXPECT_EQ(buttons[1].type, ButtonRelease);
  EXPECT_EQ(buttons[1].button, 1u);
  EXPECT_EQ(buttons[1].x, 480);
  EXPECT_EQ(buttons[2].button, 3u);
  EXPECT_EQ(buttons[2].x, 700);
  EXPECT_EQ(buttons[3].button, 3u);
  EXPECT_EQ(buttons[4].button, 1u);
  // The move while the left button was held is a drag.
  bool dragged = false;
  for (auto& e : evs)
    if (e.type == MotionNotify && e.x == 480 && e.y == 540) dragged = (e.state & Button1Mask) != 0;
  EXPECT_TRUE(dragged);
  EXPECT_FALSE(inj.leftDown());
  EXPECT_FALSE(inj.rightDown());

  // A press on the mapping rectangle's far edge stays on its last pixel.
  rx.clear();
  inj.mapRect = [] { return Rect{0, 0, 960, 540}; };
  inj.button({960, 540}, 1, true);
  inj.button({960, 540}, 1, false);
  ASSERT_TRUE(rx.waitFor([](auto& evs, auto&) { return only(evs, {ButtonRelease}).size() == 1; }));
  auto press = only(rx.events(), {ButtonPress});
  ASSERT_EQ(press.size(), 1u);
  EXPECT_EQ(press[0].x, 959);
  EXPECT_EQ(press[0].y, 539);
}

TEST(InputInjector, ClickCountFollowsTimeAndDistanceAcrossButtons) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  InputInjector inj;
  // The test's own clock: the 400 ms limit is judged on the times given here.
  double now = 1.7e12;
  inj.clockMs = [&] { return now; };
  auto click = [&](Point p, int64_t b = 1) {
    inj.button(p, b, true);
    int64_t c = inj.clickCount();
    now += 50;  // a release takes a while; it must not move the limit
    inj.button(p, b, false);
    EXPECT_EQ(inj.clickCount(), c) << "a release keeps the count";
    return c;
  };
  EXPECT_EQ(click({100, 100}), 1);
  now += 250;
  EXPECT_EQ(click({103, 100}), 2);
  now += 250;
  EXPECT_EQ(click({103, 100}, 2), 3);  // the buttons share the counter
  now += 349;  // 399 ms after the last press
  EXPECT_EQ(click({103, 100}), 4);
  now += 350;  // 400 ms: too late
  EXPECT_EQ(click({103, 100}), 1);
  now += 450;
  EXPECT_EQ(click({103, 100}), 1);
  EXPECT_EQ(click({108.9, 100}), 2);  // 5.9 apart
  EXPECT_EQ(click({114.9, 100}), 1);  // 6 apart
}

TEST(InputInjector, ScrollBecomesWheelClicksWithTheRemainderCarried) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Receiver rx;
  InputInjector inj;
  // The wheel clicks of one call: waits for `n` of them, then a moment longer
  // for any that should not be there.
  auto presses = [&](size_t n) {
    EXPECT_TRUE(rx.waitFor([&](auto& evs, auto&) { return only(evs, {ButtonRelease}).size() >= n; })) << n;
    rx.settle(200ms);
    std::vector<unsigned> out;
    for (auto& e : only(rx.events(), {ButtonPress})) out.push_back(e.button);
    rx.clear();
    return out;
  };
  inj.scroll(0, 100);  // two clicks up, 20 carried
  EXPECT_EQ(presses(2), (std::vector<unsigned>{4, 4}));
  inj.scroll(0, 25);  // 45: one more
  EXPECT_EQ(presses(1), (std::vector<unsigned>{4}));
  inj.scroll(0, -80);  // 5 - 80 = -75: one down
  EXPECT_EQ(presses(1), (std::vector<unsigned>{5}));
  inj.scroll(50, 0);
  EXPECT_EQ(presses(1), (std::vector<unsigned>{6}));
  inj.scroll(-90, 0);  // 10 - 90 = -80
  EXPECT_EQ(presses(2), (std::vector<unsigned>{7, 7}));
  inj.scroll(0, 39.4);  // -35 + 39 = 4
  EXPECT_EQ(presses(0), (std::vector<unsigned>{}));
  // Not finite or beyond 32 bits: skipped; huge but valid: capped.
  inj.scroll(NAN, 1000);
  inj.scroll(0, 1e12);
  EXPECT_EQ(presses(0), (std::vector<unsigned>{}));
  inj.scroll(0, 2e9);
  EXPECT_EQ(presses(50).size(), 50u);
}

TEST(InputInjector, KeysWithModifiersReachTheFocusedWindow) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Receiver rx;
  InputInjector inj;
  // The events of `n` key taps: waits for them, then a moment longer for any
  // that should not be there.
  auto pressed = [&](size_t n) {
    EXPECT_TRUE(rx.waitFor([&](auto& evs, auto&) {
      return only(evs, {KeyPress}).size() >= n && only(evs, {KeyRelease}).size() >= n;
    })) << n;
    rx.settle(200ms);
    auto evs = rx.events();
    rx.clear();
    return evs;
  };
  inj.key("a", 2);
  auto evs = pressed(2);
  auto p = only(evs, {KeyPress});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].keysym, XK_Control_L);
  EXPECT_EQ(p[1].keysym, XK_a);
  EXPECT_TRUE(p[1].state & ControlMask);
  EXPECT_EQ(only(evs, {KeyRelease}).size(), 2u);

  inj.key("a", 1 | 4 | 8 | 16);
  p = only(pressed(4), {KeyPress});
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[3].keysym, XK_A);
  EXPECT_TRUE(p[3].state & ShiftMask);
  EXPECT_TRUE(p[3].state & Mod1Mask);  // Alt
  EXPECT_TRUE(p[3].state & Mod4Mask);  // Super

  // A keysym on the shifted level gets Shift by itself.
  inj.key(":", 0);
  p = only(pressed(2), {KeyPress});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].keysym, XK_colon);

  inj.key("Enter", 0);
  inj.key("F5", 0);
  inj.key("PageDown", 0);
  p = only(pressed(3), {KeyPress});
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].keysym, XK_Return);
  EXPECT_EQ(p[1].keysym, XK_F5);
  EXPECT_EQ(p[2].keysym, XK_Next);

  // Unknown names post nothing.
  inj.key("A", 0);
  inj.key("NoSuchKey", 0);
  inj.key("", 0);
  EXPECT_TRUE(pressed(0).empty());

  // A key the layout lacks is typed on a borrowed keycode.
  inj.key("¥", 0);
  p = only(pressed(1), {KeyPress});
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].keysym, XK_yen);
}

TEST(InputInjector, TextOfAnyScriptArrivesIntactInASlowReader) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Receiver rx(8ms);
  SerialQueue q("input");
  InputInjector inj(&q);
  int freeBefore = emptyKeycodes();
  const std::string s = "héllo → 日本語 ✓";
  q.sync([&] { inj.text(s); });
  ASSERT_TRUE(rx.waitFor([&](auto&, auto& t) { return t.size() >= s.size(); }));
  EXPECT_EQ(rx.text(), s);

  rx.clear();
  q.sync([&] { inj.text("Hello, World!\nx\r\ny\tz"); });
  const std::string typed = "Hello, World!\nx\nyz";
  ASSERT_TRUE(rx.waitFor([&](auto&, auto& t) { return t.size() >= typed.size(); }));
  rx.settle();
  EXPECT_EQ(rx.text(), typed);
  auto p = only(rx.events(), {KeyPress});
  ASSERT_GE(p.size(), 2u);
  EXPECT_EQ(p[p.size() - 2].keysym, XK_Tab);

  // More distinct characters than there are free keycodes: codes are reused
  // chunk by chunk, and the text still arrives whole.
  rx.clear();
  std::string many;
  for (uint32_t cp = 0x4e00; cp < 0x4e00 + 45; ++cp) many += utf8(cp);
  q.sync([&] { inj.text(many); });
  ASSERT_TRUE(rx.waitFor([&](auto&, auto& t) { return t.size() >= many.size(); }, 120s));
  EXPECT_EQ(rx.text(), many);

  // Malformed UTF-8 is skipped, the rest typed.
  rx.clear();
  q.sync([&] { inj.text(std::string("o\xff\xc3k")); });
  ASSERT_TRUE(rx.waitFor([&](auto&, auto& t) { return t.size() >= 2; }));
  rx.settle();
  EXPECT_EQ(rx.text(), "ok");

  // Idle for a moment: the borrowed keycodes are given back.
  auto deadline = std::chrono::steady_clock::now() + 60s;
  int free = -1;
  while (std::chrono::steady_clock::now() < deadline) {
    q.sync([] {});
    if ((free = emptyKeycodes()) == freeBefore) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(free, freeBefore);
}

TEST(InputInjector, ReleaseAllLetsGoOfHeldButtons) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  InputInjector inj;
  inj.button({300, 300}, 1, true);
  inj.button({300, 300}, 2, true);
  auto p = queryPointer();
  EXPECT_TRUE(p.mask & Button1Mask);
  EXPECT_TRUE(p.mask & Button3Mask);
  inj.releaseAll();
  p = queryPointer();
  EXPECT_FALSE(p.mask & (Button1Mask | Button3Mask));
  EXPECT_FALSE(inj.leftDown());
  EXPECT_FALSE(inj.rightDown());
}

TEST(InputInjector, WithoutADisplayEveryCallDoesNothing) {
  unsetenv("DISPLAY");
  auto inj = std::make_unique<InputInjector>();
  EXPECT_FALSE(inj->available());
  inj->move(0.5, 0.5);
  inj->button({1, 1}, 1, true);
  inj->scroll(0, 100);
  inj->key("a", 3);
  inj->text("héllo");
  inj->moveRel(5, 5);
  inj->releaseAll();
  EXPECT_FALSE(inj->pointer());

  // A display that comes later is picked up.
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  std::this_thread::sleep_for(2100ms);
  inj->move(0.25, 0.25);
  EXPECT_TRUE(inj->available());
  auto p = queryPointer();
  EXPECT_EQ(p.x, 480);
  EXPECT_EQ(p.y, 270);
  inj.reset();  // before its server goes
}

TEST(InputInjector, VanishingServerLeavesCallsHarmless) {
  if (TOLVANE_TSAN) GTEST_SKIP() << "libX11's lock handling after a lost connection";
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  InputInjector inj;
  inj.button({10, 10}, 1, true);
  inj.text("日本");
  x.kill();
  inj.move(0.5, 0.5);
  inj.button({10, 10}, 1, false);
  inj.text("語");
  inj.key("a", 1);
  inj.releaseAll();
  EXPECT_FALSE(inj.available());
  EXPECT_FALSE(inj.pointer());
}
