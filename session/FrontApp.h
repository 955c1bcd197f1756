#pragma once
// Watches which application is in front: the window manager's
// _NET_ACTIVE_WINDOW on the root window, named after the application's desktop
// entry (matched by WM_CLASS against StartupWMClass or the entry's id), else
// after WM_CLASS's class part.
#include <functional>
#include <memory>
#include <string>

#include "app/SerialQueue.h"

typedef struct _XDisplay Display;

class FrontAppWatcher {
public:
  FrontAppWatcher();
  ~FrontAppWatcher();
  FrontAppWatcher(const FrontAppWatcher&) = delete;
  FrontAppWatcher& operator=(const FrontAppWatcher&) = delete;

  // Called on the watcher's queue when another application comes to the
  // front; windows of the same application, docks and the desktop do not count.
  std::function<void(const std::string& name)> onActivated;

  void start();
  void stop();

  // Name of the application in front now; empty when there is none.
  static std::string currentName();

  struct Watch;

private:
  SerialQueue q_{"frontapp"};
  std::shared_ptr<Watch> w_;
};

// Display name of the application owning window `win`, and its identity (the
// WM_CLASS pair) for telling applications apart; both empty when the window
// is gone, has no class or is not an application window.
struct AppIdentity {
  std::string name;
  std::string key;
};
AppIdentity appForWindow(Display* dpy, unsigned long win);
