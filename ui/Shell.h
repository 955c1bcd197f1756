#pragma once
// The desktop side of start-up: the setup window, the tray menu, the login
// item, "--snapshot" and "--show-setup". Runs on the main thread after the
// transports are up; does nothing visible when no UI is wanted.
#include "ui/MenuBar.h"

#include <functional>
#include <optional>
#include <string>

struct ShellContext {
  bool installed = false;                                 // running as the installed application
  std::function<std::optional<std::string>()> link;       // the connection link to copy
  InternetSwitch internet;                                 // empty without an internet transport
};

void startShell(const ShellContext& ctx);
