#include "app/GtkInit.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>

static std::atomic<int> state{0};  // 0 untried, 1 ready, 2 unavailable

bool ensureGtk() {
  int s = state.load();
  if (s != 0) return s == 1;
  const char* display = std::getenv("DISPLAY");
  bool ok = display && *display && gtk_init_check(nullptr, nullptr);
  state.store(ok ? 1 : 2);
  return ok;
}

bool gtkReady() { return state.load() == 1; }
