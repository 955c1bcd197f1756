#include "view/DemoWindow.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>

#include "app/Loc.h"
#include "app/XConn.h"

namespace {
void text(cairo_t* cr, const std::string& s, double size, PangoWeight weight, double x, double y,
          bool alignRight = false) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, "Sans");
  pango_font_description_set_weight(font, weight);
  pango_font_description_set_absolute_size(font, size * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_layout_set_text(layout, s.c_str(), -1);
  if (alignRight) {
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    x -= w;
  }
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout);
  pango_font_description_free(font);
  g_object_unref(layout);
}
}  // namespace

void DemoWindow::draw(cairo_t* cr, int w, int h, const std::string& label) {
  cairo_save(cr);
  // Background, the first colour at the top.
  cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, h);
  cairo_pattern_add_color_stop_rgba(g, 0, 0.2, 0.25, 0.4, 1);
  cairo_pattern_add_color_stop_rgba(g, 1, 0.55, 0.38, 0.25, 1);
  cairo_rectangle(cr, 0, 0, w, h);
  cairo_set_source(cr, g);
  cairo_fill(cr);
  cairo_pattern_destroy(g);

  // The 100-point grid; vertical lines carry their x.
  cairo_set_line_width(cr, 1);
  for (int x = 0; x < w; x += 100) {
    cairo_set_source_rgba(cr, 1, 1, 1, 0.25);
    cairo_move_to(cr, x + 0.5, 0);
    cairo_line_to(cr, x + 0.5, h);
    cairo_stroke(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.7);
    text(cr, std::to_string(x), 11, PANGO_WEIGHT_NORMAL, x + 3, 40);
  }
  cairo_set_source_rgba(cr, 1, 1, 1, 0.25);
  for (int y = 0; y < h; y += 100) {
    cairo_move_to(cr, 0, y + 0.5);
    cairo_line_to(cr, w, y + 0.5);
    cairo_stroke(cr);
  }

  // Menu bar with its two texts.
  cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
  cairo_rectangle(cr, 0, 0, w, 33);
  cairo_fill(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 1);
  text(cr, Loc::tr("  Finder   File   Edit   View"), 14, PANGO_WEIGHT_SEMIBOLD, 6, 8);
  text(cr, Loc::tr("Sun Nov 1  9:41 PM  "), 14, PANGO_WEIGHT_SEMIBOLD, w - 6, 8, true);

  text(cr, label, 40, PANGO_WEIGHT_BOLD, 40, h / 2.0 - 30);

  cairo_set_source_rgba(cr, 1, 0, 0, 1);
  cairo_set_line_width(cr, 6);
  cairo_rectangle(cr, 3, 3, std::max(0, w - 6), std::max(0, h - 6));
  cairo_stroke(cr);
  cairo_restore(cr);
}

std::unique_ptr<DemoWindow> DemoWindow::show(Display* d, const Rect& bounds, const std::string& label) {
  if (!d || xconn::lost(d) || bounds.empty()) return nullptr;
  int w = static_cast<int>(std::lround(std::min(bounds.w, 16384.0)));
  int h = static_cast<int>(std::lround(std::min(bounds.h, 16384.0)));
  int screen = DefaultScreen(d);
  Window root = RootWindow(d, screen);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = BlackPixel(d, screen);
  Window win = XCreateWindow(d, root, static_cast<int>(bounds.x), static_cast<int>(bounds.y), w, h, 0,
                             CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
  Pixmap pm = XCreatePixmap(d, win, w, h, DefaultDepth(d, screen));
  cairo_surface_t* s = cairo_xlib_surface_create(d, pm, DefaultVisual(d, screen), w, h);
  cairo_t* cr = cairo_create(s);
  draw(cr, w, h, label);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  cairo_surface_destroy(s);
  // The server paints the window from its background; no events to serve.
  XSetWindowBackgroundPixmap(d, win, pm);
  XStoreName(d, win, "Tolvane demo");
  XMapRaised(d, win);
  XSync(d, False);
  if (xconn::takeError(d) != 0) {
    XFreePixmap(d, pm);
    XDestroyWindow(d, win);
    XSync(d, False);
    xconn::takeError(d);
    return nullptr;
  }
  return std::unique_ptr<DemoWindow>(new DemoWindow(d, win, pm));
}

DemoWindow::~DemoWindow() {
  if (xconn::lost(dpy_)) return;
  XDestroyWindow(dpy_, win_);
  XFreePixmap(dpy_, pixmap_);
  XSync(dpy_, False);
  xconn::takeError(dpy_);
}
