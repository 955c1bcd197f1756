#pragma once
// Where the text caret is, through the accessibility bus (libatspi). libatspi
// is not thread-safe, so one thread of its own makes every call, each with a
// time-out: a hung application costs a late answer, never a stalled caller.
#include <functional>
#include <memory>
#include <optional>

#include "session/Geometry.h"

class CaretFinder {
public:
  CaretFinder();
  ~CaretFinder();
  CaretFinder(const CaretFinder&) = delete;
  CaretFinder& operator=(const CaretFinder&) = delete;

  // Answers on the finder's thread: the caret's centre in root coordinates,
  // else a point inside the focused element, else nothing. A request made
  // while another is still looking replaces the waiting one.
  void find(std::function<void(std::optional<Point>)> answer);

  struct State;

private:
  std::shared_ptr<State> s_;
};
