#include "session/InputInjector.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "app/SerialQueue.h"
#include "app/XConn.h"
#include "media/Displays.h"
#include "session/KeyNames.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
constexpr double kClickMs = 400;
constexpr double kClickDistance = 6;
constexpr double kWheelStep = 40;
// A wild scroll value must not become millions of clicks; the excess is dropped.
constexpr int kMaxClicksPerCall = 50;
// Applications read a changed keyboard mapping only when they handle the
// mapping notification; typing must wait for that, and borrowed keycodes must
// keep their meaning until the keystrokes that used them have been read.
constexpr auto kMappingSettle = 50ms;
constexpr auto kRestoreIdle = 500ms;
constexpr auto kReuseGap = 250ms;
constexpr size_t kPaceUnits = 16;  // UTF-16 units typed between short pauses
constexpr auto kPace = 2ms;
constexpr auto kReconnectEvery = 2s;

// Decodes UTF-8, skipping malformed bytes.
std::vector<uint32_t> decodeUtf8(const std::string& s) {
  std::vector<uint32_t> out;
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > n) {
      ++i;
      continue;
    }
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xc0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    static const uint32_t minFor[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < minFor[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

// Pixel for a coordinate that should stay inside [lo, lo + len).
int pixelWithin(double v, double lo, double len) {
  int first = int(std::ceil(lo));
  int last = std::max(first, int(std::ceil(lo + len)) - 1);
  return std::clamp(int(std::floor(v)), first, last);
}

}  // namespace

struct InputInjector::State : std::enable_shared_from_this<InputInjector::State> {
  Display* dpy = nullptr;
  SerialQueue* queue = nullptr;
  bool tried = false;
  bool xtestMissingLogged = false;
  Clock::time_point lastTry{};

  bool leftDown = false;
  bool rightDown = false;
  double lastDownMs = 0;
  Point lastDownPt;
  int64_t clickCount = 1;
  double wheelX = 0, wheelY = 0;
  std::set<unsigned> heldKeys;

  // Keycodes without symbols, borrowed for characters the layout lacks.
  std::vector<KeyCode> spare;
  std::map<KeySym, KeyCode> borrowed;
  std::map<KeyCode, Clock::time_point> lastUse;
  Clock::time_point lastTyping{};
  std::shared_ptr<QueueTimer> restoreTimer;

  ~State() {
    if (!dpy) return;
    releaseAll();
    xconn::close(dpy);
  }

  bool ok() const { return dpy && !xconn::lost(dpy); }

  // Connected, or connected now: a host started before the X server, or one
  // whose server was restarted, gets its input through once X is there.
  bool ready() {
    if (ok()) return true;
    if (dpy) {
      xconn::close(dpy);
      dpy = nullptr;
      leftDown = rightDown = false;
      heldKeys.clear();
      borrowed.clear();
      lastUse.clear();
      spare.clear();
    }
    auto now = Clock::now();
    if (tried && now - lastTry < kReconnectEvery) return false;
    tried = true;
    lastTry = now;
    Display* d = xconn::open();
    if (!d) return false;
    int ev, err, major, minor;
    if (!XTestQueryExtension(d, &ev, &err, &major, &minor)) {
      if (!xtestMissingLogged) logf("[host] XTEST がないため入力を注入できません");
      xtestMissingLogged = true;
      xconn::close(d);
      return false;
    }
    // Keeps injected input working while another client grabs the server.
    XTestGrabControl(d, True);
    dpy = d;
    return true;
  }

  void flush() { XFlush(dpy); }

  void motion(int x, int y) { XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime); }

  void fakeButton(unsigned b, bool down) { XTestFakeButtonEvent(dpy, b, down ? True : False, CurrentTime); }

  void fakeKey(KeyCode kc, bool down) {
    XTestFakeKeyEvent(dpy, kc, down ? True : False, CurrentTime);
    if (down) {
      heldKeys.insert(kc);
    } else {
      heldKeys.erase(kc);
    }
  }

  // Reads what is queued on the connection so a changed keyboard layout is
  // seen before keys are looked up.
  void drainEvents() {
    while (XPending(dpy) > 0) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == MappingNotify) XRefreshKeyboardMapping(&ev.xmapping);
    }
  }

  struct Place {
    KeyCode code = 0;
    bool shift = false;
  };

  // Where a keysym sits on the current layout group: level 1 without
  // modifiers, or level 2 when Shift reaches it.
  std::map<KeySym, Place> layoutPlaces() {
    std::map<KeySym, Place> places;
    XkbDescPtr xkb = XkbGetMap(dpy, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    if (!xkb) return places;
    XkbStateRec st{};
    int group = XkbGetState(dpy, XkbUseCoreKbd, &st) == Success ? st.group : 0;
    for (int kc = xkb->min_key_code; kc <= xkb->max_key_code; ++kc) {
      int groups = XkbKeyNumGroups(xkb, kc);
      if (groups == 0) continue;
      int g = group < groups ? group : 0;
      XkbKeyTypePtr type = XkbKeyKeyType(xkb, kc, g);
      int width = XkbKeyGroupWidth(xkb, kc, g);
      bool shiftLevel = false;
      for (int i = 0; type && i < type->map_count; ++i)
        if (type->map[i].active && type->map[i].level == 1 && type->map[i].mods.mask == ShiftMask)
          shiftLevel = true;
      for (int level = 0; level < std::min(width, 2); ++level) {
        if (level == 1 && !shiftLevel) break;
        KeySym ks = XkbKeySymEntry(xkb, kc, level, g);
        if (ks == NoSymbol) continue;
        auto it = places.find(ks);
        // Prefer the unshifted place and the lower keycode.
        if (it == places.end() || (it->second.shift && level == 0)) places[ks] = Place{KeyCode(kc), level == 1};
      }
    }
    XkbFreeKeyboard(xkb, 0, True);
    return places;
  }

  void findSpare() {
    spare.clear();
    int minKc = 0, maxKc = 0, per = 0;
    XDisplayKeycodes(dpy, &minKc, &maxKc);
    KeySym* map = XGetKeyboardMapping(dpy, KeyCode(minKc), maxKc - minKc + 1, &per);
    if (!map) return;
    for (int kc = minKc; kc <= maxKc; ++kc) {
      bool empty = true;
      for (int j = 0; j < per; ++j)
        if (map[(kc - minKc) * per + j] != NoSymbol) empty = false;
      if (empty) spare.push_back(KeyCode(kc));
    }
    XFree(map);
    // Other tools borrow from the top; start at the other end.
    std::reverse(spare.begin(), spare.end());
  }

  void mapCode(KeyCode kc, KeySym ks) {
    // Two equal symbols: a single one would get a case pair, and an upper-case
    // letter would type as lower case.
    KeySym pair[2] = {ks, ks};
    XChangeKeyboardMapping(dpy, kc, 2, pair, 1);
  }

  void restoreBorrowed() {
    if (borrowed.empty() || !ok()) {
      borrowed.clear();
      return;
    }
    for (auto& [ks, kc] : borrowed) {
      KeySym none[2] = {NoSymbol, NoSymbol};
      XChangeKeyboardMapping(dpy, kc, 2, none, 1);
    }
    borrowed.clear();
    lastUse.clear();
    XSync(dpy, False);
  }

  void scheduleRestore() {
    if (!queue) return;
    if (restoreTimer) restoreTimer->cancel();
    std::weak_ptr<State> weak = shared_from_this();
    restoreTimer = QueueTimer::once(*queue, kRestoreIdle + 20ms, [weak] {
      if (auto s = weak.lock()) s->restoreIfIdle();
    });
  }

  void restoreIfIdle() {
    if (borrowed.empty()) return;
    if (Clock::now() - lastTyping >= kRestoreIdle) {
      restoreBorrowed();
    } else {
      scheduleRestore();
    }
  }

  // One keycode for a keysym the layout lacks; 0 when none is free.
  KeyCode borrow(KeySym ks) {
    if (auto b = borrowed.find(ks); b != borrowed.end()) return b->second;
    if (borrowed.empty()) findSpare();
    std::set<KeyCode> used;
    for (auto& [k, kc] : borrowed) used.insert(kc);
    KeyCode kc = 0;
    for (KeyCode c : spare)
      if (!used.count(c)) {
        kc = c;
        break;
      }
    if (!kc) {
      if (borrowed.empty()) return 0;
      auto oldest = std::min_element(borrowed.begin(), borrowed.end(), [&](auto& a, auto& b) {
        return lastUse[a.second] < lastUse[b.second];
      });
      kc = oldest->second;
      auto gap = lastUse[kc] + kReuseGap - Clock::now();
      borrowed.erase(oldest);
      if (gap > 0ms) {
        XSync(dpy, False);
        std::this_thread::sleep_for(gap);
      }
    }
    borrowed[ks] = kc;
    mapCode(kc, ks);
    XSync(dpy, False);
    std::this_thread::sleep_for(kMappingSettle);
    return kc;
  }

  void tap(KeyCode kc, bool shift, KeyCode shiftCode) {
    if (shift && shiftCode) fakeKey(shiftCode, true);
    fakeKey(kc, true);
    fakeKey(kc, false);
    if (shift && shiftCode) fakeKey(shiftCode, false);
  }

  void releaseAll() {
    if (!ok()) return;
    for (unsigned kc : std::vector<unsigned>(heldKeys.begin(), heldKeys.end())) fakeKey(KeyCode(kc), false);
    if (leftDown) fakeButton(1, false);
    if (rightDown) fakeButton(3, false);
    leftDown = rightDown = false;
    restoreBorrowed();
    XSync(dpy, False);
  }
};

