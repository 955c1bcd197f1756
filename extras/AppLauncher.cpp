#include "extras/AppLauncher.h"

#include <gio/gdesktopappinfo.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "app/Log.h"
#include "app/SerialQueue.h"
#include "app/XConn.h"
#include "extras/AppWindows.h"
#include "extras/DesktopEntries.h"
#include "extras/IconRender.h"

using namespace std::chrono_literals;

namespace {

constexpr size_t kBatch = 12;
constexpr int kPaceWaits = 2000;
constexpr auto kPaceStep = 5ms;
constexpr auto kFirstWindowLimit = 10s;
constexpr auto kSoloDelay = 400ms;

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The file manager (GIO's default for folders) stays visible in solo mode.
AppEntry fileManager() {
  AppEntry fm;
  GAppInfo* info = g_app_info_get_default_for_type("inode/directory", FALSE);
  if (!info) return fm;
  if (const char* id = g_app_info_get_id(info)) fm.id = id;
  if (G_IS_DESKTOP_APP_INFO(info))
    if (const char* wm = g_desktop_app_info_get_startup_wm_class(G_DESKTOP_APP_INFO(info))) fm.wmClass = wm;
  g_object_unref(info);
  return fm;
}

bool belongsTo(const AppWindow& w, const AppEntry& e, long pid) {
  return (pid > 0 && w.pid == pid) || classMatches(e, w.resName, w.resClass);
}

struct XDisplay {
  Display* d = xconn::open();
  ~XDisplay() {
    if (d) xconn::close(d);
  }
};

}  // namespace

struct AppLauncher::Impl {
  // Touched only from the caller's queue (the extras queue).
  std::map<std::string, std::string> iconCache;
  GtkIconTheme* theme = nullptr;
  std::atomic<int> rendered{0};
  // Waiting for a launched application's first window must not hold up the
  // other side features.
  std::atomic<bool> closing{false};
  SerialQueue watch{"extras.apps"};

  ~Impl() {
    closing = true;
    watch.shutdown();
    if (theme) g_object_unref(theme);
  }

  std::string icon(const std::string& path) {
    if (auto it = iconCache.find(path); it != iconCache.end()) return it->second;
    // A theme of our own: GTK's default one belongs to the main thread.
    if (!theme) theme = gtk_icon_theme_new();
    std::string ic = renderAppIcon(theme, path);
    ++rendered;
    iconCache[path] = ic;
    return ic;
  }

  // Hides every other regular application but the file manager, then
  // brings the launched one forward.
  static void solo(const AppEntry& app, long pid) {
    XDisplay x;
    if (!x.d) return;
    AppEntry fm = fileManager();
    unsigned long mine = 0;
    for (const auto& w : regularWindows(x.d)) {
      if (belongsTo(w, app, pid)) {
        if (!mine) mine = w.id;
        continue;
      }
      if (!fm.id.empty() && classMatches(fm, w.resName, w.resClass)) continue;
      iconifyWindow(x.d, w.id);
    }
    if (mine) activateWindow(x.d, mine);
    XSync(x.d, False);
    xconn::takeError(x.d);
  }

