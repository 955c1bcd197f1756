#include "app/Loc.h"

#include <libintl.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <mutex>

extern "C" int _nl_msg_cat_cntr;  // glibc: bumping it invalidates cached translations

namespace {
const char* kDomain = "tolvane-host";
std::mutex locLock;
bool bound = false;
std::optional<std::string> forced;

std::string catalogueDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  // The installed catalogue first, then the one compiled into the build tree.
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    fs::path installed = exe.parent_path() / ".." / "share" / "locale";
    if (fs::exists(installed / "ja" / "LC_MESSAGES" / "tolvane-host.mo", ec)) return installed.string();
    fs::path built = exe.parent_path() / "locale";
    if (fs::exists(built / "ja" / "LC_MESSAGES" / "tolvane-host.mo", ec)) return built.string();
  }
  return TOLVANE_LOCALEDIR;
}

void bindOnce() {
  if (bound) return;
  bound = true;
  std::setlocale(LC_ALL, "");
  // gettext needs a UTF-8 codeset for the catalogue; the texts are UTF-8 anyway.
  bindtextdomain(kDomain, catalogueDir().c_str());
  bind_textdomain_codeset(kDomain, "UTF-8");
}
}  // namespace

namespace Loc {

void setForced(const std::optional<std::string>& lang) {
  std::lock_guard<std::mutex> lock(locLock);
  bindOnce();
  forced = lang;
  if (lang) {
    // LANGUAGE overrides the locale for gettext lookups only; an unknown code
    // finds no catalogue and texts stay English.
    setenv("LANGUAGE", lang->c_str(), 1);
    // gettext ignores LANGUAGE under the C locale; pick a UTF-8 one if there is.
    if (std::string(std::setlocale(LC_MESSAGES, nullptr)) == "C") {
      if (!std::setlocale(LC_MESSAGES, "C.UTF-8")) std::setlocale(LC_MESSAGES, "C.utf8");
    }
  } else {
    unsetenv("LANGUAGE");
  }
  ++_nl_msg_cat_cntr;  // drop gettext's cached lookups
}

std::string tr(const std::string& key) {
  std::lock_guard<std::mutex> lock(locLock);
  bindOnce();
  return dgettext(kDomain, key.c_str());
}

std::string fill(const std::string& text, const std::string& value) {
  for (const char* tag : {"%@", "%d"}) {
    auto at = text.find(tag);
    if (at != std::string::npos) return text.substr(0, at) + value + text.substr(at + 2);
  }
  return text;
}

}  // namespace Loc
