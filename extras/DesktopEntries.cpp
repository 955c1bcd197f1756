#include "extras/DesktopEntries.h"

#include <gio/gdesktopappinfo.h>
#include <strings.h>

#include <algorithm>
#include <set>

#include "extras/AppWindows.h"

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string sortKey(const std::string& name) {
  gchar* folded = g_utf8_casefold(name.c_str(), -1);
  gchar* key = g_utf8_collate_key_for_filename(folded, -1);
  std::string k = key ? key : "";
  g_free(key);
  g_free(folded);
  return k;
}

}  // namespace

std::string withoutAppSuffix(std::string name) {
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0) name.resize(name.size() - 4);
  return name;
}

bool classMatches(const AppEntry& e, const std::string& resName, const std::string& resClass) {
  if (!e.wmClass.empty())
    return strcasecmp(e.wmClass.c_str(), resClass.c_str()) == 0 ||
           strcasecmp(e.wmClass.c_str(), resName.c_str()) == 0;
  std::string stem = lower(e.id);
  if (stem.size() > 8 && stem.compare(stem.size() - 8, 8, ".desktop") == 0) stem.resize(stem.size() - 8);
  return (!resClass.empty() && stem == lower(resClass)) || (!resName.empty() && stem == lower(resName));
}

std::vector<AppEntry> installedApps() {
  std::vector<AppEntry> out;
  // GIO already resolves duplicates by desktop-file id in XDG order and
  // leaves out Hidden entries; should_show covers NoDisplay and the
  // desktop-environment filters.
  GList* all = g_app_info_get_all();
  for (GList* l = all; l; l = l->next) {
    if (!G_IS_DESKTOP_APP_INFO(l->data)) continue;
    auto* info = G_DESKTOP_APP_INFO(l->data);
    if (!g_app_info_should_show(G_APP_INFO(info))) continue;
    const char* file = g_desktop_app_info_get_filename(info);
    const char* name = g_app_info_get_name(G_APP_INFO(info));
    const char* id = g_app_info_get_id(G_APP_INFO(info));
    if (!file || !name || !*name) continue;
    AppEntry e;
    e.n = withoutAppSuffix(name);
    e.p = file;
    e.id = id ? id : "";
    if (const char* wm = g_desktop_app_info_get_startup_wm_class(info)) e.wmClass = wm;
    out.push_back(std::move(e));
  }
  g_list_free_full(all, g_object_unref);
  return out;
}

void markRunningAndSort(Display* dpy, std::vector<AppEntry>& entries) {
  for (const auto& w : regularWindows(dpy))
    for (auto& e : entries)
      if (!e.r && classMatches(e, w.resName, w.resClass)) e.r = true;
  std::vector<std::pair<std::string, size_t>> keys;
  keys.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) keys.emplace_back(sortKey(entries[i].n), i);
  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (entries[a].r != entries[b].r) return entries[a].r;
    return keys[a].first < keys[b].first;
  });
  std::vector<AppEntry> sorted;
  sorted.reserve(entries.size());
  for (auto i : order) sorted.push_back(std::move(entries[i]));
  entries = std::move(sorted);
}
