#pragma once
// Keeps the display from blanking while held: the X screen saver suspended on
// a connection kept open for the hold (a crash drops it with the connection),
// and the session's ScreenSaver service inhibited where a session bus exists.
// Main loop only; D-Bus answers arrive there too.
#include <X11/Xlib.h>
#include <gio/gio.h>

#include <cstdint>
#include <memory>

class AwakeHold : public std::enable_shared_from_this<AwakeHold> {
public:
  AwakeHold() = default;
  ~AwakeHold();
  AwakeHold(const AwakeHold&) = delete;
  AwakeHold& operator=(const AwakeHold&) = delete;

  // Takes the parts not held yet; one that fails is tried again at the next take.
  void take();
  void release();

private:
  void takeX();
  void releaseX();
  void takeBus();
  void releaseBus();
  static void onInhibited(GObject* source, GAsyncResult* result, gpointer self);

  Display* x_ = nullptr;
  GDBusConnection* bus_ = nullptr;  // kept while inhibited or while asking
  uint32_t cookie_ = 0;
  bool asking_ = false;
  bool wanted_ = false;
};
