#include "media/Displays.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <mutex>

#include "app/XConn.h"

std::vector<DisplayInfo> listDisplays(Display* dpy) {
  std::vector<DisplayInfo> out;
  if (!dpy || xconn::lost(dpy)) return out;
  Window root = DefaultRootWindow(dpy);
  int ev, err, major = 0, minor = 0;
  bool monitors = XRRQueryExtension(dpy, &ev, &err) && XRRQueryVersion(dpy, &major, &minor) &&
                  (major > 1 || (major == 1 && minor >= 5));
  if (!monitors) {
    XWindowAttributes a;
    if (XGetWindowAttributes(dpy, root, &a))
      out.push_back({"root", Rect{0, 0, double(a.width), double(a.height)}, true});
    return out;
  }
  int n = 0;
  XRRMonitorInfo* m = XRRGetMonitors(dpy, root, True, &n);
  for (int i = 0; m && i < n; ++i) {
    DisplayInfo d;
    if (char* name = XGetAtomName(dpy, m[i].name)) {
      d.name = name;
      XFree(name);
    }
    d.bounds = Rect{double(m[i].x), double(m[i].y), double(m[i].width), double(m[i].height)};
    d.primary = m[i].primary;
    out.push_back(d);
  }
  if (m) XRRFreeMonitors(m);
  return out;
}

std::optional<DisplayInfo> mainDisplay(const std::vector<DisplayInfo>& list) {
  for (const auto& d : list)
    if (d.primary) return d;
  for (const auto& d : list)
    if (d.name != kVirtualMonitor) return d;
  if (!list.empty()) return list.front();
  return std::nullopt;
}

std::optional<DisplayInfo> findListed(const std::vector<DisplayInfo>& list,
                                      const std::optional<std::string>& want) {
  if (!want) return mainDisplay(list);
  for (const auto& d : list)
    if (d.name == *want) return d;
  const std::string& w = *want;
  if (!w.empty() && w.size() < 4 && w.find_first_not_of("0123456789") == std::string::npos) {
    size_t i = std::stoul(w);
    if (i < list.size()) return list[i];
  }
  return std::nullopt;
}

std::optional<double> workAreaTop(Display* dpy) {
  if (!dpy || xconn::lost(dpy)) return std::nullopt;
  Window root = DefaultRootWindow(dpy);
  auto cardinals = [&](const char* name) {
    std::vector<long> out;
    Atom a = XInternAtom(dpy, name, True), type;
    if (a == None) return out;
    int format;
    unsigned long n = 0, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, root, a, 0, 1024, False, XA_CARDINAL, &type, &format, &n, &after, &data) ==
            Success &&
        data && format == 32)
      out.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + n);
    if (data) XFree(data);
    return out;
  };
  auto area = cardinals("_NET_WORKAREA");
  auto current = cardinals("_NET_CURRENT_DESKTOP");
  size_t desk = current.empty() ? 0 : size_t(current[0]);
  if (area.size() < 4 * (desk + 1)) desk = 0;
  if (area.size() < 4) return std::nullopt;
  return double(area[4 * desk + 1]);
}

namespace {
std::mutex sharedLock;
Display* shared = nullptr;

// Call with sharedLock held. Reopens after the server went away.
Display* sharedDisplay() {
  if (shared && xconn::lost(shared)) {
    xconn::close(shared);
    shared = nullptr;
  }
  if (!shared) shared = xconn::open();
  return shared;
}
}  // namespace

std::vector<DisplayInfo> currentDisplays() {
  std::lock_guard<std::mutex> l(sharedLock);
  return listDisplays(sharedDisplay());
}

Rect mainDisplayBounds() {
  std::lock_guard<std::mutex> l(sharedLock);
  Display* d = sharedDisplay();
  if (!d) return Rect{};
  if (auto m = mainDisplay(listDisplays(d))) return m->bounds;
  XWindowAttributes a;
  if (XGetWindowAttributes(d, DefaultRootWindow(d), &a)) return Rect{0, 0, double(a.width), double(a.height)};
  return Rect{};
}
