#pragma once
// Private D-Bus connections for the power hold and the inhibitor check.
#include <gio/gio.h>

// A new connection to the bus, or nullptr when there is none. Never starts a
// bus: without a session bus address or $XDG_RUNTIME_DIR/bus there is none
// (GLib would otherwise autolaunch a daemon that outlives the host).
GDBusConnection* connectBus(GBusType type);
