#pragma once
// A synthetic desktop covering the virtual display: gradient, labelled
// 100-point grid, a menu bar with a clock, the display's size in large text
// and a red frame. An override-redirect window whose picture is its
// background pixmap, so the server repaints it without our help; it goes
// when destroyed or when our X connection closes.
#include <memory>
#include <string>

#include "session/Geometry.h"

typedef struct _XDisplay Display;
typedef struct _cairo cairo_t;

class DemoWindow {
public:
  // label: the text shown in large type. Nothing when X refuses.
  static std::unique_ptr<DemoWindow> show(Display* dpy, const Rect& bounds, const std::string& label);
  ~DemoWindow();
  DemoWindow(const DemoWindow&) = delete;
  DemoWindow& operator=(const DemoWindow&) = delete;

  // The drawing, into any cairo context of w x h.
  static void draw(cairo_t* cr, int w, int h, const std::string& label);

private:
  DemoWindow(Display* dpy, unsigned long win, unsigned long pixmap) : dpy_(dpy), win_(win), pixmap_(pixmap) {}
  Display* dpy_;
  unsigned long win_;
  unsigned long pixmap_;
};
