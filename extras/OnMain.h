#pragma once
// Hands work to the thread that runs the GLib main loop (the default main
// context), where GTK, the main-loop timers and the power hold live.
#include <functional>

// Runs fn later on the main loop, in posting order, also when the caller is
// the main thread itself (no re-entry into a caller's half-done state).
void onMain(std::function<void()> fn);
