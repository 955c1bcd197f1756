#include "extras/Inhibitors.h"

#include "extras/Bus.h"

#include <unistd.h>

#include <cstring>

namespace {

constexpr int kCallTimeoutMs = 5000;

struct Pending {
  std::function<void(bool)> done;
};

}  // namespace

bool idleInhibitedByOthers(GVariant* reply, pid_t self) {
  if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(a(ssssuu))"))) return false;
  GVariantIter* it = nullptr;
  g_variant_get(reply, "(a(ssssuu))", &it);
  const gchar *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
  guint32 uid = 0, pid = 0;
  bool found = false;
  while (!found && g_variant_iter_next(it, "(&s&s&s&suu)", &what, &who, &why, &mode, &uid, &pid))
    found = std::strstr(what, "idle") != nullptr && static_cast<pid_t>(pid) != self;
  g_variant_iter_free(it);
  return found;
}

InhibitorCheck::~InhibitorCheck() {
  if (bus_) g_object_unref(bus_);
}

void InhibitorCheck::ask(std::function<void(bool)> done) {
  if (bus_ && g_dbus_connection_is_closed(bus_)) {
    g_object_unref(bus_);
    bus_ = nullptr;
  }
  if (!bus_) bus_ = connectBus(G_BUS_TYPE_SYSTEM);
  if (!bus_) {
    done(false);
    return;
  }
  g_dbus_connection_call(
      bus_, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
      "ListInhibitors", nullptr, G_VARIANT_TYPE("(a(ssssuu))"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer p) {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(p));
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        bool playing = idleInhibitedByOthers(reply, getpid());
        if (reply) g_variant_unref(reply);
        pending->done(playing);
      },
      new Pending{std::move(done)});
}