InputInjector::InputInjector(SerialQueue* inputQueue) : s_(std::make_shared<State>()) {
  s_->queue = inputQueue;
  s_->ready();
}

InputInjector::~InputInjector() {
  if (s_->restoreTimer) s_->restoreTimer->cancel();
}

bool InputInjector::available() const { return s_->ok(); }
int64_t InputInjector::clickCount() const { return s_->clickCount; }
bool InputInjector::leftDown() const { return s_->leftDown; }
bool InputInjector::rightDown() const { return s_->rightDown; }

Rect InputInjector::mapping() {
  Rect r = mapRect ? mapRect() : mainDisplayBounds();
  return r;
}

Rect InputInjector::moving() {
  Rect r = moveRect ? moveRect() : mainDisplayBounds();
  return r;
}

void InputInjector::move(double x, double y) {
  if (!s_->ready() || !std::isfinite(x) || !std::isfinite(y)) return;
  Rect r = mapping();
  if (r.empty()) return;
  s_->motion(pixelWithin(r.x + clamp01(x) * r.w, r.x, r.w), pixelWithin(r.y + clamp01(y) * r.h, r.y, r.h));
  s_->flush();
}

void InputInjector::button(Point at, int64_t b, bool down) {
  auto& s = *s_;
  if (!s.ready() || !std::isfinite(at.x) || !std::isfinite(at.y)) return;
  bool right = b == 2;
  if (down) {
    double now = clockMs ? clockMs() : epochMs();
    if (now - s.lastDownMs < kClickMs && std::hypot(at.x - s.lastDownPt.x, at.y - s.lastDownPt.y) < kClickDistance) {
      s.clickCount += 1;
    } else {
      s.clickCount = 1;
    }
    s.lastDownMs = now;
    s.lastDownPt = at;
  }
  // A point on the mapping rectangle's far edge (x or y of exactly 1) belongs
  // to its last pixel, not to the next display.
  Rect r = mapping();
  int px, py;
  if (!r.empty() && at.x >= r.x && at.x <= r.maxX() && at.y >= r.y && at.y <= r.maxY()) {
    px = pixelWithin(at.x, r.x, r.w);
    py = pixelWithin(at.y, r.y, r.h);
  } else {
    px = int(std::clamp(std::floor(at.x), -1e6, 1e6));
    py = int(std::clamp(std::floor(at.y), -1e6, 1e6));
  }
  s.motion(px, py);
  s.fakeButton(right ? 3 : 1, down);
  (right ? s.rightDown : s.leftDown) = down;
  s.flush();
}

