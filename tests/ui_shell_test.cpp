// The login item as an XDG autostart entry, the user-default flag beside it,
// and the restart helper that waits for the old process to end.
#include "app/Log.h"
#include "support/TestSupport.h"
#include "ui/LoginItem.h"
#include "ui/Perm.h"
#include "ui/Restart.h"
#include "ui/UserDefaults.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

// The arguments a desktop would run for an entry's Exec key: key-file
// unescaping, "%%" to "%", then shell-style word splitting.
std::vector<std::string> execArgv(const std::string& entry) {
  GKeyFile* kf = g_key_file_new();
  std::vector<std::string> out;
  if (g_key_file_load_from_data(kf, entry.c_str(), entry.size(), G_KEY_FILE_NONE, nullptr)) {
    gchar* exec = g_key_file_get_string(kf, "Desktop Entry", "Exec", nullptr);
    std::string line;
    for (const char* p = exec; p && *p; ++p) {
      line += *p;
      if (p[0] == '%' && p[1] == '%') ++p;
    }
    gchar** argv = nullptr;
    if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr))
      for (gchar** a = argv; *a; ++a) out.push_back(*a);
    g_strfreev(argv);
    g_free(exec);
  }
  g_key_file_free(kf);
  return out;
}

struct ConfigHome : ::testing::Test {
  std::string dir = ts::makeTempDir("tolvane-config");
  std::vector<std::string> logged;
  std::mutex lock;
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setLogTap([this](const std::string& l) {
      std::lock_guard<std::mutex> g(lock);
      logged.push_back(l);
    });
  }
  void TearDown() override {
    setLogTap(nullptr);
    ts::removeTree(dir);
  }
};

}  // namespace

TEST(LoginEntry, ExecRunsExactlyThePathWhateverItHolds) {
  for (std::string path : {"/usr/bin/tolvane-host", "/opt/Tolvane Host/bin/tolvane-host",
                           "/tmp/a \"quoted\" $HOME `id` 100%/x", "/tmp/back\\slash/and'single/x",
                           "/tmp/日本語 フォルダ/tolvane-host", "/tmp/%f %u/x"}) {
    auto entry = LoginItem::entryText(path);
    ASSERT_TRUE(entry) << path;
    EXPECT_EQ(execArgv(*entry), std::vector<std::string>{path}) << *entry;
  }
}

TEST(LoginEntry, RefusesPathsAnEntryCannotCarry) {
  EXPECT_FALSE(LoginItem::entryText(""));
  EXPECT_FALSE(LoginItem::entryText("relative/tolvane-host"));
  EXPECT_FALSE(LoginItem::entryText("/tmp/line\nbreak/x"));
  EXPECT_FALSE(LoginItem::entryText("/tmp/bad\xff utf8/x"));
}

TEST_F(ConfigHome, OnWritesTheEntryOffRemovesItHiddenCountsAsOff) {
  std::string path = dir + "/autostart/tolvane-host.desktop";
  EXPECT_EQ(LoginItem::entryPath(), path);
  EXPECT_FALSE(LoginItem::enabled());
  ASSERT_TRUE(LoginItem::set(true));
  EXPECT_TRUE(LoginItem::enabled());
  auto argv = execArgv(ts::readFile(path));
  ASSERT_EQ(argv.size(), 1u);
  EXPECT_EQ(argv[0], fs::read_symlink("/proc/self/exe").string());

  ts::writeFile(path, ts::readFile(path) + "Hidden=true\n");
  EXPECT_FALSE(LoginItem::enabled());

  ASSERT_TRUE(LoginItem::set(false));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(LoginItem::set(false)) << "turning off what is off is no failure";
}

