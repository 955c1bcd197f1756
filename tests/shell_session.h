#pragma once
// A desktop session for the shell's tests: a private X server, a private
// session bus, and the host started in it with a config folder of its own.
#include "support/TestSupport.h"
#include "support/Xvfb.h"

#include <memory>
#include <string>
#include <vector>

namespace shell {

inline std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// dbus-daemon with the stock session configuration on a socket in a temporary
// folder (its service files start the accessibility bus when asked).
struct PrivateBus {
  std::string dir = ts::makeTempDir("tolvane-bus");
  std::string address = "unix:path=" + dir + "/bus";
  std::unique_ptr<ts::Child> daemon;
  PrivateBus() {
    daemon = std::make_unique<ts::Child>(std::vector<std::string>{
        "dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
    ts::waitUntil([&] { return ts::run("test -S " + quote(dir + "/bus") + " && echo yes") == "yes\n"; },
                  std::chrono::seconds(30));
  }
  ~PrivateBus() {
    daemon.reset();
    ts::removeTree(dir);
  }
  std::string env() const { return "DBUS_SESSION_BUS_ADDRESS=" + address; }
};

struct HostInSession {
  int port = ts::freePort();
  std::string dataDir = ts::makeTempDir("tolvane-data");
  std::string configDir = ts::makeTempDir("tolvane-config");
  std::unique_ptr<ts::Child> proc;

  HostInSession(const std::string& exe, std::vector<std::string> extra, std::vector<std::string> env) {
    std::vector<std::string> argv = {exe, "--port", std::to_string(port), "--no-tls", "--token", "testtoken",
                                     "--data-dir", dataDir, "--no-signal"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    env.push_back("XDG_CONFIG_HOME=" + configDir);
    proc = std::make_unique<ts::Child>(argv, env);
  }
  ~HostInSession() {
    proc.reset();
    ts::removeTree(dataDir);
    ts::removeTree(configDir);
  }
  std::string autostart() const { return configDir + "/autostart/tolvane-host.desktop"; }
};

}  // namespace shell
