#pragma once
// The command line of tolvane-signal.
#include "signal/SignalServer.h"

#include <string>
#include <variant>
#include <vector>

struct SignalArgs {
  SignalConfig config;
  std::string clientDir;  // empty: the default places
  std::string turnSecretFile;  // read by the caller, once
  bool help = false;
};

// The settings from argv (without the program name), or the reason they are unusable.
std::variant<SignalArgs, std::string> parseSignalArgs(const std::vector<std::string>& args);
extern const char* const kSignalUsage;