void InputInjector::scroll(double dx, double dy) {
  auto& s = *s_;
  if (!s.ready() || !std::isfinite(dx) || !std::isfinite(dy)) return;
  double rx = std::round(dx), ry = std::round(dy);
  constexpr double lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  if (rx < lo || rx > hi || ry < lo || ry > hi) return;
  auto clicks = [](double& acc, double delta) {
    acc += delta;
    double n = std::trunc(acc / kWheelStep);
    acc -= n * kWheelStep;
    return int(std::clamp(n, double(-kMaxClicksPerCall), double(kMaxClicksPerCall)));
  };
  int vy = clicks(s.wheelY, ry), vx = clicks(s.wheelX, rx);
  for (int i = 0; i < std::abs(vy); ++i) {
    s.fakeButton(vy > 0 ? 4 : 5, true);
    s.fakeButton(vy > 0 ? 4 : 5, false);
  }
  for (int i = 0; i < std::abs(vx); ++i) {
    s.fakeButton(vx > 0 ? 6 : 7, true);
    s.fakeButton(vx > 0 ? 6 : 7, false);
  }
  s.flush();
}

void InputInjector::key(const std::string& name, int64_t mods) {
  auto& s = *s_;
  if (!s.ready()) return;
  auto ks = keysymForName(name);
  if (!ks) return;
  s.drainEvents();
  auto places = s.layoutPlaces();
  State::Place place;
  if (auto it = places.find(*ks); it != places.end()) {
    place = it->second;
  } else if (auto b = s.borrowed.find(*ks); b != s.borrowed.end()) {
    place.code = b->second;
  } else {
    // A key this layout lacks (¥ on a US layout): borrow a keycode as text does.
    place.code = s.borrow(*ks);
    if (!place.code) return;
    s.lastUse[place.code] = Clock::now();
  }
  static const KeySym modSyms[4] = {XK_Shift_L, XK_Control_L, XK_Alt_L, XK_Super_L};
  std::vector<KeyCode> held;
  for (int bit = 0; bit < 4; ++bit) {
    bool want = (mods >> bit) & 1;
    if (bit == 0 && place.shift) want = true;
    if (!want) continue;
    KeyCode kc = XKeysymToKeycode(s.dpy, modSyms[bit]);
    if (kc) held.push_back(kc);
  }
  for (KeyCode kc : held) s.fakeKey(kc, true);
  s.fakeKey(place.code, true);
  s.fakeKey(place.code, false);
  for (auto it = held.rbegin(); it != held.rend(); ++it) s.fakeKey(*it, false);
  XSync(s.dpy, False);
  if (!s.borrowed.empty()) {
    s.lastTyping = Clock::now();
    s.scheduleRestore();
  }
}