  void afterLaunch(const AppEntry& app, long pid, bool solo) {
    if (!solo) return;
    watch.post([this, app, pid] {
      auto until = std::chrono::steady_clock::now() + kFirstWindowLimit;
      bool shown = false;
      while (!closing && !shown && std::chrono::steady_clock::now() < until) {
        {
          XDisplay x;
          if (!x.d) return;
          for (const auto& w : regularWindows(x.d))
            if (belongsTo(w, app, pid)) shown = true;
        }
        if (!shown) std::this_thread::sleep_for(100ms);
      }
      if (!shown || closing) return;
      std::this_thread::sleep_for(kSoloDelay);
      if (!closing) Impl::solo(app, pid);
    });
  }
};

AppLauncher::AppLauncher() : impl_(std::make_unique<Impl>()) {}
AppLauncher::~AppLauncher() = default;
std::shared_ptr<AppLauncher> AppLauncher::create() { return std::shared_ptr<AppLauncher>(new AppLauncher()); }

int AppLauncher::iconsRendered() const { return impl_->rendered; }

namespace {
// Consecutive runs of items, each of which fits one "appl" message of at most
// limit bytes (0: no limit). An item too large on its own goes alone.
std::vector<nlohmann::json> partsWithin(std::vector<nlohmann::json> items, size_t limit) {
  std::vector<nlohmann::json> parts(1, nlohmann::json::array());
  // {"done":false,"first":false,"items":[],"t":"appl"}
  const size_t frame = 50;
  size_t used = frame;
  for (auto& item : items) {
    const size_t size = jsonText(item).size() + 1;
    if (limit && !parts.back().empty() && used + size > limit) {
      parts.push_back(nlohmann::json::array());
      used = frame;
    }
    used += size;
    parts.back().push_back(std::move(item));
  }
  return parts;
}
}  // namespace

void AppLauncher::sendList(const RequesterPtr& to) {
  if (!to) return;
  auto entries = installedApps();
  {
    XDisplay x;
    markRunningAndSort(x.d, entries);
  }
  if (entries.empty()) {
    to->send(jsonText({{"t", "appl"}, {"items", nlohmann::json::array()}, {"first", true}, {"done", true}}));
    return;
  }
  for (size_t start = 0; start < entries.size(); start += kBatch) {
    std::vector<nlohmann::json> items;
    for (size_t i = start; i < std::min(entries.size(), start + kBatch); ++i) {
      const auto& e = entries[i];
      items.push_back({{"n", e.n}, {"p", e.p}, {"r", e.r}, {"ic", impl_->icon(e.p)}});
    }
    const bool done = start + kBatch >= entries.size();
    // Twelve detailed icons can outgrow one data-channel message, which the
    // channel would refuse: such a batch goes as several smaller ones, "first"
    // on the opening part only and "done" on the closing part only.
    auto parts = partsWithin(std::move(items), to->maxMessage);
    for (size_t k = 0; k < parts.size(); ++k) {
      for (int waits = 0; waits < kPaceWaits && to->buffered() > to->bulkLimit; ++waits)
        std::this_thread::sleep_for(kPaceStep);
      bool sent = to->send(jsonText({{"t", "appl"},
                                     {"items", std::move(parts[k])},
                                     {"first", start == 0 && k == 0},
                                     {"done", done && k + 1 == parts.size()}}));
      if (!sent) return;  // the connection has gone: no one reads the rest
    }
  }
}

void AppLauncher::open(const std::string& path, bool solo) {
  // A desktop entry's Exec runs any command: only entries of the list, never
  // a file that merely has the right ending (an upload, say).
  if (!endsWith(path, ".desktop")) return;
  const AppEntry* app = nullptr;
  auto entries = installedApps();
  for (const auto& e : entries)
    if (e.p == path) app = &e;
  if (!app || !g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return;

  {
    XDisplay x;
    for (const auto& w : regularWindows(x.d)) {
      if (!classMatches(*app, w.resName, w.resClass)) continue;
      activateWindow(x.d, w.id);
      impl_->afterLaunch(*app, 0, solo);
      return;
    }
  }

  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(path.c_str());
  if (!info) {
    logf("[apps] 起動失敗 " + path);
    return;
  }
  long pid = 0;
  GError* err = nullptr;
  auto onPid = [](GDesktopAppInfo*, GPid p, gpointer data) { *static_cast<long*>(data) = long(p); };
  gboolean ok = g_desktop_app_info_launch_uris_as_manager(info, nullptr, nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                                          nullptr, onPid, &pid, &err);
  g_object_unref(info);
  if (!ok) {
    logf("[apps] 起動失敗 " + std::string(err && err->message ? err->message : "?"));
    if (err) g_error_free(err);
    return;
  }
  impl_->afterLaunch(*app, pid, solo);
}
