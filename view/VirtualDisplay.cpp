#include "view/VirtualDisplay.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/XConn.h"

namespace {
constexpr double kRefresh = 60;
// Millimetres for a size in pixels at 96 dots per inch, what X assumes.
int mm(int px) { return std::max(1, static_cast<int>(px * 25.4 / 96 + 0.5)); }

bool ourMode(const XRRModeInfo& m) {
  return m.name && std::strncmp(m.name, vdisplay::kMonitorName, std::strlen(vdisplay::kMonitorName)) == 0;
}

struct Extent {
  int w = 0, h = 0;
};

// The area the monitors other than ours cover, from the root's origin.
Extent othersExtent(Display* dpy, Window root, Atom ours) {
  Extent e;
  int n = 0;
  XRRMonitorInfo* m = XRRGetMonitors(dpy, root, False, &n);
  for (int i = 0; m && i < n; ++i) {
    if (m[i].name == ours) continue;
    e.w = std::max(e.w, m[i].x + m[i].width);
    e.h = std::max(e.h, m[i].y + m[i].height);
  }
  if (m) XRRFreeMonitors(m);
  return e;
}

// Clears our monitor, the CRTCs that show our modes and the modes; the
// caller holds the server grab. True when anything was there.
bool clearOurs(Display* dpy, Window root, Atom ours) {
  bool found = false;
  if (ours != None) {
    int n = 0;
    XRRMonitorInfo* m = XRRGetMonitors(dpy, root, False, &n);
    for (int i = 0; m && i < n; ++i)
      if (m[i].name == ours) found = true;
    if (m) XRRFreeMonitors(m);
    if (found) XRRDeleteMonitor(dpy, root, ours);
  }
  XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, root);
  if (!res) return found;
  std::vector<RRMode> modes;
  for (int i = 0; i < res->nmode; ++i)
    if (ourMode(res->modes[i])) modes.push_back(res->modes[i].id);
  for (int c = 0; c < res->ncrtc; ++c) {
    XRRCrtcInfo* ci = XRRGetCrtcInfo(dpy, res, res->crtcs[c]);
    if (!ci) continue;
    if (ci->mode != None && std::find(modes.begin(), modes.end(), ci->mode) != modes.end()) {
      XRRSetCrtcConfig(dpy, res, res->crtcs[c], CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
      found = true;
    }
    XRRFreeCrtcInfo(ci);
  }
  for (int o = 0; o < res->noutput && !modes.empty(); ++o) {
    XRROutputInfo* oi = XRRGetOutputInfo(dpy, res, res->outputs[o]);
    if (!oi) continue;
    for (int k = 0; k < oi->nmode; ++k)
      if (std::find(modes.begin(), modes.end(), oi->modes[k]) != modes.end())
        XRRDeleteOutputMode(dpy, res->outputs[o], oi->modes[k]);
    XRRFreeOutputInfo(oi);
  }
  for (RRMode m : modes) XRRDestroyMode(dpy, m);
  found = found || !modes.empty();
  XRRFreeScreenResources(res);
  return found;
}

// The screen back to what the other monitors cover, never below the least
// the server allows.
void shrinkToOthers(Display* dpy, Window root, Atom ours) {
  Extent e = othersExtent(dpy, root, ours);
  if (e.w <= 0 || e.h <= 0) return;
  int minW, minH, maxW, maxH;
  if (XRRGetScreenSizeRange(dpy, root, &minW, &minH, &maxW, &maxH)) {
    e.w = std::clamp(e.w, minW, maxW);
    e.h = std::clamp(e.h, minH, maxH);
  }
  XRRSetScreenSize(dpy, root, e.w, e.h, mm(e.w), mm(e.h));
}

XRRModeInfo modeFor(int w, int h, const std::string& name) {
  XRRModeInfo m;
  std::memset(&m, 0, sizeof m);
  m.width = w;
  m.height = h;
  // Reduced-blanking style timings; only the refresh rate they give matters.
  m.hSyncStart = w + 48;
  m.hSyncEnd = w + 80;
  m.hTotal = w + 160;
  m.vSyncStart = h + 3;
  m.vSyncEnd = h + 8;
  m.vTotal = h + 40;
  m.dotClock = static_cast<unsigned long>(double(m.hTotal) * m.vTotal * kRefresh);
  m.name = const_cast<char*>(name.c_str());
  m.nameLength = static_cast<unsigned int>(name.size());
  m.modeFlags = RR_HSyncPositive | RR_VSyncPositive;
  return m;
}

bool failed(Display* dpy) {
  XSync(dpy, False);
  return xconn::takeError(dpy) != 0 || xconn::lost(dpy);
}
}  // namespace