void InputInjector::text(const std::string& utf8) {
  auto& s = *s_;
  if (!s.ready()) return;
  if (s.queue == nullptr && !s.borrowed.empty() && Clock::now() - s.lastTyping >= kRestoreIdle) s.restoreBorrowed();
  std::vector<uint32_t> cps = decodeUtf8(utf8);
  if (cps.empty()) return;

  // What to type: a keysym per character; line breaks become Return.
  std::vector<KeySym> syms;
  for (size_t i = 0; i < cps.size(); ++i) {
    uint32_t c = cps[i];
    if (c == '\r' && i + 1 < cps.size() && cps[i + 1] == '\n') continue;  // CR LF is one Enter
    if (c == '\n') {
      syms.push_back(XK_Return);
    } else if (c == '\t') {
      syms.push_back(XK_Tab);
    } else if (auto ks = keysymForCodePoint(c)) {
      syms.push_back(*ks);
    }
  }
  if (syms.empty()) return;

  s.drainEvents();
  auto places = s.layoutPlaces();
  KeyCode shiftCode = XKeysymToKeycode(s.dpy, XK_Shift_L);
  // Borrowed codes are on the layout too now; they are typed through the
  // borrowed table.
  for (auto& [ks, kc] : s.borrowed) places.erase(ks);

  size_t units = 0;
  size_t i = 0;
  while (i < syms.size()) {
    // A chunk: as many characters as the free keycodes can carry.
    if (s.borrowed.empty()) s.findSpare();
    std::set<KeySym> need;
    size_t end = i;
    for (; end < syms.size(); ++end) {
      KeySym ks = syms[end];
      if (places.count(ks) || s.borrowed.count(ks) || need.count(ks)) continue;
      if (need.size() + 1 > s.spare.size()) break;
      need.insert(ks);
    }
    if (end == i) {
      // Not one keycode to borrow: this character cannot be typed.
      ++i;
      continue;
    }
    if (!need.empty()) {
      // Codes in use for this chunk stay; the least recently used others go.
      std::set<KeyCode> keep;
      for (size_t k = i; k < end; ++k)
        if (auto b = s.borrowed.find(syms[k]); b != s.borrowed.end()) keep.insert(b->second);
      std::vector<KeyCode> free;
      std::set<KeyCode> used;
      for (auto& [ks, kc] : s.borrowed) used.insert(kc);
      for (KeyCode kc : s.spare)
        if (!used.count(kc)) free.push_back(kc);
      std::vector<std::pair<Clock::time_point, KeyCode>> evictable;
      for (auto& [ks, kc] : s.borrowed)
        if (!keep.count(kc)) evictable.push_back({s.lastUse[kc], kc});
      std::sort(evictable.begin(), evictable.end());
      Clock::time_point latestEvicted{};
      for (KeySym ks : need) {
        KeyCode kc;
        if (!free.empty()) {
          kc = free.back();
          free.pop_back();
        } else {
          kc = evictable.front().second;
          latestEvicted = std::max(latestEvicted, evictable.front().first);
          evictable.erase(evictable.begin());
          for (auto it = s.borrowed.begin(); it != s.borrowed.end(); ++it)
            if (it->second == kc) {
              s.borrowed.erase(it);
              break;
            }
        }
        s.borrowed[ks] = kc;
      }
      // Keys typed a moment ago with a code about to change meaning must be
      // read by the application first.
      auto gap = latestEvicted + kReuseGap - Clock::now();
      if (latestEvicted != Clock::time_point{} && gap > 0ms) {
        XSync(s.dpy, False);
        std::this_thread::sleep_for(gap);
      }
      for (KeySym ks : need) s.mapCode(s.borrowed[ks], ks);
      XSync(s.dpy, False);
      std::this_thread::sleep_for(kMappingSettle);
    }
    for (; i < end; ++i) {
      KeySym ks = syms[i];
      if (auto p = places.find(ks); p != places.end()) {
        s.tap(p->second.code, p->second.shift, shiftCode);
      } else {
        KeyCode kc = s.borrowed[ks];
        s.tap(kc, false, 0);
        s.lastUse[kc] = Clock::now();
      }
      units += (ks >= 0x1010000) ? 2 : 1;
      if (units >= kPaceUnits) {
        units = 0;
        XSync(s.dpy, False);
        std::this_thread::sleep_for(kPace);
      }
    }
  }
  XSync(s.dpy, False);
  s.lastTyping = Clock::now();
  if (!s.borrowed.empty()) s.scheduleRestore();
}

void InputInjector::moveRel(double dx, double dy) {
  auto& s = *s_;
  if (!s.ready() || !std::isfinite(dx) || !std::isfinite(dy) || std::fabs(dx) > 1e9 || std::fabs(dy) > 1e9) return;
  Rect r = moving();
  if (r.empty()) return;
  Point l = pointer().value_or(r.centre());
  s.motion(pixelWithin(std::round(l.x + dx), r.x, r.w), pixelWithin(std::round(l.y + dy), r.y, r.h));
  s.flush();
}

std::optional<Point> InputInjector::pointer() {
  auto& s = *s_;
  if (!s.ready()) return std::nullopt;
  Window root, child;
  int rx, ry, wx, wy;
  unsigned mask;
  if (!XQueryPointer(s.dpy, DefaultRootWindow(s.dpy), &root, &child, &rx, &ry, &wx, &wy, &mask))
    return std::nullopt;
  return Point{double(rx), double(ry)};
}

void InputInjector::releaseAll() {
  if (s_->restoreTimer) s_->restoreTimer->cancel();
  s_->releaseAll();
}
