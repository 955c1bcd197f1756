#include "extras/AppWindows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "app/XConn.h"

namespace {

std::vector<unsigned long> propList(Display* dpy, Window w, const char* name, Atom type) {
  std::vector<unsigned long> out;
  Atom prop = XInternAtom(dpy, name, False);
  Atom actual;
  int format;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy, w, prop, 0, 4096, False, type, &actual, &format, &n, &after, &data) == Success &&
      data) {
    if (format == 32) {
      auto* v = reinterpret_cast<unsigned long*>(data);
      out.assign(v, v + n);
    }
    XFree(data);
  }
  return out;
}

// Untyped windows count as normal ones (old toolkits set no type).
bool isRegular(Display* dpy, Window w) {
  auto types = propList(dpy, w, "_NET_WM_WINDOW_TYPE", XA_ATOM);
  if (types.empty()) return true;
  Atom normal = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_NORMAL", False);
  Atom dialog = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DIALOG", False);
  for (auto t : types)
    if (t == normal || t == dialog) return true;
  return false;
}

void rootMessage(Display* dpy, Window w, const char* name, long l0, long l1) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(dpy, name, False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = l0;
  ev.xclient.data.l[1] = l1;
  XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
}

}  // namespace

std::vector<AppWindow> regularWindows(Display* dpy) {
  std::vector<AppWindow> out;
  if (!dpy || xconn::lost(dpy)) return out;
  for (auto w : propList(dpy, DefaultRootWindow(dpy), "_NET_CLIENT_LIST", XA_WINDOW)) {
    XClassHint hint{};
    if (!XGetClassHint(dpy, w, &hint)) continue;  // gone meanwhile, or no class
    AppWindow a;
    a.id = w;
    a.resName = hint.res_name ? hint.res_name : "";
    a.resClass = hint.res_class ? hint.res_class : "";
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    if (!isRegular(dpy, w)) continue;
    auto pid = propList(dpy, w, "_NET_WM_PID", XA_CARDINAL);
    if (!pid.empty()) a.pid = long(pid[0]);
    out.push_back(a);
  }
  XSync(dpy, False);
  xconn::takeError(dpy);  // a window that closed while we looked is simply left out
  return out;
}

void activateWindow(Display* dpy, unsigned long w) {
  if (!dpy || xconn::lost(dpy)) return;
  // Source 2: a pager acting for the user, which window managers obey.
  rootMessage(dpy, w, "_NET_ACTIVE_WINDOW", 2, CurrentTime);
  XFlush(dpy);
}

void iconifyWindow(Display* dpy, unsigned long w) {
  if (!dpy || xconn::lost(dpy)) return;
  XIconifyWindow(dpy, w, DefaultScreen(dpy));
  XFlush(dpy);
}
