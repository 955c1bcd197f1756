#include "ui/Snapshot.h"

#include "app/Log.h"
#include "ui/SetupWindow.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

bool renderPng(GtkWidget* widget, const std::string& path, std::string* why) {
  if (!widget || !gtk_widget_get_realized(widget)) {
    *why = "the window is not on the screen";
    return false;
  }
  int w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
  if (w <= 0 || h <= 0) {
    *why = "the window has no size";
    return false;
  }
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(widget, cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  cairo_status_t st = cairo_surface_status(surface);
  if (st == CAIRO_STATUS_SUCCESS) st = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (st != CAIRO_STATUS_SUCCESS) {
    *why = path + ": " + cairo_status_to_string(st);
    return false;
  }
  return true;
}

void snapshotFailed(const std::string& why) {
  logf("[host] スナップショットを保存できませんでした: " + why);
  std::fflush(stdout);
  std::_Exit(1);
}

namespace {
struct Pending {
  std::shared_ptr<SetupWindow> window;
  std::string path;
};
}  // namespace

void scheduleSnapshot(std::shared_ptr<SetupWindow> window, std::string path) {
  auto* p = new Pending{std::move(window), std::move(path)};
  g_timeout_add(600, +[](gpointer data) -> gboolean {
    auto* p = static_cast<Pending*>(data);
    p->window->show();
    g_timeout_add(600, +[](gpointer data) -> gboolean {
      auto* p = static_cast<Pending*>(data);
      std::string why;
      if (!renderPng(p->window->window(), p->path, &why)) snapshotFailed(why);
      logf("[host] スナップショット: " + p->path);
      std::fflush(stdout);
      std::_Exit(0);
    }, p);
    return G_SOURCE_REMOVE;
  }, p);
}