namespace vdisplay {

std::optional<Rect> bounds(Display* dpy) {
  if (!dpy || xconn::lost(dpy)) return std::nullopt;
  for (const auto& d : listDisplays(dpy))
    if (d.name == kMonitorName) return d.bounds;
  return std::nullopt;
}

bool removeAll(Display* dpy) {
  if (!dpy || xconn::lost(dpy)) return false;
  int ev, err, major = 0, minor = 0;
  if (!XRRQueryExtension(dpy, &ev, &err) || !XRRQueryVersion(dpy, &major, &minor) ||
      (major == 1 && minor < 5))
    return false;
  Window root = DefaultRootWindow(dpy);
  Atom ours = XInternAtom(dpy, kMonitorName, True);
  XGrabServer(dpy);
  bool found = clearOurs(dpy, root, ours);
  if (found) shrinkToOthers(dpy, root, ours);
  XUngrabServer(dpy);
  XSync(dpy, False);
  xconn::takeError(dpy);
  return found;
}

std::optional<Made> create(Display* dpy, int width, int height, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Made> {
    *error = why;
    return std::nullopt;
  };
  if (!dpy || xconn::lost(dpy)) return fail("no X display");
  int ev, err, major = 0, minor = 0;
  if (!XRRQueryExtension(dpy, &ev, &err) || !XRRQueryVersion(dpy, &major, &minor) ||
      (major == 1 && minor < 5))
    return fail("RandR 1.5 is missing");
  if (width < 2 || height < 2) return fail("bad size");
  Window root = DefaultRootWindow(dpy);
  Atom ours = XInternAtom(dpy, kMonitorName, False);
  xconn::takeError(dpy);

  XGrabServer(dpy);
  auto release = [&] {
    XUngrabServer(dpy);
    XSync(dpy, False);
  };
  clearOurs(dpy, root, ours);
  Extent e = othersExtent(dpy, root, ours);
  int x = e.w;
  int newW = x + width, newH = std::max(e.h, height);
  int minW, minH, maxW, maxH;
  if (!XRRGetScreenSizeRange(dpy, root, &minW, &minH, &maxW, &maxH) || newW > maxW || newH > maxH) {
    release();
    return fail("the screen cannot grow to " + std::to_string(newW) + "x" + std::to_string(newH));
  }
  XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, root);
  if (!res) {
    release();
    return fail("no screen resources");
  }
  // A disconnected output without a CRTC, and a free CRTC it can drive.
  RROutput output = None;
  RRCrtc crtc = None;
  for (int o = 0; o < res->noutput && crtc == None; ++o) {
    XRROutputInfo* oi = XRRGetOutputInfo(dpy, res, res->outputs[o]);
    if (!oi) continue;
    if (oi->connection == RR_Disconnected && oi->crtc == None) {
      for (int k = 0; k < oi->ncrtc && crtc == None; ++k) {
        XRRCrtcInfo* ci = XRRGetCrtcInfo(dpy, res, oi->crtcs[k]);
        if (ci && ci->mode == None && ci->noutput == 0) {
          crtc = oi->crtcs[k];
          output = res->outputs[o];
        }
        if (ci) XRRFreeCrtcInfo(ci);
      }
    }
    XRRFreeOutputInfo(oi);
  }
  if (crtc == None) {
    XRRFreeScreenResources(res);
    release();
    return fail("no spare output and CRTC");
  }
  std::string name = std::string(kMonitorName) + "-" + std::to_string(width) + "x" + std::to_string(height);
  XRRModeInfo info = modeFor(width, height, name);
  XRRSetScreenSize(dpy, root, newW, newH, mm(newW), mm(newH));
  RRMode mode = XRRCreateMode(dpy, root, &info);
  bool ok = !failed(dpy) && mode != None;
  if (ok) {
    XRRAddOutputMode(dpy, output, mode);
    ok = !failed(dpy);
  }
  if (ok) {
    ok = XRRSetCrtcConfig(dpy, res, crtc, CurrentTime, x, 0, mode, RR_Rotate_0, &output, 1) == Success &&
         !failed(dpy);
  }
  if (ok) {
    XRRMonitorInfo mon;
    std::memset(&mon, 0, sizeof mon);
    mon.name = ours;
    mon.x = x;
    mon.y = 0;
    mon.width = width;
    mon.height = height;
    mon.mwidth = mm(width);
    mon.mheight = mm(height);
    mon.noutput = 1;
    mon.outputs = &output;
    XRRSetMonitor(dpy, root, &mon);
    ok = !failed(dpy);
  }
  XRRFreeScreenResources(res);
  if (!ok) {
    // Nothing half-made stays behind.
    clearOurs(dpy, root, ours);
    shrinkToOthers(dpy, root, ours);
    release();
    xconn::takeError(dpy);
    return fail("the X server refused the virtual display");
  }
  release();
  return Made{static_cast<uint32_t>(crtc), Rect{double(x), 0, double(width), double(height)}};
}

}  // namespace vdisplay
