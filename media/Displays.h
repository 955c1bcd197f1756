#pragma once
// The desktop's displays: RandR 1.5 monitors, in root-window coordinates
// (one point is one pixel under X).
#include <optional>
#include <string>
#include <vector>

#include "session/Geometry.h"

typedef struct _XDisplay Display;

struct DisplayInfo {
  std::string name;  // RandR monitor name ("DP-1", "screen", ...); "root" without RandR
  Rect bounds;
  bool primary = false;
};

// Active monitors on dpy. Without the RandR extension, or with a RandR too old
// for monitors, the root window counts as one display named "root". A server
// whose monitors are all switched off lists none.
std::vector<DisplayInfo> listDisplays(Display* dpy);

// The name of the virtual display the view manager makes.
constexpr const char* kVirtualMonitor = "TOLVANE-VD";

// The primary monitor, else the first listed that is not the virtual display
// (a server without a primary output lists a new monitor first).
std::optional<DisplayInfo> mainDisplay(const std::vector<DisplayInfo>& list);

// `want` names a monitor; a decimal number that names none is an index into
// the list. Nothing means the main display.
std::optional<DisplayInfo> findListed(const std::vector<DisplayInfo>& list,
                                      const std::optional<std::string>& want);

// Top edge of the work area (_NET_WORKAREA of the current desktop), where a
// window manager publishes one.
std::optional<double> workAreaTop(Display* dpy);

// Main display bounds through a shared connection kept for these look-ups;
// the root size when no monitor is listed, an empty rectangle without X.
Rect mainDisplayBounds();
// Fresh list through the same shared connection.
std::vector<DisplayInfo> currentDisplays();
