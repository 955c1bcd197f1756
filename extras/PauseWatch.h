#pragma once
// Lifts a pause of the internet transport once the desktop has been left
// alone long enough and nothing plays video; keeps the display awake while a
// client is connected. Runs on the main loop; methods may be called from any thread.
#include <functional>
#include <memory>
#include <string>

class PauseWatch {
public:
  static std::shared_ptr<PauseWatch> create();
  ~PauseWatch();
  // The internet transport's pause, set by the owner when one exists.
  std::function<bool()> paused;
  std::function<void(bool)> setPaused;
  // Starts the repeating watch ("--pause-watch-every"); once at start-up.
  void start();
  // Display-sleep hold: taken on the first client, released after the last.
  void holdAwake(bool on);
  // Without a display the idle time counts from start or the last handled input.
  void noteInput();

private:
  PauseWatch();
  void startOnMain();
  void tick();
  double idleSeconds();
  void resume(double idle);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
