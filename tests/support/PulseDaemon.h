#pragma once
// A private PulseAudio daemon with one null sink ("test_sink", the default,
// so "@DEFAULT_MONITOR@" is its monitor), in a runtime folder of its own.
// The constructor points this process's PulseAudio clients at it.
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace ts {

class PulseDaemon {
public:
  PulseDaemon();
  ~PulseDaemon();
  bool ok() const { return ok_; }
  // "unix:<socket>", for PULSE_SERVER.
  const std::string& server() const { return server_; }
  // Environment entries for a child client (pacat, pactl).
  std::string env() const { return "PULSE_SERVER=" + server_; }
  // Ends the daemon at once (SIGKILL), as a crash would.
  void kill();
  // Runs pactl against it; its stdout.
  std::string pactl(const std::string& args) const;

private:
  std::string dir_, server_;
  std::unique_ptr<Child> proc_;
  bool ok_ = false;
};

// Client settings that never start a daemon by themselves; points
// PULSE_SERVER at `server` (which may be a socket that does not exist).
void usePulseServer(const std::string& server);

}  // namespace ts
