#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Process-wide settings, fixed after start-up.
struct Settings {
  std::vector<std::string> args;
  bool testMode = false;
  bool noPrompt = false;
  std::optional<std::string> inputLogPath;
  bool fakeNoScreen = false;
  uint16_t httpPort = 8765;
  uint16_t httpsPort = 8766;
  int64_t bitrate = 8000000;
  int64_t fps = 60;
  std::string dataDir = ".";
  std::vector<std::string> ips;
  std::string ip = "127.0.0.1";
  std::string token;
  std::vector<std::string> urls;

  // The value after the first argument equal to name; nothing when name is
  // absent or last.
  std::optional<std::string> opt(const std::string& name) const;
  bool flag(const std::string& name) const;
  std::optional<int64_t> optInt(const std::string& name) const;
  std::optional<uint16_t> optPort(const std::string& name) const;
  std::optional<double> optDouble(const std::string& name) const;

  // Reads the start-up options from args (step 3 of start-up).
  void readOptions();
};

Settings& settings();

// Strict number parsing shared by the option readers and the message fields.
std::optional<int64_t> parseInt(const std::string& text);
std::optional<double> parseDouble(const std::string& text);

// Where journals and certificates live: "--data-dir", then $KESTRAVA_DATA,
// then the user's data folder when running as the installed application,
// else the current directory.
std::string chooseDataDir(const Settings& s, bool installed);

// True when this executable is the installed one (under the install prefix).
bool runningInstalled();
