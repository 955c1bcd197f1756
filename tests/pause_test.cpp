// The pause watch and the display-sleep hold in this process, with a stand-in
// for the internet transport's pause, a real X server for the idle time and
// the screen saver, and stub D-Bus services (tests/tools/dbus_stub.py) on
// private buses for logind's inhibitors and the session's ScreenSaver.
#include <gtest/gtest.h>
// After gtest: Xlib's None macro would clash with its names.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "app/Settings.h"
#include "extras/PauseOptions.h"
#include "extras/PauseWatch.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;

namespace {

const std::string kStub = std::string(TOLVANE_SOURCE_DIR) + "/tests/tools/dbus_stub.py";
const std::string kReason = "Tolvane: iPhoneから操作中";

void turnLoop() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

bool spinUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 30s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    turnLoop();
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  turnLoop();
  return cond();
}

void spinFor(std::chrono::milliseconds d) { spinUntil([] { return false; }, d); }

void setEnv(const char* name, const std::optional<std::string>& value) {
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

// A private dbus-daemon standing in for the system or the session bus.
struct PrivateBus {
  ts::Child daemon{{"dbus-daemon", "--session", "--nofork", "--print-address=1"}};
  std::string address;
  PrivateBus() {
    EXPECT_TRUE(ts::waitUntil([&] {
      std::string out = daemon.output();
      auto at = out.find("unix:");
      auto end = out.find('\n', at);
      if (at == std::string::npos || end == std::string::npos) return false;
      address = out.substr(at, end - at);
      return true;
    }));
  }
};

// The internet transport's pause, as the watch sees it. Main loop only.
struct Transport {
  bool paused = true;
  int lifted = 0;
  void attach(PauseWatch& w) {
    w.paused = [this] { return paused; };
    w.setPaused = [this](bool p) {
      paused = p;
      if (!p) ++lifted;
    };
  }
};

class PauseTest : public ::testing::Test {
protected:
  void SetUp() override {
    setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    setEnv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
    setLogTap([this](const std::string& line) {
      std::lock_guard<std::mutex> l(logLock);
      logged.push_back(line);
    });
  }
  void TearDown() override {
    watch.reset();
    turnLoop();
    setLogTap(nullptr);
    settings().args.clear();
    setEnv("DBUS_SYSTEM_BUS_ADDRESS", std::nullopt);
  }
  void startWatch(std::vector<std::string> args) {
    settings().args = std::move(args);
    watch = PauseWatch::create();
    transport.attach(*watch);
    watch->start();
    turnLoop();
  }
  std::vector<std::string> resumeLines() {
    std::lock_guard<std::mutex> l(logLock);
    std::vector<std::string> out;
    for (const auto& line : logged)
      if (line.rfind("[pause]", 0) == 0) out.push_back(line);
    return out;
  }

  std::mutex logLock;
  std::vector<std::string> logged;
  Transport transport;
  std::shared_ptr<PauseWatch> watch;
};

std::string saverState(Display* d) {
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  XScreenSaverQueryInfo(d, DefaultRootWindow(d), info);
  int state = info->state;
  XFree(info);
  return state == ScreenSaverOn ? "on" : state == ScreenSaverOff ? "off" : "disabled";
}

}  // namespace

