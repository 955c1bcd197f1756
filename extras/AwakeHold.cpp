#include "extras/AwakeHold.h"

#include "app/XConn.h"
#include "extras/Bus.h"

#include <X11/extensions/scrnsaver.h>

namespace {

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
constexpr int kCallTimeoutMs = 5000;

// The connection stays referenced by the call until its answer is in, so a
// release right before the process lets go of the bus still goes out.
void uninhibit(GDBusConnection* bus, uint32_t cookie) {
  g_dbus_connection_call(
      bus, kService, kPath, kInterface, "UnInhibit", g_variant_new("(u)", cookie), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer) {
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        if (reply) g_variant_unref(reply);
      },
      nullptr);
}

}  // namespace

AwakeHold::~AwakeHold() {
  releaseX();
  if (bus_) {
    if (!asking_) uninhibit(bus_, cookie_);
    g_object_unref(bus_);
  }
}

void AwakeHold::take() {
  wanted_ = true;
  takeX();
  takeBus();
}

void AwakeHold::release() {
  wanted_ = false;
  releaseX();
  releaseBus();
}

void AwakeHold::takeX() {
  if (x_ && !xconn::lost(x_)) return;
  if (x_) xconn::close(x_);
  x_ = nullptr;
  Display* d = xconn::open();
  if (!d) return;
  int event = 0, error = 0, major = 0, minor = 0;
  // Suspend came with version 1.1 of the extension.
  bool usable = XScreenSaverQueryExtension(d, &event, &error) && XScreenSaverQueryVersion(d, &major, &minor) &&
                (major > 1 || (major == 1 && minor >= 1));
  if (usable) {
    XScreenSaverSuspend(d, True);
    XSync(d, False);
    usable = !xconn::takeError(d) && !xconn::lost(d);
  }
  if (usable)
    x_ = d;
  else
    xconn::close(d);
}

void AwakeHold::releaseX() {
  if (!x_) return;
  if (!xconn::lost(x_)) {
    XScreenSaverSuspend(x_, False);
    XSync(x_, False);
  }
  xconn::close(x_);
  x_ = nullptr;
}

void AwakeHold::takeBus() {
  if (bus_) return;  // inhibited, or the answer is on its way
  bus_ = connectBus(G_BUS_TYPE_SESSION);
  if (!bus_) return;
  asking_ = true;
  g_dbus_connection_call(bus_, kService, kPath, kInterface, "Inhibit",
                         g_variant_new("(ss)", "tolvane-host", "Tolvane: iPhoneから操作中"), G_VARIANT_TYPE("(u)"),
                         G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &AwakeHold::onInhibited,
                         new std::weak_ptr<AwakeHold>(weak_from_this()));
}

void AwakeHold::onInhibited(GObject* source, GAsyncResult* result, gpointer p) {
  std::unique_ptr<std::weak_ptr<AwakeHold>> owner(static_cast<std::weak_ptr<AwakeHold>*>(p));
  auto* bus = G_DBUS_CONNECTION(source);
  GVariant* reply = g_dbus_connection_call_finish(bus, result, nullptr);
  uint32_t cookie = 0;
  if (reply) {
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
  }
  auto self = owner->lock();
  if (!self) {
    if (reply) uninhibit(bus, cookie);
    return;
  }
  self->asking_ = false;
  if (!reply) {
    // No ScreenSaver service on this bus: the next take asks again.
    g_object_unref(self->bus_);
    self->bus_ = nullptr;
    return;
  }
  self->cookie_ = cookie;
  if (!self->wanted_) self->releaseBus();
}

void AwakeHold::releaseBus() {
  if (!bus_ || asking_) return;  // an answer still to come is released when it lands
  uninhibit(bus_, cookie_);
  g_object_unref(bus_);
  bus_ = nullptr;
  cookie_ = 0;
}
