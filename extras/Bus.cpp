#include "extras/Bus.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

std::string sessionAddress() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env && *env) return env;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return "";
  std::string path = std::string(runtime) + "/bus";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return "";
  gchar* escaped = g_dbus_address_escape_value(path.c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

std::string systemAddress() {
  gchar* a = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  std::string address = a ? a : "";
  g_free(a);
  return address;
}

}  // namespace

GDBusConnection* connectBus(GBusType type) {
  std::string address = type == G_BUS_TYPE_SYSTEM ? systemAddress() : sessionAddress();
  if (address.empty()) return nullptr;
  auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GError* error = nullptr;
  GDBusConnection* c = g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, &error);
  if (error) g_error_free(error);
  return c;
}
