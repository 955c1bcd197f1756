#include "signal/SignalOptions.h"

#include "app/Settings.h"
#include "signal/TurnCredentials.h"

const char* const kSignalUsage =
    "usage: tolvane-signal [--port N] [--bind ADDR] [--client-dir DIR] [--stun URL]...\n"
    "                      [--turn URL... --turn-secret FILE [--turn-ttl SECONDS]]\n"
    "                      [--tls-cert PEM --tls-key PEM] [--max-rooms N] [--max-phones N]\n"
    "                      [--max-sockets N] [--max-per-address N]\n";

std::variant<SignalArgs, std::string> parseSignalArgs(const std::vector<std::string>& args) {
  SignalArgs out;
  SignalConfig& c = out.config;
  auto count = [](const std::string& name, const std::string& v, int64_t lo, int64_t hi) -> std::variant<int64_t, std::string> {
    auto n = parseInt(v);
    if (!n || *n < lo || *n > hi) return name + " needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    return *n;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out.help = true;
      continue;
    }
    if (i + 1 >= args.size()) return "unknown option or missing value: " + a;
    const std::string& v = args[++i];
    auto number = [&](int64_t lo, int64_t hi, auto set) -> std::optional<std::string> {
      auto n = count(a, v, lo, hi);
      if (auto* e = std::get_if<std::string>(&n)) return *e;
      set(std::get<int64_t>(n));
      return std::nullopt;
    };
    std::optional<std::string> bad;
    if (a == "--port") bad = number(0, 65535, [&](int64_t n) { c.port = static_cast<uint16_t>(n); });
    else if (a == "--bind") c.bind = v;
    else if (a == "--client-dir") out.clientDir = v;
    else if (a == "--stun") {
      // Repeated, or several in one value separated by commas.
      size_t at = 0;
      while (at <= v.size()) {
        size_t end = v.find(',', at);
        if (end == std::string::npos) end = v.size();
        if (end > at) c.stun.push_back(v.substr(at, end - at));
        at = end + 1;
      }
    } else if (a == "--turn") {
      size_t at = 0;
      while (at <= v.size()) {
        size_t end = v.find(',', at);
        if (end == std::string::npos) end = v.size();
        std::string url = v.substr(at, end - at);
        if (!TurnCredentials::validUrl(url)) return "--turn needs turn:HOST[:PORT][?transport=udp|tcp] or turns:…, not \"" + url + "\"";
        c.turn.push_back(url);
        at = end + 1;
      }
    } else if (a == "--turn-secret") {
      if (v.empty()) return "--turn-secret needs a file name";
      out.turnSecretFile = v;
    } else if (a == "--turn-ttl") bad = number(60, 7 * 24 * 3600, [&](int64_t n) { c.turnTtl = n; });
    else if (a == "--tls-cert") c.tlsCert = v;
    else if (a == "--tls-key") c.tlsKey = v;
    else if (a == "--max-rooms") bad = number(1, 10000000, [&](int64_t n) { c.rooms.rooms = n; });
    else if (a == "--max-phones") bad = number(1, 10000, [&](int64_t n) { c.rooms.phonesPerRoom = n; });
    else if (a == "--max-sockets") bad = number(1, 10000000, [&](int64_t n) { c.maxSockets = n; });
    else if (a == "--max-per-address") bad = number(0, 10000000, [&](int64_t n) { c.maxPerAddress = n; });
    // Not in the usage text: tests shorten the time-outs.
    else if (a == "--role-timeout-ms") bad = number(1, 3600000, [&](int64_t n) { c.session.roleTimeout = std::chrono::milliseconds(n); });
    else if (a == "--silence-timeout-ms") bad = number(1, 3600000, [&](int64_t n) { c.session.silenceTimeout = std::chrono::milliseconds(n); });
    // Already expired credentials, for the relay's refusal.
    else if (a == "--test-turn-ttl") bad = number(-1000000000, 1000000000, [&](int64_t n) { c.turnTtl = n; });
    else return "unknown option: " + a;
    if (bad) return *bad;
  }
  if (c.tlsCert.has_value() != c.tlsKey.has_value()) return "--tls-cert and --tls-key go together";
  // A relay without credentials would refuse every allocation; a secret
  // without a relay is a mistake in the command line.
  if (c.turn.empty() != out.turnSecretFile.empty()) return "--turn and --turn-secret go together";
  return out;
}
