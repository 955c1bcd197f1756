#include "lan/ClientPage.h"

#include "app/Text.h"
#include "lan/ClientFiles.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

std::optional<std::string> findClientDir(const std::optional<std::string>& clientDir) {
  std::vector<fs::path> places;
  if (clientDir) places.push_back(fs::path(*clientDir));
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    places.push_back(exe.parent_path() / ".." / "share" / "tolvane-host" / "client");
    places.push_back(exe.parent_path() / ".." / "client");
  }
  places.push_back(fs::current_path(ec) / "client");
  for (const auto& p : places) {
    if (!fs::is_regular_file(p / "index.html", ec)) continue;
    if (std::ifstream(p / "index.html", std::ios::binary)) return p.string();
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> findClientHTML(const std::optional<std::string>& clientDir) {
  auto dir = findClientDir(clientDir);
  if (!dir) return std::nullopt;
  return readClientFile(*dir, "index.html");
}

std::optional<std::vector<uint8_t>> fillTlsPort(const std::vector<uint8_t>& page, uint16_t tlsPort) {
  if (!validUtf8(page.data(), page.size())) return std::nullopt;
  std::string text(page.begin(), page.end());
  const std::string tag = "__TLS_PORT__", port = std::to_string(tlsPort);
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + port.size()))
    text.replace(at, tag.size(), port);
  return std::vector<uint8_t>(text.begin(), text.end());
}

bool isLanInterfaceName(const std::string& name) {
  return name.rfind("en", 0) == 0 || name.rfind("eth", 0) == 0 || name.rfind("wl", 0) == 0;
}

std::vector<std::string> lanIPs() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
    if (!isLanInterfaceName(a->ifa_name)) continue;
    char host[NI_MAXHOST];
    if (getnameinfo(a->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
      out.push_back(host);
  }
  freeifaddrs(list);
  return out;
}
