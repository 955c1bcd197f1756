#include "ui/UserDefaults.h"

#include <glib.h>

#include <cstdlib>

namespace {
constexpr const char* kGroup = "Defaults";
}

std::string userConfigDir() {
  // Read from the environment each time: tests and the desktop session may
  // point it elsewhere, and GLib caches its own answer.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : g_get_home_dir()) + "/.config";
}

namespace UserDefaults {

std::string path() { return userConfigDir() + "/tolvane-host/defaults.ini"; }

bool getBool(const std::string& key) {
  GKeyFile* kf = g_key_file_new();
  bool value = false;
  if (g_key_file_load_from_file(kf, path().c_str(), G_KEY_FILE_NONE, nullptr)) {
    GError* err = nullptr;
    gboolean v = g_key_file_get_boolean(kf, kGroup, key.c_str(), &err);
    if (err) g_error_free(err);
    else value = v;
  }
  g_key_file_free(kf);
  return value;
}

bool setBool(const std::string& key, bool value) {
  std::string file = path();
  std::string dir = file.substr(0, file.rfind('/'));
  if (g_mkdir_with_parents(dir.c_str(), 0700) != 0) return false;
  GKeyFile* kf = g_key_file_new();
  // Keep whatever else a later version may have stored beside the flag.
  g_key_file_load_from_file(kf, file.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
  g_key_file_set_boolean(kf, kGroup, key.c_str(), value);
  bool ok = g_key_file_save_to_file(kf, file.c_str(), nullptr);
  g_key_file_free(kf);
  return ok;
}

}  // namespace UserDefaults
