#include "session/FrontApp.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gio/gdesktopappinfo.h>
#include <strings.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "app/Log.h"
#include "app/XConn.h"

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// Localised name of the desktop entry for a WM_CLASS pair, empty if none.
std::string desktopEntryName(const std::string& resName, const std::string& resClass) {
  GList* all = g_app_info_get_all();
  std::string byWmClass, byId;
  for (GList* l = all; l; l = l->next) {
    if (!G_IS_DESKTOP_APP_INFO(l->data)) continue;
    auto* info = G_DESKTOP_APP_INFO(l->data);
    const char* name = g_app_info_get_name(G_APP_INFO(info));
    if (!name || !*name) continue;
    const char* wm = g_desktop_app_info_get_startup_wm_class(info);
    if (wm && byWmClass.empty() &&
        (strcasecmp(wm, resClass.c_str()) == 0 || strcasecmp(wm, resName.c_str()) == 0))
      byWmClass = name;
    if (const char* id = g_app_info_get_id(G_APP_INFO(info)); id && byId.empty()) {
      std::string stem = lower(id);
      if (stem.size() > 8 && stem.compare(stem.size() - 8, 8, ".desktop") == 0) stem.resize(stem.size() - 8);
      if ((!resClass.empty() && stem == lower(resClass)) || (!resName.empty() && stem == lower(resName)))
        byId = name;
    }
  }
  g_list_free_full(all, g_object_unref);
  return !byWmClass.empty() ? byWmClass : byId;
}

Window activeWindow(Display* dpy, Atom active) {
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  Window w = 0;
  if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), active, 0, 1, False, XA_WINDOW, &type, &format, &n,
                         &after, &data) == Success &&
      data) {
    if (type == XA_WINDOW && format == 32 && n == 1) w = *reinterpret_cast<Window*>(data);
    XFree(data);
  }
  return w;
}

bool isDesktopOrDock(Display* dpy, Window win) {
  Atom prop = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False);
  Atom desk = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
  Atom dock = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DOCK", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  bool yes = false;
  if (XGetWindowProperty(dpy, win, prop, 0, 16, False, XA_ATOM, &type, &format, &n, &after, &data) == Success &&
      data) {
    auto* atoms = reinterpret_cast<Atom*>(data);
    for (unsigned long i = 0; i < n && format == 32; ++i)
      if (atoms[i] == desk || atoms[i] == dock) yes = true;
    XFree(data);
  }
  return yes;
}

}  // namespace

AppIdentity appForWindow(Display* dpy, unsigned long win) {
  if (!dpy || !win) return {};
  XClassHint hint{};
  if (!XGetClassHint(dpy, win, &hint)) return {};
  std::string resName = hint.res_name ? hint.res_name : "";
  std::string resClass = hint.res_class ? hint.res_class : "";
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  if (resName.empty() && resClass.empty()) return {};
  if (isDesktopOrDock(dpy, win)) return {};
  std::string name = desktopEntryName(resName, resClass);
  if (name.empty()) name = !resClass.empty() ? resClass : resName;
  return {name, resName + "\n" + resClass};
}

struct FrontAppWatcher::Watch : std::enable_shared_from_this<FrontAppWatcher::Watch> {
  FrontAppWatcher* owner = nullptr;
  Display* dpy = nullptr;
  Atom active = 0;
  std::unique_ptr<boost::asio::posix::stream_descriptor> fd;
  std::string lastKey;
  bool stopped = false;

  ~Watch() { close(); }

  void close() {
    stopped = true;
    if (fd) {
      boost::system::error_code ec;
      fd->cancel(ec);
      fd->close(ec);
      fd.reset();
    }
    if (dpy) xconn::close(dpy);
    dpy = nullptr;
  }

  std::string currentKey(AppIdentity* out) {
    AppIdentity a = appForWindow(dpy, activeWindow(dpy, active));
    if (out) *out = a;
    return a.key;
  }

  void wait() {
    if (stopped || !fd) return;
    std::weak_ptr<Watch> weak = shared_from_this();
    fd->async_wait(boost::asio::posix::stream_descriptor::wait_read, [weak](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self || ec || self->stopped) return;
      self->drain();
      self->wait();
    });
  }

  void drain() {
    // Reading the new window's properties can pull further events into
    // Xlib's queue, where waiting on the socket would not see them: go round
    // until that queue is empty.
    do {
      bool changed = false;
      while (!xconn::lost(dpy) && XPending(dpy) > 0) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == PropertyNotify && ev.xproperty.atom == active) changed = true;
      }
      if (xconn::lost(dpy)) {
        logf("[host] 前面アプリの監視終了: X サーバーとの接続が切れました");
        close();
        return;
      }
      if (changed) report();
    } while (dpy && XQLength(dpy) > 0);
  }

  void report() {
    AppIdentity app;
    std::string key = currentKey(&app);
    xconn::takeError(dpy);  // a window that closed meanwhile is no application
    if (key.empty() || key == lastKey) return;
    lastKey = key;
    if (owner->onActivated) owner->onActivated(app.name);
  }
};

FrontAppWatcher::FrontAppWatcher() = default;

FrontAppWatcher::~FrontAppWatcher() {
  stop();
  q_.shutdown();
}

void FrontAppWatcher::start() {
  q_.post([this] {
    if (w_) return;
    auto w = std::make_shared<Watch>();
    w->owner = this;
    w->dpy = xconn::open();
    if (!w->dpy) return;
    w->active = XInternAtom(w->dpy, "_NET_ACTIVE_WINDOW", False);
    XSelectInput(w->dpy, DefaultRootWindow(w->dpy), PropertyChangeMask);
    w->lastKey = w->currentKey(nullptr);
    XSync(w->dpy, False);
    // A copy of the socket to wait on; closing it leaves Xlib's own.
    int fd = dup(ConnectionNumber(w->dpy));
    if (fd < 0) return;
    w->fd = std::make_unique<boost::asio::posix::stream_descriptor>(q_.context(), fd);
    w_ = w;
    w->drain();
    w->wait();
  });
}

void FrontAppWatcher::stop() {
  q_.post([this] {
    if (w_) w_->close();
    w_.reset();
  });
}

std::string FrontAppWatcher::currentName() {
  Display* d = xconn::open();
  if (!d) return "";
  Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
  std::string name = appForWindow(d, activeWindow(d, active)).name;
  xconn::close(d);
  return name;
}
