// The tray item from outside, as a desktop's tray sees it: the host with
// "--menu" on a private X server and session bus, a StatusNotifierWatcher of
// the test's own, and gdbus for the item's properties and its menu.
#include "shell_session.h"

#include <gtest/gtest.h>
#include <glib.h>

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct MenuEntry {
  int id = 0;
  std::string type, label, toggleType, shortcut;
  bool enabled = true, visible = true;
  int toggleState = -1;
};

GVariant* parse(const std::string& text) {
  GVariant* v = g_variant_parse(nullptr, text.c_str(), nullptr, nullptr, nullptr);
  return v ? g_variant_ref_sink(v) : nullptr;
}

struct Tray : ::testing::Test {
  ts::Xvfb x{1280, 800};
  shell::PrivateBus bus;
  std::unique_ptr<ts::Child> watcher;
  std::unique_ptr<shell::HostInSession> host;
  std::string name, path, menuPath;

  void start(std::vector<std::string> extra = {}) {
    ASSERT_TRUE(x.ok());
    watcher = std::make_unique<ts::Child>(
        std::vector<std::string>{"/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/sni_watcher.py"},
        std::vector<std::string>{bus.env()});
    ASSERT_TRUE(watcher->waitFor("watching", 30s)) << watcher->output();
    extra.insert(extra.begin(), {"--menu", "--test-pattern"});
    host = std::make_unique<shell::HostInSession>(TOLVANE_HOST_BIN, extra,
                                                  std::vector<std::string>{bus.env(), "NO_AT_BRIDGE=1"});
    ASSERT_TRUE(watcher->waitFor("registered ", 60s)) << host->proc->output();
    std::istringstream in(watcher->output().substr(watcher->output().find("registered ")));
    std::string word;
    in >> word >> name >> path;
    ASSERT_FALSE(path.empty());
  }

  std::string call(const std::string& objectPath, const std::string& method, const std::string& args,
                   int* status = nullptr) {
    return ts::run("gdbus call --address " + shell::quote(bus.address) + " --dest " + name + " --object-path " +
                       objectPath + " --method " + method + " -- " + args + " 2>&1",
                   status);
  }

  std::string property(const std::string& prop) {
    std::string out = call(path, "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem " + prop);
    GVariant* v = parse(out);
    if (!v) return "unparsable: " + out;
    GVariant* inner = nullptr;
    g_variant_get(v, "(v)", &inner);
    std::string text = g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(inner, G_VARIANT_TYPE_OBJECT_PATH)
                           ? g_variant_get_string(inner, nullptr)
                           : "";
    g_variant_unref(inner);
    g_variant_unref(v);
    return text;
  }

  std::vector<MenuEntry> layout() {
    if (menuPath.empty()) menuPath = property("Menu");
    std::string out = call(menuPath, "com.canonical.dbusmenu.GetLayout", "0 -1 '[]'");
    std::vector<MenuEntry> entries;
    GVariant* v = parse(out);
    EXPECT_TRUE(v) << out;
    if (!v) return entries;
    GVariant* root = g_variant_get_child_value(v, 1);
    GVariant* children = g_variant_get_child_value(root, 2);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
      GVariant* boxed = g_variant_get_child_value(children, i);
      GVariant* item = g_variant_get_variant(boxed);
      MenuEntry e;
      GVariant* props = nullptr;
      g_variant_get(item, "(i@a{sv}@av)", &e.id, &props, nullptr);
      GVariantDict d;
      g_variant_dict_init(&d, props);
      const char* s = nullptr;
      if (g_variant_dict_lookup(&d, "type", "&s", &s)) e.type = s;
      if (g_variant_dict_lookup(&d, "label", "&s", &s)) e.label = s;
      if (g_variant_dict_lookup(&d, "toggle-type", "&s", &s)) e.toggleType = s;
      gboolean b;
      if (g_variant_dict_lookup(&d, "enabled", "b", &b)) e.enabled = b;
      if (g_variant_dict_lookup(&d, "visible", "b", &b)) e.visible = b;
      gint32 t;
      if (g_variant_dict_lookup(&d, "toggle-state", "i", &t)) e.toggleState = t;
      if (GVariant* sc = g_variant_dict_lookup_value(&d, "shortcut", nullptr)) {
        gchar* p = g_variant_print(sc, FALSE);
        e.shortcut = p;
        g_free(p);
        g_variant_unref(sc);
      }
      g_variant_dict_clear(&d);
      g_variant_unref(props);
      g_variant_unref(item);
      g_variant_unref(boxed);
      entries.push_back(e);
    }
    g_variant_unref(children);
    g_variant_unref(root);
    g_variant_unref(v);
    return entries;
  }

  const MenuEntry* entry(const std::vector<MenuEntry>& all, const std::string& label) {
    for (auto& e : all)
      if (e.label == label) return &e;
    return nullptr;
  }

  void click(int id) {
    int status = -1;
    std::string out = call(menuPath, "com.canonical.dbusmenu.Event", std::to_string(id) + " clicked '<0>' 0", &status);
    EXPECT_EQ(status, 0) << out;
  }
};

}  // namespace

