#include <gtest/gtest.h>
// After gtest: Xlib's None macro would clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/Log.h"
#include "extras/AppLauncher.h"
#include "extras/DesktopEntries.h"
#include "support/LanPhone.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// One tree of desktop entries and icons for the whole suite: GIO reads its
// folders once per process.
struct Tree {
  std::string root, home, sys1, sys2, marks;
  std::string app(const std::string& dir, const std::string& id) const { return dir + "/applications/" + id; }
};
Tree* tree = nullptr;
ts::Xvfb* xvfb = nullptr;
ts::Child* wm = nullptr;
bool wmReady = false;

struct Rgb {
  uint8_t r, g, b;
};

void writeIcon(const std::string& path, Rgb c, int size) {
  GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  gdk_pixbuf_fill(p, (guint32(c.r) << 24) | (guint32(c.g) << 16) | (guint32(c.b) << 8) | 0xff);
  gdk_pixbuf_save(p, path.c_str(), "png", nullptr, nullptr);
  g_object_unref(p);
}

void entry(const std::string& dir, const std::string& id, const std::string& name, const std::string& extra = "",
           const std::string& exec = "true") {
  ts::writeFile(dir + "/applications/" + id,
                "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra);
}

const Rgb kRed{220, 30, 40}, kGreen{20, 200, 60}, kBlue{30, 60, 230};

void buildTree() {
  tree = new Tree;
  Tree& t = *tree;
  t.root = ts::makeTempDir("apps");
  t.home = t.root + "/home";
  t.sys1 = t.root + "/sys1";
  t.sys2 = t.root + "/sys2";
  t.marks = t.root + "/marks";
  for (auto d : {t.home, t.sys1, t.sys2})
    std::filesystem::create_directories(d + "/applications");
  std::filesystem::create_directories(t.marks);
  // Image loading tells PNG by its MIME type, from the shared database.
  std::filesystem::create_directory_symlink("/usr/share/mime", t.sys2 + "/mime");
  std::string theme = t.sys1 + "/icons/hicolor";
  std::filesystem::create_directories(theme + "/48x48/apps");
  ts::writeFile(theme + "/index.theme",
                "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Threshold\n");
  writeIcon(theme + "/48x48/apps/test-red.png", kRed, 48);
  writeIcon(theme + "/48x48/apps/test-green.png", kGreen, 48);
  writeIcon(t.root + "/blue.png", kBlue, 96);

  // 25 entries that show.
  entry(t.sys1, "app2.desktop", "App2", "Icon=test-red\n");
  entry(t.sys1, "app10.desktop", "App10", "Icon=test-green\n");
  entry(t.sys1, "lower-b.desktop", "b", "Icon=" + t.root + "/blue.png\n");
  entry(t.sys1, "upper-c.desktop", "C");
  entry(t.sys1, "marker.desktop", "Marker", "", "sh -c \"echo ran >> " + t.marks + "/marker\"");
  // GIO leaves out entries whose program is missing; a working folder that
  // is gone makes the start itself fail.
  entry(t.sys1, "broken.desktop", "Broken", "Path=/nonexistent/tolvane-no-such-folder\n");
  entry(t.sys1, "runner.desktop", "Runner", "StartupWMClass=RunnerTest\n",
        "sh -c \"echo ran >> " + t.marks + "/runner\"");
  entry(t.sys1, "testfm.desktop", "Test Files", "StartupWMClass=TestFM\nMimeType=inode/directory;\n");
  entry(t.sys1, "solo.desktop", "Solo",
        "StartupWMClass=SoloApp\n", "xterm -class SoloApp -geometry 40x10 -e sleep 120");
  entry(t.sys1, "noicon.desktop", "No Icon", "Icon=tolvane-icon-that-does-not-exist\n");
  entry(t.home, "dup.desktop", "Dup Home");
  entry(t.sys1, "dup.desktop", "Dup System");
  entry(t.sys2, "dup.desktop", "Dup Later");
  entry(t.sys1, "fooapp.desktop", "Foo.app");
  entry(t.sys1, "apple.desktop", "My.apple");
  for (int i = 0; i < 12; ++i) entry(t.sys2, "filler" + std::to_string(i) + ".desktop", "Filler " + std::to_string(i));
  // Entries that do not show.
  entry(t.sys1, "nodisplay.desktop", "Hidden By NoDisplay", "NoDisplay=true\n");
  entry(t.sys1, "hidden.desktop", "Hidden By Hidden", "Hidden=true\n");
  entry(t.sys1, "kdeonly.desktop", "Only Elsewhere", "OnlyShowIn=KDE;\n");
  // A file of the right kind outside the folders, as an upload would be.
  std::filesystem::create_directories(t.root + "/Downloads/Tolvane");
  ts::writeFile(t.root + "/Downloads/Tolvane/x.desktop",
                "[Desktop Entry]\nType=Application\nName=X\nExec=sh -c \"echo ran >> " + t.marks + "/upload\"\n");
  std::filesystem::create_directories(t.root + "/config");
  ts::writeFile(t.root + "/config/mimeapps.list", "[Default Applications]\ninode/directory=testfm.desktop\n");
}

class Apps : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("LANGUAGE", "en", 1);
    setlocale(LC_ALL, "");
    buildTree();
    // Before GIO reads its folders for the first time.
    setenv("XDG_DATA_HOME", tree->home.c_str(), 1);
    setenv("XDG_DATA_DIRS", (tree->sys1 + ":" + tree->sys2).c_str(), 1);
    setenv("XDG_CONFIG_HOME", (tree->root + "/config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (tree->root + "/none").c_str(), 1);
    unsetenv("XDG_CURRENT_DESKTOP");
    xvfb = new ts::Xvfb(1024, 768);
    // The window manager keeps the system's folders for its theme and settings.
    wm = new ts::Child({"openbox", "--sm-disable"},
                       {"HOME=" + tree->root, "XDG_DATA_DIRS=/usr/local/share:/usr/share", "XDG_CONFIG_DIRS=/etc/xdg",
                        "XDG_CONFIG_HOME=" + tree->root + "/wmconfig"});
  }
  static void TearDownTestSuite() {
    delete wm;
    delete xvfb;
    ts::removeTree(tree->root);
    delete tree;
  }
  void SetUp() override {
    ASSERT_TRUE(xvfb->ok());
    d = XOpenDisplay(nullptr);
    ASSERT_TRUE(d);
    // The window manager is ready once it takes on a window; one mapped
    // while it still starts up may be missed, so map it again now and then.
    if (!wmReady) {
      Window probe = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
      wmReady = ts::waitUntil([&] {
        XUnmapWindow(d, probe);
        XMapWindow(d, probe);
        XSync(d, False);
        return ts::waitUntil([&] { return managed(probe); }, 2s);
      });
      XDestroyWindow(d, probe);
      XSync(d, False);
    }
    ASSERT_TRUE(wmReady) << "openbox did not start";
    setLogTap([this](const std::string& s) {
      std::lock_guard<std::mutex> l(m);
      logs.push_back(s);
    });
  }
  void TearDown() override {
    setLogTap(nullptr);
    for (auto w : made) XDestroyWindow(d, w);
    XCloseDisplay(d);
  }

  unsigned long prop(Window w, const char* name, Atom type) {
    Atom actual;
    int format;
    unsigned long n = 0, after = 0, v = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 1, False, type, &actual, &format, &n, &after,
                           &data) == Success &&
        data) {
      if (n == 1 && format == 32) v = *reinterpret_cast<unsigned long*>(data);
      XFree(data);
    }
    return v;
  }
  long wmState(Window w) { return long(prop(w, "WM_STATE", XInternAtom(d, "WM_STATE", False))); }
  Window active() { return prop(DefaultRootWindow(d), "_NET_ACTIVE_WINDOW", XA_WINDOW); }
  bool managed(Window w) {
    for (const auto& a : regularWindowsOf()) if (a == w) return true;
    return false;
  }
  std::vector<Window> regularWindowsOf() {
    std::vector<Window> out;
    Atom actual;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST", False), 0, 1024, False,
                           XA_WINDOW, &actual, &format, &n, &after, &data) == Success &&
        data) {
      auto* v = reinterpret_cast<Window*>(data);
      out.assign(v, v + n);
      XFree(data);
    }
    return out;
  }
  // A mapped window of the given class that the window manager has taken on.
  Window window(const char* cls) {
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
    XClassHint h{const_cast<char*>(cls), const_cast<char*>(cls)};
    XSetClassHint(d, w, &h);
    XMapWindow(d, w);
    XSync(d, False);
    made.push_back(w);
    EXPECT_TRUE(ts::waitUntil([&] { return managed(w); }));
    return w;
  }
  size_t logCount(const std::string& prefix) {
    std::lock_guard<std::mutex> l(m);
    size_t n = 0;
    for (auto& s : logs) n += s.rfind(prefix, 0) == 0;
    return n;
  }

  Display* d = nullptr;
  std::vector<Window> made;
  std::mutex m;
  std::vector<std::string> logs;
};

