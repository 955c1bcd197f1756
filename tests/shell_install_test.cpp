// The installed layout: "cmake --install" of this build into a temporary
// prefix, the desktop entry valid, and the copies there finding their page
// and help under share/, while the build tree's binary stays a build.
#include "shell_session.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
const std::string buildDir = fs::path(TOLVANE_HOST_BIN).parent_path().string();

struct Installed : ::testing::Test {
  std::string prefix = ts::makeTempDir("tolvane-prefix");
  void TearDown() override { ts::removeTree(prefix); }
  void install() {
    int status = -1;
    std::string out = ts::run("cmake --install " + shell::quote(buildDir) + " --prefix " + shell::quote(prefix) + " 2>&1",
                              &status);
    ASSERT_EQ(status, 0) << out;
  }
};
}  // namespace

TEST_F(Installed, LayoutHoldsTheProgramPageCatalogueEntryIconsAndHelp) {
  ASSERT_NO_FATAL_FAILURE(install());
  for (const char* f : {"bin/tolvane-host", "bin/tolvane-signal", "share/tolvane-host/client/index.html",
                        "share/locale/ja/LC_MESSAGES/tolvane-host.mo", "share/applications/tolvane-host.desktop",
                        "share/icons/hicolor/scalable/apps/tolvane-host.svg",
                        "share/icons/hicolor/scalable/apps/tolvane-host-dimmed.svg",
                        "share/tolvane-host/help/permissions.html"})
    EXPECT_TRUE(fs::is_regular_file(prefix + "/" + f)) << f;
  int status = -1;
  std::string out = ts::run("desktop-file-validate " + shell::quote(prefix + "/share/applications/tolvane-host.desktop") +
                                " 2>&1",
                            &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "");
  // The buttons' anchors are in the page.
  std::string help = ts::readFile(prefix + "/share/tolvane-host/help/permissions.html");
  EXPECT_NE(help.find("id=\"screen\""), std::string::npos);
  EXPECT_NE(help.find("id=\"accessibility\""), std::string::npos);
}

TEST_F(Installed, TheInstalledCopyServesThePageFromShare) {
  ASSERT_NO_FATAL_FAILURE(install());
  // Run from a folder without client/: only share/ can provide the page.
  shell::HostInSession host(prefix + "/bin/tolvane-host", {"--test-pattern"},
                            {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1", "DISPLAY="});
  ASSERT_TRUE(host.proc->waitFor("データ置き場: ", 90s)) << host.proc->output();
  std::string page = ts::run("curl -s --max-time 30 'http://127.0.0.1:" + std::to_string(host.port) + "/?t=testtoken'");
  EXPECT_NE(page.find("<html"), std::string::npos) << page.substr(0, 200);
}

// A build is no installed application: it registers no login item, even
// on its first start.
TEST(BuildTree, RegistersNoLoginItem) {
  shell::HostInSession host(TOLVANE_HOST_BIN, {},
                            {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1", "DISPLAY="});
  ASSERT_TRUE(host.proc->waitFor("データ置き場: ", 90s)) << host.proc->output();
  EXPECT_FALSE(fs::exists(host.autostart()));
  EXPECT_FALSE(fs::exists(host.configDir + "/tolvane-host"));
  EXPECT_EQ(host.proc->output().find("[login]"), std::string::npos);
}

// The installed application itself (the Debian package puts it at
// /usr/bin/tolvane-host; TOLVANE_INSTALLED_BIN names another): its first
// start registers the login item once, and what the user turned off stays off.
namespace {
std::string installedBin() {
  const char* env = std::getenv("TOLVANE_INSTALLED_BIN");
  return env && *env ? env : "/usr/bin/tolvane-host";
}

struct InstalledApp : ::testing::Test {
  std::string dataHome = ts::makeTempDir("tolvane-xdg-data");
  void SetUp() override {
    if (access(installedBin().c_str(), X_OK) != 0) GTEST_SKIP() << "no installed host at " << installedBin();
  }
  void TearDown() override { ts::removeTree(dataHome); }
};
}  // namespace

TEST_F(InstalledApp, FirstStartRegistersOnceAndOffStaysOff) {
  std::string config = ts::makeTempDir("tolvane-config");
  std::string entry = config + "/autostart/tolvane-host.desktop";
  // No "--data-dir": the installed application keeps its data under XDG.
  std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1", "DISPLAY=",
                                  "XDG_DATA_HOME=" + dataHome, "XDG_CONFIG_HOME=" + config, "KESTRAVA_DATA="};
  {
    ts::Child first({installedBin(), "--port", std::to_string(ts::freePort()), "--no-tls", "--no-signal"}, env);
    ASSERT_TRUE(first.waitFor("データ置き場: ", 90s)) << first.output();
    EXPECT_NE(first.output().find("データ置き場: " + dataHome + "/Tolvane Host"), std::string::npos) << first.output();
    EXPECT_TRUE(fs::exists(entry));
    EXPECT_NE(ts::readFile(entry).find("Exec=\"" + installedBin() + "\""), std::string::npos);
    EXPECT_NE(ts::readFile(config + "/tolvane-host/defaults.ini").find("didFirstLoginItemRegistration=true"),
              std::string::npos);
  }
  // Turned off by the user: a later start leaves it off.
  fs::remove(entry);
  ts::Child again({installedBin(), "--port", std::to_string(ts::freePort()), "--no-tls", "--no-signal"}, env);
  ASSERT_TRUE(again.waitFor("データ置き場: ", 90s)) << again.output();
  EXPECT_FALSE(fs::exists(entry));
  ts::removeTree(config);
}

TEST_F(InstalledApp, NoLoginItemAndTestPatternWriteNothing) {
  for (const char* flag : {"--no-login-item", "--test-pattern"}) {
    shell::HostInSession h(installedBin(), {"--no-tls", flag},
                           {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1", "DISPLAY=",
                            "XDG_DATA_HOME=" + dataHome});
    ASSERT_TRUE(h.proc->waitFor("データ置き場: ", 90s)) << h.proc->output();
    EXPECT_FALSE(fs::exists(h.autostart())) << flag;
    EXPECT_FALSE(fs::exists(h.configDir + "/tolvane-host/defaults.ini")) << flag;
  }
}

TEST_F(InstalledApp, UnwritableAutostartIsLoggedAndTriedAgain) {
  std::string config = ts::makeTempDir("tolvane-config");
  ts::writeFile(config + "/autostart", "in the way");
  std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1", "DISPLAY=",
                                  "XDG_DATA_HOME=" + dataHome, "XDG_CONFIG_HOME=" + config};
  {
    ts::Child h({installedBin(), "--port", std::to_string(ts::freePort()), "--no-tls", "--no-signal"}, env);
    ASSERT_TRUE(h.waitFor("データ置き場: ", 90s)) << h.output();
    EXPECT_NE(h.output().find("[login] register failed: "), std::string::npos) << h.output();
    EXPECT_EQ(ts::readFile(config + "/tolvane-host/defaults.ini").find("=true"), std::string::npos);
  }
  fs::remove(config + "/autostart");
  ts::Child h({installedBin(), "--port", std::to_string(ts::freePort()), "--no-tls", "--no-signal"}, env);
  ASSERT_TRUE(h.waitFor("データ置き場: ", 90s)) << h.output();
  EXPECT_TRUE(fs::exists(config + "/autostart/tolvane-host.desktop"));
  ts::removeTree(config);
}
