// "apps": time until the last batch of the list has been handed to the
// connection, for about 150 desktop entries with theme icons, cold (icons
// drawn) and warm (icons from the cache).
// Usage: apps_bench [entries, default 150]
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "extras/AppLauncher.h"
#include "support/TestSupport.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 150;
  std::string root = ts::makeTempDir("apps-bench");
  std::string apps = root + "/share/applications", icons = root + "/share/icons/hicolor/48x48/apps";
  std::filesystem::create_directories(apps);
  std::filesystem::create_directories(icons);
  // Image loading tells PNG by its MIME type, from the shared database.
  std::filesystem::create_directory_symlink("/usr/share/mime", root + "/share/mime");
  ts::writeFile(root + "/share/icons/hicolor/index.theme",
                "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Threshold\n");
  for (int i = 0; i < count; ++i) {
    std::string id = "bench" + std::to_string(i);
    GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 48, 48);
    gdk_pixbuf_fill(p, 0x10203000u + guint32(i) * 0x01020300u + 0xff);
    gdk_pixbuf_save(p, (icons + "/" + id + ".png").c_str(), "png", nullptr, nullptr);
    g_object_unref(p);
    ts::writeFile(apps + "/" + id + ".desktop", "[Desktop Entry]\nType=Application\nName=Bench App " +
                                                    std::to_string(i) + "\nExec=true\nIcon=" + id + "\n");
  }
  setenv("XDG_DATA_HOME", (root + "/share").c_str(), 1);
  setenv("XDG_DATA_DIRS", (root + "/none").c_str(), 1);
  unsetenv("DISPLAY");

  auto launcher = AppLauncher::create();
  auto req = std::make_shared<Requester>();
  size_t batches = 0, bytes = 0;
  req->alive = [] { return true; };
  req->send = [&](const std::string& t) {
    ++batches;
    bytes += t.size();
    return true;
  };
  for (const char* round : {"cold", "warm", "warm"}) {
    batches = bytes = 0;
    auto t0 = Clock::now();
    launcher->sendList(req);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::printf("apps %s: %d entries in %zu batches (%zu bytes) by %.1f ms\n", round, count, batches, bytes, ms);
  }
  ts::removeTree(root);
  return 0;
}