struct Sink {
  std::vector<json> msgs;
  std::shared_ptr<Requester> req = std::make_shared<Requester>();
  Sink() {
    req->key = 7;
    req->alive = [] { return true; };
    req->send = [this](const std::string& t) {
      msgs.push_back(json::parse(t));
      return true;
    };
  }
  std::vector<json> items() {
    std::vector<json> all;
    for (auto& m : msgs)
      for (auto& i : m["items"]) all.push_back(i);
    return all;
  }
};

std::string b64decode(const std::string& s) {
  gsize n = 0;
  guchar* raw = g_base64_decode(s.c_str(), &n);
  std::string out(reinterpret_cast<char*>(raw), n);
  g_free(raw);
  return out;
}

// The icon as pixels, after checking it is a 96×96 8-bit RGBA PNG.
GdkPixbuf* decodeIcon(const std::string& ic) {
  std::string png = b64decode(ic);
  EXPECT_GE(png.size(), 33u);
  if (png.size() < 33) return nullptr;
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_EQ(uint8_t(png[24]), 8);  // bit depth
  EXPECT_EQ(uint8_t(png[25]), 6);  // colour type: RGB with alpha
  GdkPixbufLoader* l = gdk_pixbuf_loader_new();
  gdk_pixbuf_loader_write(l, reinterpret_cast<const guchar*>(png.data()), png.size(), nullptr);
  gdk_pixbuf_loader_close(l, nullptr);
  GdkPixbuf* p = gdk_pixbuf_loader_get_pixbuf(l);
  if (p) g_object_ref(p);
  g_object_unref(l);
  EXPECT_TRUE(p);
  if (p) {
    EXPECT_EQ(gdk_pixbuf_get_width(p), 96);
    EXPECT_EQ(gdk_pixbuf_get_height(p), 96);
    EXPECT_EQ(gdk_pixbuf_get_n_channels(p), 4);
  }
  return p;
}