TEST_F(ConfigHome, FirstLaunchRegistersOnceAndLeavesAUsersOffAlone) {
  LoginItem::registerOnFirstLaunch();
  EXPECT_TRUE(LoginItem::enabled());
  EXPECT_TRUE(UserDefaults::getBool("didFirstLoginItemRegistration"));
  EXPECT_NE(ts::readFile(dir + "/tolvane-host/defaults.ini").find("didFirstLoginItemRegistration=true"),
            std::string::npos);

  LoginItem::set(false);
  LoginItem::registerOnFirstLaunch();
  EXPECT_FALSE(LoginItem::enabled());
}

TEST_F(ConfigHome, AFailedRegistrationIsLoggedAndTriedAgainNextTime) {
  // A file where the folder should be fails for root too, unlike a mode.
  ts::writeFile(dir + "/autostart", "in the way");
  LoginItem::registerOnFirstLaunch();
  EXPECT_FALSE(LoginItem::enabled());
  EXPECT_FALSE(UserDefaults::getBool("didFirstLoginItemRegistration"));
  {
    std::lock_guard<std::mutex> g(lock);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("[login] register failed: ", 0), 0u) << logged[0];
  }

  fs::remove(dir + "/autostart");
  LoginItem::registerOnFirstLaunch();
  EXPECT_TRUE(LoginItem::enabled());
  EXPECT_TRUE(UserDefaults::getBool("didFirstLoginItemRegistration"));
}

TEST_F(ConfigHome, UnreadableOrForeignDefaultsCountAsNotSet) {
  EXPECT_FALSE(UserDefaults::getBool("didFirstLoginItemRegistration"));
  fs::create_directories(dir + "/tolvane-host");
  ts::writeFile(dir + "/tolvane-host/defaults.ini", "\x01garbage [[[\n");
  EXPECT_FALSE(UserDefaults::getBool("didFirstLoginItemRegistration"));
  ts::writeFile(dir + "/tolvane-host/defaults.ini", "[Defaults]\nother=5\ndidFirstLoginItemRegistration=maybe\n");
  EXPECT_FALSE(UserDefaults::getBool("didFirstLoginItemRegistration"));
  ASSERT_TRUE(UserDefaults::setBool("didFirstLoginItemRegistration", true));
  EXPECT_TRUE(UserDefaults::getBool("didFirstLoginItemRegistration"));
  EXPECT_NE(ts::readFile(dir + "/tolvane-host/defaults.ini").find("other=5"), std::string::npos);
}

// The helper starts the program only after the process that asked has ended,
// with the same arguments, from a folder no shell could be trusted with.
TEST(Restart, StartsTheProgramOnceTheOldProcessHasGone) {
  std::string base = ts::makeTempDir("tolvane-restart");
  std::string odd = base + "/we ird \"q\" $HOME `false` 'x'";
  fs::create_directories(odd);
  std::string prog = odd + "/prog";
  std::string marker = base + "/ran";
  ts::writeFile(prog, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$MARKER.tmp\" && mv \"$MARKER.tmp\" \"$MARKER\"\n");
  chmod(prog.c_str(), 0755);
  setenv("MARKER", marker.c_str(), 1);

  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  pid_t old = fork();
  ASSERT_GE(old, 0);
  if (old == 0) {
    close(gate[1]);
    bool ok = spawnAfterExit(prog, {prog, "--port", "1 2", "$x"});
    char b;
    (void)!read(gate[0], &b, 1);  // stays alive until the test lets it go
    _exit(ok ? 0 : 3);
  }
  close(gate[0]);
  // While the old process lives, nothing starts.
  usleep(300 * 1000);
  EXPECT_FALSE(fs::exists(marker));
  close(gate[1]);
  int status = 0;
  ASSERT_EQ(waitpid(old, &status, 0), old);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(ts::waitUntil([&] { return fs::exists(marker); }, std::chrono::seconds(30)));
  EXPECT_EQ(ts::readFile(marker), prog + "\n--port\n1 2\n$x\n");
  ts::removeTree(base);
}

TEST(Perm, InvalidLinksOpenNothing) {
  for (const char* link : {"", "not a link", "file:///tmp/a b", "http://[::1", "\x01:x"})
    EXPECT_FALSE(Perm::open(link)) << link;
}
