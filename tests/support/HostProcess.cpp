#include "support/HostProcess.h"

namespace ts {

HostProcess::HostProcess(std::vector<std::string> extra, std::vector<std::string> env) {
  port = freePort();
  tlsPort = freePort();
  dataDir = makeTempDir("tolvane-data");
  std::vector<std::string> argv = {TOLVANE_HOST_BIN, "--port", std::to_string(port), "--tls-port",
                                   std::to_string(tlsPort), "--token", token, "--data-dir", dataDir,
                                   "--no-signal"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
  env.push_back("NO_AT_BRIDGE=1");
  proc = std::make_unique<Child>(argv, env);
  // The last start-up line; a sanitizer build on a busy machine takes a while.
  proc->waitFor("データ置き場: ", std::chrono::seconds(90));
}

HostProcess::~HostProcess() {
  proc.reset();
  removeTree(dataDir);
}

std::string HostProcess::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string HostProcess::wsURL() const {
  return "ws://127.0.0.1:" + std::to_string(port) + "/ws?t=" + token;
}

static std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> HostProcess::session(const std::string& actionsJson, int* status) const {
  std::string out = run("/usr/bin/python3 " TOLVANE_SOURCE_DIR "/tests/tools/ws_session.py " +
                            shellQuote(wsURL()) + " " + shellQuote(actionsJson) + " 2>&1",
                        status);
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    if (end > at) lines.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string curl(const std::string& args, int* status) {
  return run("curl -s -S --max-time 60 " + args + " 2>&1", status);
}

}  // namespace ts
