#include "view/FrontWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Log.h"
#include "app/XConn.h"
#include "session/Messages.h"

using nlohmann::json;

namespace {
constexpr long kSourcePager = 2;  // requests from a tool acting for the user
constexpr long kRemove = 0, kAdd = 1;
const char* kRecord = "_TOLVANE_MOVED_WINDOW";

std::vector<unsigned long> property(Display* d, Window w, const char* name, Atom type) {
  std::vector<unsigned long> out;
  Atom a = XInternAtom(d, name, True), got;
  if (a == None) return out;
  int format;
  unsigned long n = 0, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, w, a, 0, 1024, False, type, &got, &format, &n, &after, &data) == Success && data &&
      format == 32) {
    const long* v = reinterpret_cast<const long*>(data);
    for (unsigned long i = 0; i < n; ++i) out.push_back(static_cast<unsigned long>(v[i]));
  }
  if (data) XFree(data);
  return out;
}

void message(Display* d, Window w, const char* type, long a0, long a1, long a2, long a3, long a4) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, type, False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = a0;
  e.xclient.data.l[1] = a1;
  e.xclient.data.l[2] = a2;
  e.xclient.data.l[3] = a3;
  e.xclient.data.l[4] = a4;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
}

void setState(Display* d, Window w, long action, const char* a, const char* b = nullptr) {
  message(d, w, "_NET_WM_STATE", action, long(XInternAtom(d, a, False)), b ? long(XInternAtom(d, b, False)) : 0,
          kSourcePager, 0);
}

bool alive(Display* d, Window w) {
  XWindowAttributes a;
  bool ok = XGetWindowAttributes(d, w, &a) != 0;
  XSync(d, False);
  return ok && xconn::takeError(d) == 0;
}