TEST(PauseOptionsTest, OnlyFiniteNumbersAreTakenAndTheWatchPeriodHasAFloor) {
  auto read = [](std::vector<std::string> args) {
    Settings s;
    s.args = std::move(args);
    return readPauseOptions(s);
  };
  PauseOptions d = read({});
  EXPECT_EQ(d.idleResumeSec, 600);
  EXPECT_EQ(d.watchEvery, 30);
  EXPECT_FALSE(d.ignoreVideo);

  PauseOptions set = read({"--idle-resume-sec", "3", "--pause-watch-every", "1.5", "--test-ignore-video"});
  EXPECT_EQ(set.idleResumeSec, 3);
  EXPECT_EQ(set.watchEvery, 1.5);
  EXPECT_TRUE(set.ignoreVideo);

  for (const char* bad : {"abc", "nan", "NaN", "inf", "-inf", "infinity", "1e999", " 5", "\t5", "5 ", "", "5s"}) {
    SCOPED_TRACE(std::string("value '") + bad + "'");
    PauseOptions o = read({"--idle-resume-sec", bad, "--pause-watch-every", bad});
    EXPECT_EQ(o.idleResumeSec, 600);
    EXPECT_EQ(o.watchEvery, 30);
  }
  // A missing value (the option last) keeps the default too.
  EXPECT_EQ(read({"--pause-watch-every"}).watchEvery, 30);
  for (const char* tiny : {"0", "-3", "0.01", "-0"}) {
    SCOPED_TRACE(tiny);
    EXPECT_EQ(read({"--pause-watch-every", tiny}).watchEvery, 0.1);
  }
  EXPECT_EQ(read({"--idle-resume-sec", "-1"}).idleResumeSec, -1) << "a finite idle limit is taken as it is";
}

TEST_F(PauseTest, WithoutADisplayThePauseIsLiftedOnceNoInputCameForTheIdleTime) {
  setEnv("DISPLAY", std::nullopt);
  startWatch({"--idle-resume-sec", "2", "--pause-watch-every", "0.1"});
  // Input from another thread, as the input queue would note it.
  std::atomic<bool> typing{true};
  std::thread input([&] {
    while (typing) {
      watch->noteInput();
      std::this_thread::sleep_for(100ms);
    }
  });
  spinFor(3s);
  typing = false;
  input.join();
  EXPECT_TRUE(transport.paused) << "input kept coming";
  EXPECT_TRUE(resumeLines().empty());

  ASSERT_TRUE(spinUntil([&] { return !transport.paused; }));
  EXPECT_EQ(transport.lifted, 1);
  auto lines = resumeLines();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      lines[0], m, std::regex("\\[pause\\] Macが([0-9]+)秒操作されず動画も再生されていないため、一時停止を自動で解除")))
      << lines[0];
  EXPECT_GE(std::stoi(m[1]), 2);
}

TEST_F(PauseTest, NothingHappensWhenNotPausedOrWithoutAnInternetTransport) {
  setEnv("DISPLAY", std::nullopt);
  startWatch({"--idle-resume-sec", "0", "--pause-watch-every", "0.1"});
  transport.paused = false;
  spinFor(800ms);
  EXPECT_EQ(transport.lifted, 0);

  watch->paused = nullptr;
  watch->setPaused = nullptr;
  spinFor(500ms);
  EXPECT_TRUE(resumeLines().empty());
}

TEST_F(PauseTest, DesktopInputOnTheXServerKeepsThePause) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  startWatch({"--idle-resume-sec", "2", "--pause-watch-every", "0.1"});
  for (int i = 0; i < 12; ++i) {
    ts::run("xdotool mousemove " + std::to_string(100 + (i % 2) * 50) + " 100");
    spinFor(250ms);
  }
  EXPECT_TRUE(transport.paused) << "the mouse moved every quarter second";
  ASSERT_TRUE(spinUntil([&] { return !transport.paused; }));
  EXPECT_EQ(resumeLines().size(), 1u);
}

