#pragma once
// The regular application windows the window manager lists, and what the
// launcher does to them: activate, iconify.
#include <string>
#include <vector>

typedef struct _XDisplay Display;

struct AppWindow {
  unsigned long id = 0;
  std::string resName, resClass;
  long pid = 0;  // _NET_WM_PID, 0 when unknown
};

// Windows of _NET_CLIENT_LIST in its order, desktop, dock and other
// non-application types left out.
std::vector<AppWindow> regularWindows(Display* dpy);

// Asks the window manager to bring w to the front (as a pager would).
void activateWindow(Display* dpy, unsigned long w);
// Asks the window manager to iconify w.
void iconifyWindow(Display* dpy, unsigned long w);