TEST_F(Tray, ItemRegistersWithItsNameIconAndTheTenEntriesInOrder) {
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(property("Id"), "tolvane-host");
  EXPECT_EQ(property("Title"), "Tolvane Host");
  EXPECT_EQ(property("IconName"), "tolvane-host");
  EXPECT_EQ(property("Status"), "Active");
  EXPECT_EQ(property("Menu").rfind("/", 0), 0u);

  auto items = layout();
  ASSERT_EQ(items.size(), 10u);
  const char* labels[] = {"Ready — waiting for your iPhone", "Pause iPhone Connection (to watch videos)", "",
                          "Permission Setup…", "Copy Connection Link", "", "Launch at Login", "",
                          "About Tolvane Host", "Quit Tolvane Host"};
  for (size_t i = 0; i < 10; ++i) {
    if (!*labels[i]) {
      EXPECT_EQ(items[i].type, "separator") << i;
      continue;
    }
    EXPECT_EQ(items[i].label, labels[i]) << i;
  }
  EXPECT_FALSE(items[0].enabled);
  EXPECT_FALSE(items[1].visible) << "no internet transport, no pause item";
  EXPECT_TRUE(items[3].enabled);
  EXPECT_EQ(items[6].toggleType, "checkmark");
  EXPECT_EQ(items[6].toggleState, 0);
  EXPECT_EQ(items[9].shortcut, "[['Control', 'q']]");
}

TEST_F(Tray, OpeningTheMenuRefreshesItsTexts) {
  ASSERT_NO_FATAL_FAILURE(start({"--simulate-no-screen"}));
  auto items = layout();
  ASSERT_EQ(items.size(), 10u);
  EXPECT_EQ(items[0].label, "Permissions needed — open Permission Setup");
  EXPECT_EQ(items[6].toggleState, 0);

  // Turned on behind the menu's back: the next opening shows it.
  fs::create_directories(host->configDir + "/autostart");
  ts::writeFile(host->autostart(), "[Desktop Entry]\nType=Application\nName=x\nExec=/bin/true\n");
  int status = -1;
  std::string out = call(menuPath, "com.canonical.dbusmenu.AboutToShow", "0", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(layout()[6].toggleState, 1);

  fs::remove(host->autostart());
  out = call(menuPath, "com.canonical.dbusmenu.Event", "0 opened '<0>' 0", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_TRUE(ts::waitUntil([&] { return layout()[6].toggleState == 0; }, 30s));
}

TEST_F(Tray, CopyLinkPutsTheLastLinkOnTheClipboard) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto items = layout();
  ASSERT_EQ(items.size(), 10u);
  std::string links = ts::readFileWhenPresent(host->dataDir + "/last_url.txt");
  ASSERT_FALSE(links.empty());
  links.pop_back();
  std::string last = links.substr(links.rfind('\n') + 1);
  click(items[4].id);
  std::string got;
  EXPECT_TRUE(ts::waitUntil([&] {
    got = ts::run("timeout 10 xclip -o -selection clipboard 2>/dev/null");
    return got == last;
  }, 30s)) << got << " vs " << last;
}

TEST_F(Tray, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto items = layout();
  ASSERT_EQ(items.size(), 10u);
  int id = items[6].id;
  click(id);
  EXPECT_TRUE(ts::waitUntil([&] { return fs::exists(host->autostart()); }, 30s));
  EXPECT_TRUE(ts::waitUntil([&] { return layout()[6].toggleState == 1; }, 30s));
  EXPECT_NE(ts::readFile(host->autostart()).find("Exec=\"" TOLVANE_HOST_BIN "\""), std::string::npos)
      << ts::readFile(host->autostart());
  click(id);
  EXPECT_TRUE(ts::waitUntil([&] { return !fs::exists(host->autostart()); }, 30s));
  EXPECT_TRUE(ts::waitUntil([&] { return layout()[6].toggleState == 0; }, 30s));
}

// The host's bounded shutdown caps the exit at 1.5 s; the test only waits
// generously for it and checks the status.
TEST_F(Tray, QuitEndsTheHostWithStatusZero) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto items = layout();
  ASSERT_EQ(items.size(), 10u);
  EXPECT_EQ(items[9].label, "Quit Tolvane Host");
  std::string out = call(menuPath, "com.canonical.dbusmenu.Event", std::to_string(items[9].id) + " clicked '<0>' 0");
  auto status = host->proc->exited(60s);
  ASSERT_TRUE(status) << host->proc->output();
  EXPECT_EQ(*status, 0);
}
