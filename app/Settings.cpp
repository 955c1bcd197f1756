#include "app/Settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <unistd.h>

Settings& settings() {
  static Settings s;
  return s;
}

std::optional<int64_t> parseInt(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  if (text[0] == '+' || text[0] == '-') i = 1;
  if (i == text.size()) return std::nullopt;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || end != text.c_str() + text.size()) return std::nullopt;
  return static_cast<int64_t>(v);
}

std::optional<double> parseDouble(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  return v;
}

std::optional<std::string> Settings::opt(const std::string& name) const {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 < args.size()) return args[i + 1];
      return std::nullopt;
    }
  }
  return std::nullopt;
}

bool Settings::flag(const std::string& name) const {
  for (const auto& a : args)
    if (a == name) return true;
  return false;
}

std::optional<int64_t> Settings::optInt(const std::string& name) const {
  auto v = opt(name);
  return v ? parseInt(*v) : std::nullopt;
}

std::optional<uint16_t> Settings::optPort(const std::string& name) const {
  auto v = optInt(name);
  if (!v || *v < 0 || *v > 65535) return std::nullopt;
  return static_cast<uint16_t>(*v);
}

std::optional<double> Settings::optDouble(const std::string& name) const {
  auto v = opt(name);
  return v ? parseDouble(*v) : std::nullopt;
}

void Settings::readOptions() {
  testMode = flag("--test-pattern");
  noPrompt = flag("--no-prompt");
  inputLogPath = opt("--input-log");
  fakeNoScreen = flag("--simulate-no-screen");
  httpPort = optPort("--port").value_or(8765);
  httpsPort = optPort("--tls-port").value_or(8766);
  bitrate = optInt("--bitrate").value_or(8000000);
  fps = optInt("--fps").value_or(60);
  // A zero or negative rate would stall pacing or the encoder; keep defaults.
  if (bitrate <= 0) bitrate = 8000000;
  if (fps <= 0) fps = 60;
}

bool runningInstalled() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return false;
  auto bin = (std::filesystem::path(TOLVANE_PREFIX) / "bin").lexically_normal();
  return exe.parent_path().lexically_normal() == bin;
}

std::string chooseDataDir(const Settings& s, bool installed) {
  if (auto d = s.opt("--data-dir")) return *d;
  if (const char* env = std::getenv("KESTRAVA_DATA"); env && *env) return env;
  if (installed) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/Tolvane Host";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.local/share/Tolvane Host";
  }
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string(".") : cwd.string();
}
