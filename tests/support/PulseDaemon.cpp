#include "support/PulseDaemon.h"

#include <sys/stat.h>

#include <cstdlib>

namespace ts {

void usePulseServer(const std::string& server) {
  // One settings file for the whole test process, removed when it exits.
  static const struct Conf {
    std::string dir = makeTempDir("pulse-client");
    std::string file = dir + "/client.conf";
    Conf() { writeFile(file, "autospawn = no\n"); }
    ~Conf() { removeTree(dir); }
  } conf;
  setenv("PULSE_CLIENTCONFIG", conf.file.c_str(), 1);
  setenv("PULSE_SERVER", server.c_str(), 1);
}

PulseDaemon::PulseDaemon() {
  dir_ = makeTempDir("pulse");
  server_ = "unix:" + dir_ + "/pulse/native";
  proc_ = std::make_unique<Child>(
      std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                               "--disallow-exit", "--log-target=stderr",
                               "--load=module-native-protocol-unix auth-anonymous=1",
                               "--load=module-null-sink sink_name=test_sink"},
      std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_, "XDG_CONFIG_HOME=" + dir_ + "/config",
                               "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"});
  usePulseServer(server_);
  ok_ = waitUntil([&] {
    struct stat st {};
    if (stat((dir_ + "/pulse/native").c_str(), &st) != 0) return false;
    return pactl("info").find("Default Sink: test_sink") != std::string::npos;
  }, std::chrono::seconds(60));
}

PulseDaemon::~PulseDaemon() {
  kill();
  removeTree(dir_);
}

void PulseDaemon::kill() {
  if (proc_ && !proc_->exited()) proc_->stop(9, std::chrono::seconds(10));
}

std::string PulseDaemon::pactl(const std::string& args) const {
  return run("PULSE_SERVER='" + server_ + "' pactl " + args + " 2>/dev/null");
}

}  // namespace ts
