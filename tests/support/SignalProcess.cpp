#include "support/SignalProcess.h"

#include <gtest/gtest.h>

#include <regex>

using nlohmann::json;

namespace ts {

namespace {
std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

SignalProcess::SignalProcess(std::vector<std::string> extra, bool useTls) : tls(useTls) {
  std::vector<std::string> argv = {TOLVANE_SIGNAL_BIN, "--bind", "127.0.0.1", "--port", "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  proc = std::make_unique<Child>(argv);
  if (!proc->waitFor("[signal] listening ")) return;
  std::smatch m;
  std::string out = proc->output();
  if (std::regex_search(out, m, std::regex(R"(\[signal\] listening 127\.0\.0\.1:(\d+))"))) port = std::stoi(m[1]);
}

SignalProcess::~SignalProcess() {
  if (!proc || port == 0) return;
  bool running = !proc->exited().has_value();
  int status = proc->stop(15, std::chrono::seconds(10));
  if (running) {
    EXPECT_EQ(status, 0) << proc->output();
  }
  std::string out = proc->output();
  EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
  EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
}

std::string SignalProcess::base() const {
  return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port);
}

std::string SignalProcess::url(const std::string& path) const {
  return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + path;
}

std::vector<json> SignalProcess::session(const std::string& steps, int* status, const std::string& cafile) const {
  std::string out = run("/usr/bin/python3 " TOLVANE_SOURCE_DIR "/tests/tools/signal_session.py " + shellQuote(base()) +
                            " " + shellQuote(steps) + (cafile.empty() ? "" : " " + shellQuote(cafile)) + " 2>&1",
                        status);
  std::vector<json> lines;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    if (end > at) {
      auto j = json::parse(out.substr(at, end - at), nullptr, false);
      lines.push_back(j.is_discarded() ? json{{"error", out.substr(at, end - at)}} : j);
    }
    at = end + 1;
  }
  return lines;
}

std::vector<json> textsOf(const std::vector<json>& lines, const std::string& client) {
  std::vector<json> out;
  for (const auto& l : lines)
    if (l.value("c", "") == client && l.contains("text")) out.push_back(json::parse(l["text"].get<std::string>()));
  return out;
}

int closeCodeOf(const std::vector<json>& lines, const std::string& client) {
  for (const auto& l : lines)
    if (l.value("c", "") == client && l.contains("closed") && l["closed"].is_number()) return l["closed"].get<int>();
  return -1;
}

}  // namespace ts
