// The setup window as a user and assistive tools see it: "--show-setup" on a
// private X server with a window manager, read through AT-SPI on a private
// session bus, and its restart button pressed with the pointer.
#include "shell_session.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Setup : ::testing::Test {
  ts::Xvfb x{1280, 800};
  shell::PrivateBus bus;
  std::unique_ptr<ts::Child> wm;
  std::unique_ptr<shell::HostInSession> host;

  void start(const std::string& exe, std::vector<std::string> extra = {}) {
    ASSERT_TRUE(x.ok());
    // The host's accessibility bridge is what this test reads.
    unsetenv("NO_AT_BRIDGE");
    wm = std::make_unique<ts::Child>(std::vector<std::string>{"openbox", "--sm-disable"},
                                     std::vector<std::string>{bus.env()});
    extra.insert(extra.begin(), {"--show-setup", "--test-pattern"});
    host = std::make_unique<shell::HostInSession>(exe, extra, std::vector<std::string>{bus.env()});
    ASSERT_TRUE(host->proc->waitFor("データ置き場: ", 90s)) << host->proc->output();
  }

  json window() {
    int status = -1;
    std::string out = ts::run("env " + bus.env() + " /usr/bin/python3 " TOLVANE_SOURCE_DIR
                              "/tests/tools/atspi_window.py tolvane-host 60 2>&1",
                              &status);
    json j = json::parse(out, nullptr, false);
    EXPECT_EQ(status, 0) << out;
    return j.is_discarded() ? json::object() : j;
  }

  static const json* find(const json& w, const std::string& role, const std::string& name) {
    if (!w.contains("widgets")) return nullptr;
    for (const auto& e : w["widgets"])
      if (e["role"] == role && e["name"] == name) return &e;
    return nullptr;
  }
};

// Every text of the window is there, and the buttons say what is left to do.
void expectTexts(const json& w) {
  for (const char* t : {"Welcome to Tolvane Host",
                        "Two quick permissions let your iPhone see and control this Mac. Follow the steps in order.",
                        "Allow Screen Recording", "Allow Accessibility"}) {
    EXPECT_TRUE(Setup::find(w, "label", t)) << t;
  }
  EXPECT_TRUE(Setup::find(w, "check box", "Open Tolvane Host automatically when I log in"));
}

}  // namespace

TEST_F(Setup, AllowedShowsBothGrantedAndOnlyRestartToDo) {
  ASSERT_NO_FATAL_FAILURE(start(TOLVANE_HOST_BIN));
  json w = window();
  ASSERT_TRUE(w.contains("widgets")) << w.dump();
  EXPECT_EQ(w["title"], "Tolvane Host Setup");
  expectTexts(w);
  int allowed = 0;
  for (const auto& e : w.value("widgets", json::array())) allowed += e["role"] == "label" && e["name"] == "✓ Allowed";
  EXPECT_EQ(allowed, 2);
  auto* screen = find(w, "push button", "Open Screen Recording Settings");
  auto* ax = find(w, "push button", "Open Accessibility Settings");
  auto* restart = find(w, "push button", "Restart Tolvane Host");
  ASSERT_TRUE(screen && ax && restart) << w.dump(1);
  EXPECT_FALSE((*screen)["enabled"].get<bool>());
  EXPECT_FALSE((*ax)["enabled"].get<bool>());
  EXPECT_TRUE((*restart)["enabled"].get<bool>());
  EXPECT_FALSE((*find(w, "check box", "Open Tolvane Host automatically when I log in"))["checked"].get<bool>());
  EXPECT_TRUE(find(w, "label", "All set. Press “Restart Tolvane Host” once, then connect from your iPhone."));
}

TEST_F(Setup, WithoutScreenAccessTheScreenStepIsOpenAndRestartWaits) {
  ASSERT_NO_FATAL_FAILURE(start(TOLVANE_HOST_BIN, {"--simulate-no-screen"}));
  json w = window();
  ASSERT_TRUE(w.contains("widgets")) << w.dump();
  expectTexts(w);
  EXPECT_TRUE(find(w, "label", "● Not allowed yet"));
  EXPECT_TRUE(find(w, "label", "✓ Allowed")) << "input injection is still there";
  EXPECT_TRUE((*find(w, "push button", "Open Screen Recording Settings"))["enabled"].get<bool>());
  EXPECT_FALSE((*find(w, "push button", "Open Accessibility Settings"))["enabled"].get<bool>());
  EXPECT_FALSE((*find(w, "push button", "Restart Tolvane Host"))["enabled"].get<bool>());
  EXPECT_TRUE(find(w, "label", "Tip: if Tolvane Host is not in the list, press the button in the step again."));
}

namespace {
// Presses Restart where AT-SPI says it is; the old host must exit 0 and a new
// one, with the same arguments, serve the same port after it.
void pressRestartAndExpectANewHost(Setup& t) {
  json w = t.window();
  auto* restart = Setup::find(w, "push button", "Restart Tolvane Host");
  ASSERT_TRUE(restart) << w.dump(1);
  auto r = (*restart)["rect"];
  int cx = r[0].get<int>() + r[2].get<int>() / 2, cy = r[1].get<int>() + r[3].get<int>() / 2;
  ts::run("xdotool mousemove " + std::to_string(cx) + " " + std::to_string(cy) + " click 1");
  auto status = t.host->proc->exited(60s);
  ASSERT_TRUE(status) << t.host->proc->output();
  EXPECT_EQ(*status, 0);
  // The new host writes to the same output.
  ASSERT_TRUE(ts::waitUntil([&] { return t.host->proc->count("データ置き場: ") >= 2; }, 90s))
      << t.host->proc->output();
  std::string pids;
  ASSERT_TRUE(ts::waitUntil([&] {
    pids = ts::run("fuser -n tcp " + std::to_string(t.host->port) + " 2>/dev/null");
    return !pids.empty();
  }, 60s));
  int pid = std::stoi(pids);
  EXPECT_NE(pid, t.host->proc->pid());
  std::string cmdline = ts::readFile("/proc/" + std::to_string(pid) + "/cmdline");
  EXPECT_NE(cmdline.find(std::string("--port") + '\0' + std::to_string(t.host->port)), std::string::npos);
  EXPECT_NE(cmdline.find("--show-setup"), std::string::npos);
  std::string code = ts::run("curl -s -o /dev/null -w '%{http_code}' --max-time 30 http://127.0.0.1:" +
                             std::to_string(t.host->port) + "/");
  EXPECT_EQ(code, "403");
  kill(pid, SIGTERM);
  if (!ts::waitUntil([&] { return !fs::exists("/proc/" + std::to_string(pid)); }, 30s)) kill(pid, SIGKILL);
}
}  // namespace

TEST_F(Setup, RestartStartsTheSameHostAgainAfterTheOldOneExited) {
  ASSERT_NO_FATAL_FAILURE(start(TOLVANE_HOST_BIN));
  pressRestartAndExpectANewHost(*this);
}

TEST_F(Setup, RestartFromAFolderNoShellCouldQuote) {
  std::string base = ts::makeTempDir("tolvane-odd");
  std::string dir = base + "/we ird \"q\" $HOME `false` 'x'";
  fs::create_directories(dir);
  std::string exe = dir + "/tolvane-host";
  fs::copy_file(TOLVANE_HOST_BIN, exe);
  chmod(exe.c_str(), 0755);
  ASSERT_NO_FATAL_FAILURE(start(exe));
  pressRestartAndExpectANewHost(*this);
  ts::removeTree(base);
}
