#include "ui/LoginItem.h"

#include "app/Log.h"
#include "ui/UserDefaults.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {
constexpr const char* kFlag = "didFirstLoginItemRegistration";

std::string selfExe() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

void logFailure(const char* what, const std::string& error) {
  logf(std::string("[login] ") + what + " failed: " + error);
}
}  // namespace

namespace LoginItem {

std::string entryPath() { return userConfigDir() + "/autostart/tolvane-host.desktop"; }

std::string quoteExecArg(const std::string& arg) {
  // Inside double quotes the Exec key reserves ", `, $ and \ (escaped with a
  // backslash); the key-file layer then wants every backslash doubled again,
  // and "%" is a field code unless written "%%".
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    else if (c == '\\') quoted += "\\\\\\";
    else if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

std::optional<std::string> entryText(const std::string& exe) {
  if (exe.empty() || exe[0] != '/') return std::nullopt;
  for (unsigned char c : exe)
    if (c < 0x20 || c == 0x7f) return std::nullopt;
  if (!g_utf8_validate(exe.data(), static_cast<gssize>(exe.size()), nullptr)) return std::nullopt;
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Tolvane Host\n"
         "Comment=Lets your phone see and operate this computer\n"
         "Exec=" + quoteExecArg(exe) + "\n"
         "Icon=tolvane-host\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool set(bool on) {
  std::string path = entryPath();
  if (!on) {
    if (g_unlink(path.c_str()) != 0 && errno != ENOENT) {
      logFailure("unregister", std::strerror(errno));
      return false;
    }
    return true;
  }
  auto text = entryText(selfExe());
  if (!text) {
    logFailure("register", "the executable's path cannot go into a desktop entry");
    return false;
  }
  std::string dir = path.substr(0, path.rfind('/'));
  if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) {
    logFailure("register", dir + ": " + std::strerror(errno));
    return false;
  }
  GError* err = nullptr;
  if (!g_file_set_contents(path.c_str(), text->c_str(), static_cast<gssize>(text->size()), &err)) {
    logFailure("register", err ? err->message : "write failed");
    if (err) g_error_free(err);
    return false;
  }
  return true;
}

bool enabled() {
  GKeyFile* kf = g_key_file_new();
  bool on = false;
  if (g_key_file_load_from_file(kf, entryPath().c_str(), G_KEY_FILE_NONE, nullptr)) {
    GError* err = nullptr;
    gboolean hidden = g_key_file_get_boolean(kf, "Desktop Entry", "Hidden", &err);
    if (err) g_error_free(err), hidden = FALSE;
    on = !hidden;
  }
  g_key_file_free(kf);
  return on;
}

void registerOnFirstLaunch() {
  if (UserDefaults::getBool(kFlag)) return;
  if (set(true)) UserDefaults::setBool(kFlag, true);
}

}  // namespace LoginItem
