#include "ui/Perm.h"

#include "app/Settings.h"
#include "session/Permissions.h"
#include "ui/Paths.h"

#include <gio/gio.h>


namespace Perm {

bool screenAllowed() { return !settings().fakeNoScreen && screenCapturePermitted(); }

bool axAllowed() { return injectionTrusted(); }

std::string helpLink(const std::string& section) {
  std::string share = shareDir();
  if (share.empty()) return "";
  std::string page = share + "/tolvane-host/help/permissions.html";
  gchar* uri = g_filename_to_uri(page.c_str(), nullptr, nullptr);
  if (!uri) return "";
  std::string link = std::string(uri) + "#" + section;
  g_free(uri);
  return link;
}

bool open(const std::string& url) {
  if (url.empty() || !g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) return false;
  GError* err = nullptr;
  bool ok = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &err);
  if (err) g_error_free(err);
  return ok;
}

}  // namespace Perm
