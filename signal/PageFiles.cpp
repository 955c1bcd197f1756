#include "signal/PageFiles.h"

#include "lan/ClientFiles.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::string_view requestPath(std::string_view target) {
  auto q = target.find_first_of("?#");
  return q == std::string_view::npos ? target : target.substr(0, q);
}

static std::string typeFor(std::string_view name) {
  auto ends = [&](std::string_view ext) {
    return name.size() >= ext.size() && name.substr(name.size() - ext.size()) == ext;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js") || ends(".mjs")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".json")) return "application/json";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".png")) return "image/png";
  return "application/octet-stream";
}

std::optional<PageFile> pageFileFor(std::string_view path) {
  if (path == "/") return PageFile{"index.html", typeFor("index.html")};
  // The same list the computer serves: "/" + name maps to name, nothing else does.
  auto name = clientFileFor(std::string(path));
  if (!name) return std::nullopt;
  return PageFile{*name, typeFor(*name)};
}

std::optional<std::string> readPageFile(const std::string& clientDir, const PageFile& file) {
  if (clientDir.empty()) return std::nullopt;
  std::ifstream in(fs::path(clientDir) / file.name, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::string defaultClientDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  for (fs::path dir : {exe.parent_path() / ".." / "client", exe.parent_path() / ".." / "share" / "tolvane-host" / "client"}) {
    if (!fs::is_regular_file(dir / "index.html", ec)) continue;
    auto tidy = fs::weakly_canonical(dir, ec);
    return ec ? dir.string() : tidy.string();
  }
  return "";
}
