#pragma once
// A virtual display on RandR: the screen grows to the right of the monitors,
// a spare disconnected output gets a 60 Hz mode of the wanted size on a free
// CRTC (the pointer reaches only CRTC areas), and a monitor named
// "TOLVANE-VD" covers it. The X server keeps all of it after we exit, so
// removal finds everything of ours by name.
#include <cstdint>
#include <optional>
#include <string>

#include "media/Displays.h"
#include "session/Geometry.h"

typedef struct _XDisplay Display;

namespace vdisplay {

constexpr const char* kMonitorName = kVirtualMonitor;

struct Made {
  uint32_t id = 0;  // the CRTC's id
  Rect bounds;
};

// Fails with a reason for the log when the server has no spare output and
// CRTC, cannot grow that far or refuses a step; then nothing is left behind.
std::optional<Made> create(Display* dpy, int width, int height, std::string* error);
// Takes away our monitor, CRTC configuration and modes and shrinks the screen
// to the remaining monitors' extent. True when there was something of ours.
bool removeAll(Display* dpy);
// Our monitor's bounds while it is listed.
std::optional<Rect> bounds(Display* dpy);

}  // namespace vdisplay