// Waits up to `limit` for the window manager to act on a request.
template <class F>
void settle(Display* d, F done, std::chrono::milliseconds limit = std::chrono::milliseconds(800)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    XSync(d, False);
    if (done()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool sameRect(const Rect& a, const Rect& b) {
  return std::fabs(a.x - b.x) < 0.5 && std::fabs(a.y - b.y) < 0.5 && std::fabs(a.w - b.w) < 0.5 &&
         std::fabs(a.h - b.h) < 0.5;
}

void moveResize(Display* d, Window w, const Rect& frame) {
  // North-west gravity: x and y place the frame's outer corner.
  long flags = NorthWestGravity | (1L << 8) | (1L << 9) | (1L << 10) | (1L << 11) | (kSourcePager << 12);
  message(d, w, "_NET_MOVERESIZE_WINDOW", flags, std::lround(frame.x), std::lround(frame.y),
          std::max(1L, std::lround(frame.w)), std::max(1L, std::lround(frame.h)));
}
}  // namespace

namespace frontwin {

std::optional<Rect> frameOf(Display* d, unsigned long window) {
  if (!d || !window || !alive(d, window)) return std::nullopt;
  Window root = DefaultRootWindow(d), child;
  XWindowAttributes a;
  int rx = 0, ry = 0;
  if (!XGetWindowAttributes(d, window, &a) || !XTranslateCoordinates(d, window, root, 0, 0, &rx, &ry, &child))
    return std::nullopt;
  auto ext = property(d, window, "_NET_FRAME_EXTENTS", XA_CARDINAL);
  long left = ext.size() == 4 ? long(ext[0]) : 0, top = ext.size() == 4 ? long(ext[2]) : 0;
  return Rect{double(rx - left), double(ry - top), double(a.width), double(a.height)};
}

std::optional<MovedWindow> grab(Display* d) {
  if (!d || xconn::lost(d)) return std::nullopt;
  Window root = DefaultRootWindow(d);
  auto active = property(d, root, "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (active.empty() || active[0] == 0) return std::nullopt;
  Window w = active[0];
  auto pid = property(d, w, "_NET_WM_PID", XA_CARDINAL);
  if (!pid.empty() && pid[0] == static_cast<unsigned long>(getpid())) return std::nullopt;
  if (!alive(d, w)) return std::nullopt;
  MovedWindow m;
  m.window = w;
  auto state = property(d, w, "_NET_WM_STATE", XA_ATOM);
  Atom mh = XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_HORZ", False);
  Atom mv = XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_VERT", False);
  Atom fs = XInternAtom(d, "_NET_WM_STATE_FULLSCREEN", False);
  for (unsigned long s : state) {
    m.maxHorz = m.maxHorz || s == mh;
    m.maxVert = m.maxVert || s == mv;
    m.fullscreen = m.fullscreen || s == fs;
  }
  if (m.fullscreen) setState(d, w, kRemove, "_NET_WM_STATE_FULLSCREEN");
  if (m.maxHorz || m.maxVert) setState(d, w, kRemove, "_NET_WM_STATE_MAXIMIZED_HORZ", "_NET_WM_STATE_MAXIMIZED_VERT");
  if (m.fullscreen || m.maxHorz || m.maxVert) {
    // The frame to come back to is the one the window manager restores.
    settle(d, [&] {
      auto now = property(d, w, "_NET_WM_STATE", XA_ATOM);
      for (unsigned long s : now)
        if (s == mh || s == mv || s == fs) return false;
      return true;
    });
  }
  auto f = frameOf(d, w);
  if (!f) return std::nullopt;
  m.frame = *f;
  return m;
}

Rect moveInto(Display* d, const MovedWindow& m, const Rect& bounds) {
  auto ext = property(d, m.window, "_NET_FRAME_EXTENTS", XA_CARDINAL);
  double fw = ext.size() == 4 ? double(ext[0] + ext[1]) : 0, fh = ext.size() == 4 ? double(ext[2] + ext[3]) : 0;
  Rect to{bounds.x + 20, bounds.y + 40, std::min(m.frame.w, bounds.w - 40 - fw),
          std::min(m.frame.h, bounds.h - 60 - fh)};
  to.w = std::max(to.w, 1.0);
  to.h = std::max(to.h, 1.0);
  moveResize(d, m.window, to);
  settle(d, [&] {
    auto f = frameOf(d, m.window);
    return !f || sameRect(*f, to);
  });
  return to;
}

bool restore(Display* d, const MovedWindow& m) {
  if (!d || xconn::lost(d) || !alive(d, m.window)) return false;
  moveResize(d, m.window, m.frame);
  settle(d, [&] {
    auto f = frameOf(d, m.window);
    return !f || sameRect(*f, m.frame);
  });
  if (m.maxHorz || m.maxVert) {
    if (m.maxHorz && m.maxVert)
      setState(d, m.window, kAdd, "_NET_WM_STATE_MAXIMIZED_HORZ", "_NET_WM_STATE_MAXIMIZED_VERT");
    else
      setState(d, m.window, kAdd, m.maxHorz ? "_NET_WM_STATE_MAXIMIZED_HORZ" : "_NET_WM_STATE_MAXIMIZED_VERT");
  }
  if (m.fullscreen) setState(d, m.window, kAdd, "_NET_WM_STATE_FULLSCREEN");
  XSync(d, False);
  xconn::takeError(d);
  return true;
}

void save(Display* d, const MovedWindow& m) {
  json j = {{"window", m.window},
            {"frame", {m.frame.x, m.frame.y, m.frame.w, m.frame.h}},
            {"maxHorz", m.maxHorz},
            {"maxVert", m.maxVert},
            {"fullscreen", m.fullscreen}};
  std::string text = jsonText(j);
  XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, kRecord, False), XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  XSync(d, False);
  xconn::takeError(d);
}

std::optional<MovedWindow> load(Display* d) {
  Atom a = XInternAtom(d, kRecord, True), type;
  if (a == None) return std::nullopt;
  int format;
  unsigned long n = 0, after;
  unsigned char* data = nullptr;
  std::string text;
  if (XGetWindowProperty(d, DefaultRootWindow(d), a, 0, 4096, False, XA_STRING, &type, &format, &n, &after,
                         &data) == Success &&
      data && format == 8)
    text.assign(reinterpret_cast<const char*>(data), n);
  if (data) XFree(data);
  json j = json::parse(text, nullptr, false);
  try {
    if (!j.is_object()) return std::nullopt;
    MovedWindow m;
    m.window = j.at("window").get<unsigned long>();
    auto fr = j.at("frame");
    if (!fr.is_array() || fr.size() != 4) return std::nullopt;
    m.frame = Rect{fr[0].get<double>(), fr[1].get<double>(), fr[2].get<double>(), fr[3].get<double>()};
    for (double v : {m.frame.x, m.frame.y, m.frame.w, m.frame.h})
      if (!std::isfinite(v) || std::fabs(v) > 1e6) return std::nullopt;
    m.maxHorz = j.value("maxHorz", false);
    m.maxVert = j.value("maxVert", false);
    m.fullscreen = j.value("fullscreen", false);
    return m;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void forget(Display* d) {
  Atom a = XInternAtom(d, kRecord, True);
  if (a == None) return;
  XDeleteProperty(d, DefaultRootWindow(d), a);
  XSync(d, False);
  xconn::takeError(d);
}

}  // namespace frontwin
