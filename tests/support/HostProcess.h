#pragma once
// Runs build/tolvane-host on free ports in a fresh data directory.
#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace ts {

struct HostProcess {
  explicit HostProcess(std::vector<std::string> extra = {}, std::vector<std::string> env = {});
  ~HostProcess();
  std::string url(const std::string& path) const;  // http://127.0.0.1:port + path
  std::string wsURL() const;
  // Runs the Python WebSocket client with the given steps; returns its lines.
  std::vector<std::string> session(const std::string& actionsJson, int* status = nullptr) const;

  int port = 0;
  int tlsPort = 0;
  std::string token = "testtoken";
  std::string dataDir;
  std::unique_ptr<Child> proc;
};

std::string curl(const std::string& args, int* status = nullptr);

}  // namespace ts