std::vector<uint8_t> pixel(GdkPixbuf* p, int x, int y) {
  const guchar* px = gdk_pixbuf_get_pixels(p) + y * gdk_pixbuf_get_rowstride(p) + x * 4;
  return {px[0], px[1], px[2], px[3]};
}

const json* byName(const std::vector<json>& items, const std::string& n) {
  for (auto& i : items)
    if (i["n"] == n) return &i;
  return nullptr;
}

}  // namespace

TEST_F(Apps, ListComesInBatchesSortedWithRunningFirstAndIcons) {
  Window running = window("RunnerTest");
  Window again = window("RunnerTest");  // a second window: still one entry
  (void)again;
  auto apps = AppLauncher::create();
  Sink sink;
  apps->sendList(sink.req);
  ASSERT_EQ(sink.msgs.size(), 3u);
  EXPECT_EQ(sink.msgs[0]["items"].size(), 12u);
  EXPECT_EQ(sink.msgs[1]["items"].size(), 12u);
  EXPECT_EQ(sink.msgs[2]["items"].size(), 1u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sink.msgs[i]["t"], "appl");
    EXPECT_EQ(sink.msgs[i]["first"], i == 0);
    EXPECT_EQ(sink.msgs[i]["done"], i == 2);
  }
  auto items = sink.items();
  std::vector<std::string> names;
  for (auto& i : items) names.push_back(i["n"]);

  // Running first, once, marked.
  EXPECT_EQ(names[0], "Runner");
  EXPECT_EQ(items[0]["r"], true);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Runner"), 1);
  for (size_t i = 1; i < items.size(); ++i) EXPECT_EQ(items[i]["r"], false) << names[i];
  auto pos = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
  EXPECT_LT(pos("App2"), pos("App10"));
  EXPECT_LT(pos("b"), pos("C"));
  EXPECT_LT(pos("Filler 2"), pos("Filler 10"));
  // Left out, and one entry per id, the earlier folder winning.
  for (auto n : {"Hidden By NoDisplay", "Hidden By Hidden", "Only Elsewhere", "Dup System", "Dup Later", "X"})
    EXPECT_EQ(pos(n), long(names.size())) << n;
  EXPECT_LT(pos("Dup Home"), long(names.size()));
  EXPECT_EQ((*byName(items, "Dup Home"))["p"], tree->app(tree->home, "dup.desktop"));
  // Only a trailing ".app" goes.
  EXPECT_LT(pos("Foo"), long(names.size()));
  EXPECT_LT(pos("My.apple"), long(names.size()));

  struct Want {
    const char* name;
    Rgb c;
  };
  for (auto w : {Want{"App2", kRed}, Want{"App10", kGreen}, Want{"b", kBlue}}) {
    GdkPixbuf* p = decodeIcon((*byName(items, w.name))["ic"]);
    ASSERT_TRUE(p) << w.name;
    // A 48 px theme icon is drawn at 96: the colour reaches the corners.
    for (auto [x, y] : {std::pair{48, 48}, std::pair{3, 3}, std::pair{92, 92}})
      EXPECT_EQ(pixel(p, x, y), (std::vector<uint8_t>{w.c.r, w.c.g, w.c.b, 255})) << w.name << " at " << x;
    g_object_unref(p);
  }
  // No icon, or one that cannot be found: the same generic one.
  std::string generic = (*byName(items, "C"))["ic"];
  EXPECT_EQ((*byName(items, "No Icon"))["ic"], generic);
  GdkPixbuf* g = decodeIcon(generic);
  ASSERT_TRUE(g);
  EXPECT_EQ(pixel(g, 0, 0)[3], 0);     // transparent around it
  EXPECT_EQ(pixel(g, 48, 60)[3], 255);  // something drawn in the middle
  g_object_unref(g);
  (void)running;

  // The second list draws nothing again.
  int drawn = apps->iconsRendered();
  EXPECT_EQ(drawn, 25);
  Sink second;
  apps->sendList(second.req);
  EXPECT_EQ(apps->iconsRendered(), drawn);
  EXPECT_EQ(second.items(), items);
}

