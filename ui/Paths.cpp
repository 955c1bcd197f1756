#include "ui/Paths.h"

#include <filesystem>

std::string shareDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  // <prefix>/bin/tolvane-host and build/tolvane-host both find it one up.
  fs::path p = (exe.parent_path() / ".." / "share").lexically_normal();
  return fs::is_directory(p / "tolvane-host" / "help", ec) ? p.string() : "";
}
