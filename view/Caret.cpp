#include "view/Caret.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Log.h"

namespace {
// Per call; an application that does not answer in time counts as none.
constexpr int kCallTimeoutMs = 250;
constexpr int kStartupTimeoutMs = 1000;
// Enough for any ordinary window; a huge tree is not searched to its end.
constexpr int kMaxVisited = 4000;

bool hasState(AtspiAccessible* a, AtspiStateType s) {
  AtspiStateSet* set = atspi_accessible_get_state_set(a);
  if (!set) return false;
  bool yes = atspi_state_set_contains(set, s);
  g_object_unref(set);
  return yes;
}

// Depth first, the focused element under a; a new reference or nullptr.
AtspiAccessible* findFocused(AtspiAccessible* a, int* visited) {
  if (++*visited > kMaxVisited) return nullptr;
  if (hasState(a, ATSPI_STATE_FOCUSED)) return static_cast<AtspiAccessible*>(g_object_ref(a));
  GError* e = nullptr;
  int n = atspi_accessible_get_child_count(a, &e);
  if (e) {
    g_error_free(e);
    return nullptr;
  }
  for (int i = 0; i < n && *visited <= kMaxVisited; ++i) {
    AtspiAccessible* c = atspi_accessible_get_child_at_index(a, i, &e);
    if (e) {
      g_error_free(e);
      e = nullptr;
    }
    if (!c) continue;
    AtspiAccessible* f = hasState(c, ATSPI_STATE_SHOWING) ? findFocused(c, visited) : nullptr;
    g_object_unref(c);
    if (f) return f;
  }
  return nullptr;
}

// The focused element of the active window of any application.
AtspiAccessible* focusedElement() {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) return nullptr;
  AtspiAccessible* found = nullptr;
  int visited = 0;
  GError* e = nullptr;
  int apps = atspi_accessible_get_child_count(desktop, &e);
  if (e) {
    g_error_free(e);
    apps = 0;
  }
  for (int i = 0; i < apps && !found; ++i) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &e);
    if (e) {
      g_error_free(e);
      e = nullptr;
    }
    if (!app) continue;
    int wins = atspi_accessible_get_child_count(app, &e);
    if (e) {
      g_error_free(e);
      e = nullptr;
      wins = 0;
    }
    for (int k = 0; k < wins && !found; ++k) {
      AtspiAccessible* win = atspi_accessible_get_child_at_index(app, k, &e);
      if (e) {
        g_error_free(e);
        e = nullptr;
      }
      if (!win) continue;
      if (hasState(win, ATSPI_STATE_ACTIVE)) found = findFocused(win, &visited);
      g_object_unref(win);
    }
    g_object_unref(app);
  }
  g_object_unref(desktop);
  return found;
}

std::optional<Point> caretOf(AtspiAccessible* el) {
  GError* e = nullptr;
  if (AtspiText* text = atspi_accessible_get_text_iface(el)) {
    int offset = atspi_text_get_caret_offset(text, &e);
    if (e) {
      g_error_free(e);
      e = nullptr;
      offset = -1;
    }
    if (offset >= 0) {
      AtspiRect* r = atspi_text_get_character_extents(text, offset, ATSPI_COORD_TYPE_SCREEN, &e);
      if (e) {
        g_error_free(e);
        e = nullptr;
      }
      std::optional<Point> p;
      if (r && r->width >= 0 && r->height > 0) p = Point{r->x + r->width / 2.0, r->y + r->height / 2.0};
      if (r) g_free(r);
      if (p) {
        g_object_unref(text);
        return p;
      }
    }
    g_object_unref(text);
  }
  if (AtspiComponent* c = atspi_accessible_get_component_iface(el)) {
    AtspiRect* r = atspi_component_get_extents(c, ATSPI_COORD_TYPE_SCREEN, &e);
    if (e) g_error_free(e);
    std::optional<Point> p;
    if (r && r->width > 0 && r->height > 0) p = Point{r->x + std::min(r->width, 40) * 1.0, r->y + r->height / 2.0};
    if (r) g_free(r);
    g_object_unref(c);
    return p;
  }
  return std::nullopt;
}
}  // namespace

struct CaretFinder::State {
  std::mutex lock;
  std::function<void(std::optional<Point>)> waiting;  // guarded by lock
  bool looking = false;                               // guarded by lock
  GMainContext* ctx = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  bool bus = false;  // on the thread only

  // On the thread: answers the newest request until none waits.
  void serve() {
    for (;;) {
      std::function<void(std::optional<Point>)> answer;
      {
        std::lock_guard<std::mutex> l(lock);
        answer = std::move(waiting);
        waiting = nullptr;
        if (!answer) {
          looking = false;
          return;
        }
      }
      std::optional<Point> p;
      if (bus) {
        if (AtspiAccessible* el = focusedElement()) {
          p = caretOf(el);
          g_object_unref(el);
        }
      }
      answer(p);
    }
  }
};

CaretFinder::CaretFinder() : s_(std::make_shared<State>()) {
  s_->ctx = g_main_context_new();
  s_->loop = g_main_loop_new(s_->ctx, FALSE);
  s_->thread = std::thread([s = s_.get()] {
    g_main_context_push_thread_default(s->ctx);
    atspi_set_timeout(kCallTimeoutMs, kStartupTimeoutMs);
    // The context is given once the bus exists: without one libatspi would
    // hand a null connection to libdbus, which aborts.
    s->bus = atspi_init() < 2;
    // From here libatspi dispatches on this thread's context, never on the
    // main loop.
    if (s->bus) atspi_set_main_context(s->ctx);
    if (!s->bus) logf("[view] アクセシビリティバスがないため、キャレットは追いません");
    g_main_loop_run(s->loop);
    if (s->bus) atspi_exit();
    g_main_context_pop_thread_default(s->ctx);
  });
}

CaretFinder::~CaretFinder() {
  g_main_context_invoke(s_->ctx, [](gpointer loop) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }, s_->loop);
  if (s_->thread.joinable()) s_->thread.join();
  g_main_loop_unref(s_->loop);
  g_main_context_unref(s_->ctx);
}

void CaretFinder::find(std::function<void(std::optional<Point>)> answer) {
  {
    std::lock_guard<std::mutex> l(s_->lock);
    s_->waiting = std::move(answer);
    if (s_->looking) return;  // the running look takes it next
    s_->looking = true;
  }
  g_main_context_invoke(s_->ctx, [](gpointer p) -> gboolean {
    static_cast<State*>(p)->serve();
    return G_SOURCE_REMOVE;
  }, s_.get());
}