TEST_F(Apps, ListWaitsWhileTheConnectionIsBusyAndStopsWhenItIsGone) {
  auto apps = AppLauncher::create();
  Sink sink;
  int polls = 0;
  sink.req->buffered = [&] { return ++polls < 5 ? int64_t{2'000'000} : int64_t{0}; };
  apps->sendList(sink.req);
  EXPECT_EQ(sink.msgs.size(), 3u);
  EXPECT_GE(polls, 5);

  Sink gone;
  int tries = 0;
  gone.req->send = [&](const std::string&) { return ++tries, false; };
  apps->sendList(gone.req);
  EXPECT_EQ(tries, 1);
}

TEST_F(Apps, OpenRunsOnlyEntriesOfTheList) {
  auto apps = AppLauncher::create();
  apps->open(tree->app(tree->sys1, "marker.desktop"), false);
  EXPECT_TRUE(ts::waitUntil([&] { return std::filesystem::exists(tree->marks + "/marker"); }));

  apps->open(tree->root + "/Downloads/Tolvane/x.desktop", false);            // an upload
  apps->open(tree->root + "/elsewhere/marker.desktop", false);               // outside, missing
  apps->open(tree->app(tree->sys1, "nodisplay.desktop"), false);             // not listed
  apps->open(tree->app(tree->sys1, "marker.desktop") + ".bak", false);       // not a .desktop path
  apps->open(tree->app(tree->sys1, "gone.desktop"), false);                  // missing file
  apps->open(tree->app(tree->sys1, "../applications/marker.desktopx"), false);
  apps->open("", false);
  apps->open(tree->app(tree->sys1, "broken.desktop"), false);
  EXPECT_EQ(logCount("[apps] 起動失敗 "), 1u);
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(std::filesystem::exists(tree->marks + "/upload"));
  EXPECT_EQ(ts::readFile(tree->marks + "/marker"), "ran\n");
}

TEST_F(Apps, OpenActivatesARunningApplicationInsteadOfStartingIt) {
  Window runner = window("RunnerTest");
  Window other = window("OtherTest");
  ASSERT_TRUE(ts::waitUntil([&] { return active() == other; }));
  auto apps = AppLauncher::create();
  apps->open(tree->app(tree->sys1, "runner.desktop"), false);
  EXPECT_TRUE(ts::waitUntil([&] { return active() == runner; }));
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(std::filesystem::exists(tree->marks + "/runner"));
}

