#include "extras/OnMain.h"

#include <glib.h>

// g_main_context_invoke would run fn at once in a thread that can take the
// context while nobody iterates it (before the loop starts, in tests): an idle
// source always waits for the loop's own thread.
void onMain(std::function<void()> fn) {
  auto* held = new std::function<void()>(std::move(fn));
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer p) -> gboolean {
        (*static_cast<std::function<void()>*>(p))();
        return G_SOURCE_REMOVE;
      },
      held, [](gpointer p) { delete static_cast<std::function<void()>*>(p); });
}