TEST_F(PauseTest, AnotherProcessesIdleInhibitorKeepsThePauseUnlessVideoIsIgnored) {
  setEnv("DISPLAY", std::nullopt);
  PrivateBus system;
  std::string dir = ts::makeTempDir("pause");
  std::string list = dir + "/inhibitors.json";
  // A player holding idle, as a video would; a sleep inhibitor and our own
  // idle inhibitor do not count.
  ts::writeFile(list, R"([["sleep","updater","busy","delay",0,1],["handle-lid-switch:idle","player","video","block",1000,1]])");
  ts::Child logind({"/usr/bin/python3", kStub, "--address", system.address, "--logind", list});
  ASSERT_TRUE(logind.waitFor("ready")) << logind.output();
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", system.address);

  startWatch({"--idle-resume-sec", "0.3", "--pause-watch-every", "0.1"});
  spinFor(1500ms);
  EXPECT_TRUE(transport.paused) << "a video is playing";

  ts::writeFile(list, R"([["sleep","updater","busy","delay",0,1],["idle","tolvane","awake","block",0,)" +
                          std::to_string(getpid()) + "]]");
  ASSERT_TRUE(spinUntil([&] { return !transport.paused; }));
  EXPECT_EQ(transport.lifted, 1);

  // The video plays again; with --test-ignore-video it does not matter.
  ts::writeFile(list, R"([["idle","player","video","block",1000,1]])");
  watch.reset();
  transport = Transport{};
  startWatch({"--idle-resume-sec", "0.3", "--pause-watch-every", "0.1", "--test-ignore-video"});
  EXPECT_TRUE(spinUntil([&] { return !transport.paused; }));
  ts::removeTree(dir);
}

TEST_F(PauseTest, WithoutLogindVideoCountsAsNotPlaying) {
  setEnv("DISPLAY", std::nullopt);
  PrivateBus system;  // a bus where nobody answers for logind
  setEnv("DBUS_SYSTEM_BUS_ADDRESS", system.address);
  startWatch({"--idle-resume-sec", "0.3", "--pause-watch-every", "0.1"});
  EXPECT_TRUE(spinUntil([&] { return !transport.paused; }));
}

TEST_F(PauseTest, TheScreenSaverStaysOffWhileHeldAndComesOnAfterRelease) {
  ts::Xvfb x;
  ASSERT_TRUE(x.ok());
  Display* d = XOpenDisplay(nullptr);
  ASSERT_NE(d, nullptr);
  // As `xset s 2`: blank after two idle seconds.
  XSetScreenSaver(d, 2, 0, DefaultBlanking, DefaultExposures);
  XSync(d, False);
  startWatch({});
  watch->holdAwake(true);
  watch->holdAwake(true);
  spinFor(3500ms);
  EXPECT_NE(saverState(d), "on");

  watch->holdAwake(false);
  EXPECT_TRUE(spinUntil([&] { return saverState(d) == "on"; })) << saverState(d);

  // Taken again after a release, and dropped with the host.
  ts::run("xdotool mousemove 10 10");
  watch->holdAwake(true);
  spinFor(3500ms);
  EXPECT_NE(saverState(d), "on");
  watch.reset();
  EXPECT_TRUE(spinUntil([&] { return saverState(d) == "on"; })) << saverState(d);
  XCloseDisplay(d);
}

TEST_F(PauseTest, TheSessionsScreenSaverIsInhibitedOnceAndReleasedOnce) {
  setEnv("DISPLAY", std::nullopt);
  PrivateBus session;
  ts::Child saver({"/usr/bin/python3", kStub, "--address", session.address, "--screensaver"});
  ASSERT_TRUE(saver.waitFor("ready")) << saver.output();
  setEnv("DBUS_SESSION_BUS_ADDRESS", session.address);
  startWatch({});

  watch->holdAwake(true);
  watch->holdAwake(true);  // a second client
  ASSERT_TRUE(spinUntil([&] { return saver.count("\nInhibit ") >= 1; }));
  spinFor(500ms);
  watch->holdAwake(false);
  watch->holdAwake(false);
  ASSERT_TRUE(spinUntil([&] { return saver.count("UnInhibit") >= 1; }));
  spinFor(500ms);
  EXPECT_EQ(saver.output(), "ready\nInhibit 7001 tolvane-host " + kReason + "\nUnInhibit 7001\n");

  // Held again, then released by a release that comes before the answer.
  watch->holdAwake(true);
  watch->holdAwake(false);
  ASSERT_TRUE(spinUntil([&] { return saver.count("UnInhibit 7002") == 1; })) << saver.output();
  EXPECT_EQ(saver.count("\nInhibit "), 2u);
}
