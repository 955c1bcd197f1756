#pragma once
// The desktop's front window through EWMH: which one is active, where its
// frame is, moving it with the window manager's help and putting it back on
// the exact old frame, maximised or full-screen state included.
#include <optional>
#include <string>

#include "session/Geometry.h"

typedef struct _XDisplay Display;

struct MovedWindow {
  unsigned long window = 0;
  // x, y: the frame's top-left corner; w, h: the client area's size (what
  // _NET_MOVERESIZE_WINDOW takes with north-west gravity).
  Rect frame;
  bool maxHorz = false, maxVert = false, fullscreen = false;
};

namespace frontwin {

// The active window unless it belongs to this process; a maximised or
// full-screen window leaves that state first, and its frame is read after.
std::optional<MovedWindow> grab(Display* dpy);
// Moves the window 20/40 points into bounds, shrunk to fit; returns the frame
// asked for.
Rect moveInto(Display* dpy, const MovedWindow& w, const Rect& bounds);
// Back to the old frame, then the old state. False when the window is gone.
bool restore(Display* dpy, const MovedWindow& w);
// The client area's current frame as grab reports it; nothing when gone.
std::optional<Rect> frameOf(Display* dpy, unsigned long window);

// A record of the moved window kept on the X server itself (a root window
// property), which outlives a crashed run exactly as long as the window does.
void save(Display* dpy, const MovedWindow& w);
std::optional<MovedWindow> load(Display* dpy);
void forget(Display* dpy);

}  // namespace frontwin
