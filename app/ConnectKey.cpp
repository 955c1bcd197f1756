#include "app/ConnectKey.h"

#include "app/Crypto.h"
#include "app/Startup.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {
std::string trimmed(const std::string& s) {
  const char* ws = " \t\r\n\v\f";
  size_t a = s.find_first_not_of(ws);
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(ws);
  return s.substr(a, b - a + 1);
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}
}  // namespace

std::string loadConnectKey(const std::string& dataDir, bool fresh) {
  std::string path = dataDir + "/connect_key.txt";
  std::string key;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) key = trimmed(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  if (fresh || key.size() <= 31) {
    key = randomToken() + randomToken();
    writeAtomically(path, key);
  }
  return key;
}

std::string signalBase(const std::string& url) {
  if (!url.empty() && url.back() == '/') return url;
  return url + "/";
}

std::string remoteLink(const std::string& base, const std::string& key) {
  return replaceAll(replaceAll(base, "wss://", "https://"), "ws://", "http://") + "#k=" + key;
}

std::optional<std::string> bundleSignalURL() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  std::ifstream in(exe.parent_path() / ".." / "share" / "tolvane-host" / "app.json");
  if (!in) return std::nullopt;
  try {
    auto j = nlohmann::json::parse(in);
    auto it = j.find("TolvaneSignalURL");
    if (it != j.end() && it->is_string() && !it->get<std::string>().empty()) return it->get<std::string>();
  } catch (const nlohmann::json::exception&) {
  }
  return std::nullopt;
}
