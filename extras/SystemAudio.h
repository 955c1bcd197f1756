#pragma once
// The desktop's sound, captured from the default sink's monitor and sent to
// every connection that asked for it. State lives on the extras queue; samples
// arrive on "extras.audio".
#include "extras/Requester.h"

#include <functional>
#include <memory>
#include <string>

class SystemAudio {
public:
  static std::shared_ptr<SystemAudio> create(bool testMode);
  ~SystemAudio();
  // Broadcast of one control text (the "warn"); set by the owner.
  std::function<void(const std::string&)> sendCtl = [](const std::string&) {};
  // "audio" with "on" from a connection; on=false also for a missing "on".
  void want(const RequesterPtr& from, bool on);
  // The connection has gone: it no longer wants audio.
  void forget(int64_t requesterKey);
  // The last client left.
  void stopAll();
  // Program exit: stops capture within the shutdown bound.
  void shutdown();

private:
  explicit SystemAudio(bool testMode);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
