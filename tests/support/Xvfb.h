#pragma once
// A private X server for one test process: Xvfb on a display number it picks
// itself (-displayfd), ready to accept connections when the constructor
// returns, with DISPLAY pointing at it. Also keeps GLib and the accessibility
// bridge away from any session bus.
#include <string>

namespace ts {

class Xvfb {
public:
  explicit Xvfb(int width = 1920, int height = 1080);
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return pid_ > 0 && !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"
  int pid() const { return pid_; }
  // Ends the server now (tests of a vanishing display).
  void kill();

private:
  int pid_ = -1;
  std::string display_;
};

}  // namespace ts
