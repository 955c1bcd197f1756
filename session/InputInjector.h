#pragma once
// Turns the phone's abstract input into synthetic X input through XTEST:
// absolute and relative pointer moves, buttons 1 and 3, wheel clicks, named
// keys with modifiers and text of any script. Called only on the owner's
// "input" queue; it has no queue of its own. Without an X display or XTEST
// every call does nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "session/Geometry.h"

class SerialQueue;

class InputInjector {
public:
  // inputQueue is where this object is called; the delayed restore of the
  // keycodes borrowed for typing runs there. Without it they are restored at
  // the first call after the idle time, and by releaseAll.
  explicit InputInjector(SerialQueue* inputQueue = nullptr);
  ~InputInjector();
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // The desktop rectangle normalised positions map onto, and the one relative
  // moves are confined to. Both default to the main display's bounds.
  std::function<Rect()> mapRect;
  std::function<Rect()> moveRect;
  // Wall-clock milliseconds since the Unix epoch for the click count; the
  // system clock when unset. Tests set it to run time themselves.
  std::function<double()> clockMs;

  // Absolute move to a position given as fractions of mapRect (clamped to 0..1).
  void move(double x, double y);
  // Press or release at a desktop point; b == 2 is the right button, any
  // other value the left one.
  void button(Point at, int64_t b, bool down);
  // Pixel scroll as wheel clicks, one per 40 pixels, the remainder carried to
  // the next call. dy > 0 scrolls up, dx > 0 left.
  void scroll(double dx, double dy);
  // Taps a named key with the modifier mask (1 Shift, 2 Control, 4 Alt,
  // 8 Super; 16 has no X key). Unknown names do nothing.
  void key(const std::string& name, int64_t mods);
  // Types UTF-8 text; line feeds and CR LF become Enter, tabs Tab.
  void text(const std::string& utf8);
  // Moves the pointer by (dx, dy) points, kept inside moveRect and off its
  // right and bottom edge lines.
  void moveRel(double dx, double dy);
  // Where the pointer is, in root coordinates.
  std::optional<Point> pointer();
  // Releases every key and button this object holds down and gives back the
  // borrowed keycodes.
  void releaseAll();

  bool available() const;
  // Click count of the last press: 1, or one more than the previous press when
  // it came within 400 ms and less than 6 points away. Both buttons share it.
  int64_t clickCount() const;
  bool leftDown() const;
  bool rightDown() const;

  // The current rectangles, the main display's bounds when a provider is unset.
  Rect mapping();
  Rect moving();

  struct State;

private:
  std::shared_ptr<State> s_;
};
