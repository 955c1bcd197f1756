// A paused internet link lifted by the desktop's idleness, in the whole host:
// our rendezvous server, the host on the test pattern without a display (idle
// time counts from its start) and a scripted phone, all inside this suite's
// private network namespace; logind is a stub on a private bus.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

const std::string kResumed = "秒操作されず動画も再生されていないため、一時停止を自動で解除";

class PauseHostTest : public ::testing::Test {
protected:
  void SetUp() override {
    sigPort = ts::freePort();
    signal = std::make_unique<ts::Child>(std::vector<std::string>{
        TOLVANE_SIGNAL_BIN, "--port", std::to_string(sigPort), "--bind", "127.0.0.1", "--stun",
        "stun:127.0.0.1:3478"});
    dir = ts::makeTempDir("rtc-pause");
  }
  void TearDown() override {
    host.reset();
    signal.reset();
    ts::removeTree(dir);
  }
  void startHost(std::vector<std::string> extra, const std::string& systemBus = "unix:path=/nonexistent") {
    host.reset();
    std::vector<std::string> argv = {TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--port",
                                     std::to_string(ts::freePort()), "--data-dir", dir, "--signal",
                                     "ws://127.0.0.1:" + std::to_string(sigPort), "--stun", "stun:127.0.0.1:3478",
                                     "--test-pause-after", "1", "--pause-watch-every", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    host = std::make_unique<ts::Child>(
        argv, std::vector<std::string>{"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                       "DBUS_SYSTEM_BUS_ADDRESS=" + systemBus, "NO_AT_BRIDGE=1"});
    ASSERT_TRUE(host->waitFor("[rtc] 一時停止 オン")) << host->output();
  }

  int sigPort = 0;
  std::string dir;
  std::unique_ptr<ts::Child> signal, host;
};

TEST_F(PauseHostTest, AnIdleDesktopLiftsThePauseAndPhonesAreTakenAgain) {
  startHost({"--idle-resume-sec", "3"});
  ASSERT_TRUE(host->waitFor("[rtc] 一時停止 オフ")) << host->output();
  std::string out = host->output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("\\[pause\\] Macが([0-9]+)" + kResumed + "\n"))) << out;
  EXPECT_GE(std::stoi(m[1]), 3);
  auto on = out.find("[rtc] 一時停止 オン"), line = out.find("[pause] Macが"), off = out.find("[rtc] 一時停止 オフ");
  EXPECT_TRUE(on < line && line < off) << out;

  // The rendezvous server may have come up after the host; the phone needs
  // the host registered there.
  ASSERT_TRUE(host->waitFor("[rtc] 待ち合わせ役に登録しました", std::chrono::seconds(60))) << host->output();
  std::string key = ts::readFile(dir + "/connect_key.txt");
  ts::Child phone({"/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/aiortc_phone.py",
                   "ws://127.0.0.1:" + std::to_string(sigPort) + "/ws", key, "ok", "3"});
  EXPECT_TRUE(phone.waitFor("\"ev\": \"ctl_open\"", std::chrono::seconds(90))) << phone.output() << host->output();
  EXPECT_EQ(host->count("[rtc] 一時停止中のため接続を受けません"), 0u);
}

TEST_F(PauseHostTest, APlayingVideoKeepsThePauseUnlessVideoIsIgnored) {
  ts::Child bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
  std::string address;
  ASSERT_TRUE(ts::waitUntil([&] {
    std::string out = bus.output();
    auto at = out.find("unix:"), end = out.find('\n', at);
    if (at == std::string::npos || end == std::string::npos) return false;
    address = out.substr(at, end - at);
    return true;
  }));
  ts::writeFile(dir + "/inhibitors.json", R"([["idle","player","video","block",1000,1]])");
  ts::Child logind({"/usr/bin/python3", TOLVANE_SOURCE_DIR "/tests/tools/dbus_stub.py", "--address", address,
                    "--logind", dir + "/inhibitors.json"});
  ASSERT_TRUE(logind.waitFor("ready")) << logind.output();

  startHost({"--idle-resume-sec", "1"}, address);
  // Several ticks past the idle limit.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_EQ(host->count("[pause]"), 0u) << host->output();
  EXPECT_EQ(host->count("[rtc] 一時停止 オフ"), 0u);

  host->stop();
  startHost({"--idle-resume-sec", "1", "--test-ignore-video"}, address);
  EXPECT_TRUE(host->waitFor("[rtc] 一時停止 オフ")) << host->output();
  EXPECT_EQ(host->count("[pause] Macが"), 1u);
}

}  // namespace