TEST_F(Apps, SoloIconifiesTheOthersButTheFileManager) {
  Window a = window("OtherA");
  Window b = window("RunnerTest");
  Window fm = window("TestFM");
  auto apps = AppLauncher::create();
  apps->open(tree->app(tree->sys1, "solo.desktop"), true);
  const long kIconic = 3, kNormal = 1;
  ASSERT_TRUE(ts::waitUntil([&] { return wmState(a) == kIconic && wmState(b) == kIconic; }))
      << wmState(a) << " " << wmState(b);
  EXPECT_EQ(wmState(fm), kNormal);
  // The launched window stays and ends up in front.
  Window solo = 0;
  ASSERT_TRUE(ts::waitUntil([&] {
    Window act = active();
    XClassHint h{};
    if (!act || !XGetClassHint(d, act, &h)) return false;
    bool yes = h.res_class && std::string(h.res_class) == "SoloApp";
    if (h.res_name) XFree(h.res_name);
    if (h.res_class) XFree(h.res_class);
    if (yes) solo = act;
    return yes;
  }));
  EXPECT_EQ(wmState(solo), kNormal);
  // The terminal goes with the window (its shell ends on SIGHUP).
  XKillClient(d, solo);
  XSync(d, False);
}

TEST_F(Apps, HostAnswersTheAskingConnectionAndOpensOnlyListedEntries) {
  int port = ts::freePort();
  std::string data = ts::makeTempDir("tolvane-data");
  ts::Child host({TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--no-signal", "--port", std::to_string(port),
                  "--token", "testtoken", "--data-dir", data},
                 {"HOME=" + tree->root, "XDG_DATA_HOME=" + tree->home,
                  "XDG_DATA_DIRS=" + tree->sys1 + ":" + tree->sys2, "XDG_CONFIG_HOME=" + tree->root + "/config",
                  "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"});
  ASSERT_TRUE(host.waitFor("データ置き場: ", 90s));
  ts::LanPhone a(port), b(port);
  ASSERT_TRUE(a.ok() && b.ok());
  a.send({{"t", "apps"}});
  std::vector<json> batches;
  while (batches.empty() || batches.back()["done"] != true) {
    auto m = a.next("appl");
    ASSERT_TRUE(m) << host.output();
    batches.push_back(*m);
  }
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0]["first"], true);
  EXPECT_EQ(batches[2]["items"].size(), 1u);
  for (auto& m : b.settle()) EXPECT_NE(m["t"], "appl");

  auto runs = [&] { return ts::readFile(tree->marks + "/marker").size(); };
  size_t before = runs();
  a.send({{"t", "open"}, {"p", tree->root + "/Downloads/Tolvane/x.desktop"}});
  a.send({{"t", "open"}, {"p", tree->app(tree->sys1, "marker.desktop")}, {"solo", "yes"}});
  EXPECT_TRUE(ts::waitUntil([&] { return runs() > before; }));
  a.settle();
  EXPECT_FALSE(std::filesystem::exists(tree->marks + "/upload"));
  host.stop();
  ts::removeTree(data);
}

TEST(AppsEmpty, NoEntriesGiveOneEmptyMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A fresh process: GIO keeps the folders it read first.
  EXPECT_EXIT(
      {
        std::string root = ts::makeTempDir("noapps");
        setenv("XDG_DATA_HOME", (root + "/home").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root + "/none").c_str(), 1);
        unsetenv("DISPLAY");
        auto apps = AppLauncher::create();
        std::vector<std::string> sent;
        auto req = std::make_shared<Requester>();
        req->send = [&](const std::string& t) {
          sent.push_back(t);
          return true;
        };
        apps->sendList(req);
        bool ok = sent == std::vector<std::string>{R"({"done":true,"first":true,"items":[],"t":"appl"})"};
        ts::removeTree(root);
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(AppNames, OnlyATrailingAppGoes) {
  EXPECT_EQ(withoutAppSuffix("Foo.app"), "Foo");
  EXPECT_EQ(withoutAppSuffix("My.apple"), "My.apple");
  EXPECT_EQ(withoutAppSuffix("a.app.app"), "a.app");
  EXPECT_EQ(withoutAppSuffix(".app"), ".app");
  AppEntry e;
  e.id = "org.example.Thing.desktop";
  EXPECT_TRUE(classMatches(e, "x", "org.example.thing"));
  EXPECT_FALSE(classMatches(e, "thing", "Thing"));
  e.wmClass = "ThingWin";
  EXPECT_TRUE(classMatches(e, "thingwin", "Other"));
  EXPECT_FALSE(classMatches(e, "x", "org.example.thing"));
}
