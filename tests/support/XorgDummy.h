#pragma once
// A private Xorg with the dummy video driver: unlike Xvfb it has spare
// outputs and CRTCs (DUMMY1 to DUMMY15), so it can take a virtual display the
// pointer reaches. Needs root; ok() is false where it cannot start. Sets
// DISPLAY like Xvfb, and keeps GLib away from any session bus.
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace ts {

class XorgDummy {
public:
  XorgDummy();
  ~XorgDummy();
  XorgDummy(const XorgDummy&) = delete;
  XorgDummy& operator=(const XorgDummy&) = delete;

  bool ok() const { return pid_ > 0 && !display_.empty(); }
  const std::string& display() const { return display_; }
  // Starts openbox and waits until it manages the screen.
  bool startWindowManager();
  // Starts an xterm with that geometry and waits until it is the active window.
  bool startXterm(const std::string& geometry = "80x24+100+120");
  // A shell command on this display; its output.
  std::string x(const std::string& cmd) const;

  std::unique_ptr<Child> wm;
  std::unique_ptr<Child> xterm;

private:
  int pid_ = -1;
  std::string display_;
  std::string dir_;
};

}  // namespace ts
