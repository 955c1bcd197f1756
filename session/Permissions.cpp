#include "session/Permissions.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <fstream>

namespace {
// Xlib's default error handler exits the process; a failed probe must not.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

template <class Fn>
bool withDisplay(Fn fn) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  auto old = XSetErrorHandler(ignoreXError);
  bool ok = fn(d);
  XSync(d, False);
  XSetErrorHandler(old);
  XCloseDisplay(d);
  return ok;
}
}  // namespace

bool screenCapturePermitted() {
  return withDisplay([](Display* d) {
    XImage* img = XGetImage(d, DefaultRootWindow(d), 0, 0, 1, 1, AllPlanes, ZPixmap);
    if (!img) return false;
    XDestroyImage(img);
    return true;
  });
}

bool injectionTrusted() {
  return withDisplay([](Display* d) {
    int op, ev, err;
    return XQueryExtension(d, "XTEST", &op, &ev, &err) == True;
  });
}

std::string computerName() {
  std::ifstream in("/etc/machine-info");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_HOSTNAME=", 0) == 0) {
      std::string v = line.substr(16);
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      if (!v.empty()) return v;
    }
  }
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) == 0 && buf[0]) return buf;
  return "";
}
