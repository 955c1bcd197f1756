#pragma once
// Runs build/tolvane-signal on a free loopback port and drives it with
// tests/tools/signal_session.py.
#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace ts {

struct SignalProcess {
  // Waits for the "listening" line; port stays 0 when it never came.
  explicit SignalProcess(std::vector<std::string> extra = {}, bool tls = false);
  // Stops the server with SIGTERM and fails the test when it did not end
  // cleanly or a sanitizer spoke up in its output.
  ~SignalProcess();
  std::string base() const;                       // ws(s)://127.0.0.1:port
  std::string url(const std::string& path) const;  // http(s)://127.0.0.1:port + path
  // Runs the steps; every printed line parsed. *status gets the script's exit status.
  std::vector<nlohmann::json> session(const std::string& steps, int* status = nullptr,
                                      const std::string& cafile = "") const;

  bool tls = false;
  int port = 0;
  std::unique_ptr<Child> proc;
};

// The texts one client of a session received, in order.
std::vector<nlohmann::json> textsOf(const std::vector<nlohmann::json>& lines, const std::string& client);
// The close code one client saw, or -1.
int closeCodeOf(const std::vector<nlohmann::json>& lines, const std::string& client);

}  // namespace ts
