// tolvane-signal: the rendezvous server where a host and its phones meet.
#include "app/Log.h"
#include "signal/PageFiles.h"
#include "signal/SignalOptions.h"
#include "signal/TurnCredentials.h"

#include <signal.h>

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
  auto parsed = parseSignalArgs(std::vector<std::string>(argv + 1, argv + argc));
  if (auto* err = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "tolvane-signal: %s\n%s", err->c_str(), kSignalUsage);
    return 2;
  }
  SignalArgs args = std::get<SignalArgs>(parsed);
  if (args.help) {
    std::fputs(kSignalUsage, stdout);
    return 0;
  }
  SignalConfig& cfg = args.config;
  if (!args.turnSecretFile.empty()) {
    std::string error;
    auto secret = TurnCredentials::readSecret(args.turnSecretFile, error);
    if (!secret) {
      std::fprintf(stderr, "tolvane-signal: %s\n", error.c_str());
      return 1;
    }
    cfg.turnSecret = *secret;
  }
  cfg.session.clientDir = args.clientDir.empty() ? defaultClientDir() : args.clientDir;

  // The queue's thread inherits this mask, so the signals reach only sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto server = std::make_shared<SignalServer>(cfg);
  if (auto failure = server->start()) {
    logf("[signal] cannot start: " + *failure);
    return 1;
  }
  std::error_code ec;
  if (cfg.session.clientDir.empty() || !std::filesystem::is_regular_file(cfg.session.clientDir + "/index.html", ec))
    logf("[signal] no page: index.html not found" + (cfg.session.clientDir.empty() ? "" : " in " + cfg.session.clientDir));
  else
    logf("[signal] page from " + cfg.session.clientDir);
  std::string ice;
  for (const auto& s : cfg.stun) ice += (ice.empty() ? "" : " ") + s;
  logf(cfg.stun.empty() ? "[signal] no --stun given: phones get no ICE server" : "[signal] stun " + ice);
  if (!cfg.turn.empty()) {
    std::string relays;
    for (const auto& t : cfg.turn) relays += (relays.empty() ? "" : " ") + t;
    logf("[signal] turn " + relays + " (credentials valid " + std::to_string(cfg.turnTtl) + " s)");
  }
  std::string host = cfg.bind.find(':') == std::string::npos ? cfg.bind : "[" + cfg.bind + "]";
  logf("[signal] listening " + host + ":" + std::to_string(server->boundPort()) + (cfg.tlsCert ? " (tls)" : ""));

  int sig = 0;
  sigwait(&stopSignals, &sig);
  logf("[signal] stopping (signal " + std::to_string(sig) + ")");
  server->stop();
  server.reset();
  return 0;
}
