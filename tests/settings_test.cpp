// Command-line reading, data directory choice and journals.
#include "app/Log.h"
#include "app/Loc.h"
#include "app/Settings.h"
#include "lan/ClientPage.h"
#include "session/Messages.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
Settings withArgs(std::vector<std::string> a) {
  Settings s;
  s.args = std::move(a);
  s.readOptions();
  return s;
}
}  // namespace

TEST(Options, ValueLookupAndFlags) {
  auto s = withArgs({"--token", "abc", "--test-pattern", "--token", "second"});
  EXPECT_EQ(s.opt("--token"), "abc");
  EXPECT_TRUE(s.flag("--test-pattern"));
  EXPECT_FALSE(s.flag("--test"));
  EXPECT_TRUE(s.testMode);
  // The option as the very last argument has no value.
  EXPECT_FALSE(withArgs({"--token"}).opt("--token").has_value());
}

TEST(Options, NumbersFallBackToDefaults) {
  EXPECT_EQ(withArgs({"--port", "abc"}).httpPort, 8765);
  EXPECT_EQ(withArgs({"--port", "65536"}).httpPort, 8765);
  EXPECT_EQ(withArgs({"--port", "-1"}).httpPort, 8765);
  EXPECT_EQ(withArgs({"--port", ""}).httpPort, 8765);
  EXPECT_EQ(withArgs({"--port", "0"}).httpPort, 0);
  EXPECT_EQ(withArgs({"--port", "+9000"}).httpPort, 9000);
  EXPECT_EQ(withArgs({"--tls-port", "65535"}).httpsPort, 65535);
  EXPECT_EQ(withArgs({"--bitrate", "12x"}).bitrate, 8000000);
  EXPECT_EQ(withArgs({"--bitrate", "99999999999999999999"}).bitrate, 8000000);
  // Zero or negative rates would stall the encoder: the defaults apply.
  EXPECT_EQ(withArgs({"--fps", "0"}).fps, 60);
  EXPECT_EQ(withArgs({"--fps", "-5"}).fps, 60);
  EXPECT_EQ(withArgs({"--bitrate", "0"}).bitrate, 8000000);
  EXPECT_EQ(withArgs({"--fps", "30"}).fps, 30);
  EXPECT_EQ(parseDouble("2.5"), 2.5);
  EXPECT_FALSE(parseDouble("2.5x").has_value());
  EXPECT_FALSE(parseDouble("").has_value());
}

TEST(Options, DataDirectoryOrder) {
  unsetenv("KESTRAVA_DATA");
  EXPECT_EQ(chooseDataDir(withArgs({"--data-dir", "/x/y"}), true), "/x/y");
  setenv("KESTRAVA_DATA", "/from/env", 1);
  EXPECT_EQ(chooseDataDir(withArgs({}), true), "/from/env");
  unsetenv("KESTRAVA_DATA");
  setenv("XDG_DATA_HOME", "/xdg", 1);
  EXPECT_EQ(chooseDataDir(withArgs({}), true), "/xdg/Tolvane Host");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(chooseDataDir(withArgs({}), true), "/home/u/.local/share/Tolvane Host");
  EXPECT_EQ(chooseDataDir(withArgs({}), false), std::filesystem::current_path().string());
}

TEST(Journal, AppendsWholeLinesFromManyThreads) {
  auto dir = ts::makeTempDir();
  std::string path = dir + "/j.jsonl";
  ts::writeFile(path, "{\"old\":1}\n");
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i)
        journalAppend(path, "{\"t\":" + std::to_string(t) + ",\"pad\":\"" + std::string(300, 'x') + "\"}\n");
    });
  for (auto& t : ts) t.join();
  std::string text = ts::readFile(path);
  EXPECT_EQ(text.rfind("{\"old\":1}\n", 0), 0u);
  size_t lines = 0, pos = 0;
  while ((pos = text.find('\n', pos)) != std::string::npos) {
    ++lines;
    ++pos;
  }
  EXPECT_EQ(lines, 801u);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    auto line = text.substr(at, end - at);
    EXPECT_TRUE(nlohmann::json::accept(line)) << line.substr(0, 40);
    at = end + 1;
  }
  // An unwritable place is ignored, not fatal.
  journalAppend("/nonexistent-dir/x.jsonl", "{}\n");
  ts::removeTree(dir);
}

TEST(Journal, ConnectLogAddsTimeAndEchoesEvenWhenUnwritable) {
  auto dir = ts::makeTempDir();
  settings().dataDir = dir;
  connectLog({{"ev", "open"}, {"n", 2}});
  std::string line = ts::readFile(dir + "/connect_log.jsonl");
  auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j["ev"], "open");
  EXPECT_EQ(j["time"].get<std::string>().size(), 20u);
  EXPECT_EQ(j["time"].get<std::string>().back(), 'Z');
  EXPECT_EQ(line.find("{\"ev\""), 0u);  // keys sorted
  // Invalid UTF-8 cannot be serialised: the record becomes "{}".
  connectLog({{"bad", std::string("\xff")}});
  EXPECT_NE(ts::readFile(dir + "/connect_log.jsonl").find("\n{}\n"), std::string::npos);
  settings().dataDir = "/nonexistent-dir";
  testing::internal::CaptureStdout();
  connectLog({{"ev", "x"}});
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[connect] {\"ev\":\"x\""), std::string::npos);
  ts::removeTree(dir);
}

TEST(Localisation, ForcedJapaneseAndUnknownLanguages) {
  Loc::setForced(std::string("ja"));
  EXPECT_EQ(Loc::tr("client/index.html was not found"), "client/index.html が見つかりません");
  Loc::setForced(std::string("xx"));
  EXPECT_EQ(Loc::tr("client/index.html was not found"), "client/index.html was not found");
  Loc::setForced(std::string("ja"));
  EXPECT_EQ(Loc::tr("an untranslated text"), "an untranslated text");
  EXPECT_EQ(Loc::fill("Could not create the H.264 encoder (%d)", "-3"), "Could not create the H.264 encoder (-3)");
  Loc::setForced(std::nullopt);
}

TEST(ClientPage, TlsPortFilledEverywhereAndBinaryRefused) {
  std::string page = "a __TLS_PORT__ b __TLS_PORT__";
  auto out = fillTlsPort({page.begin(), page.end()}, 8766);
  ASSERT_TRUE(out);
  EXPECT_EQ(std::string(out->begin(), out->end()), "a 8766 b 8766");
  EXPECT_FALSE(fillTlsPort({0xff, 0xfe}, 1).has_value());
  EXPECT_TRUE(isLanInterfaceName("enp3s0"));
  EXPECT_TRUE(isLanInterfaceName("eth0"));
  EXPECT_TRUE(isLanInterfaceName("wlan0"));
  for (auto n : {"lo", "docker0", "veth12", "br-1", "tun0", "bridge0"}) EXPECT_FALSE(isLanInterfaceName(n)) << n;
}

TEST(ControlMessages, PacketLayoutAndParsing) {
  std::vector<uint8_t> frame = {9, 9, 9};
  auto p = videoPacket(frame, true, 1.5, {});
  ASSERT_EQ(p.size(), 14u);
  EXPECT_EQ(p[0], 1);
  EXPECT_EQ(p[1], 1);
  // 1.5 as a big-endian IEEE-754 double is 3F F8 00 ...
  EXPECT_EQ(p[2], 0x3F);
  EXPECT_EQ(p[3], 0xF8);
  EXPECT_EQ(p[10], 0);
  auto q = videoPacket(frame, false, 0, {1, 0x01020304, 0xFFFFFFFF});
  ASSERT_EQ(q.size(), 23u + 3);
  EXPECT_EQ(q[1], 0);
  EXPECT_EQ(q[10], 3);
  EXPECT_EQ((std::vector<uint8_t>(q.begin() + 15, q.begin() + 19)), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(q[23], 9);
  for (std::string bad : {"", "[]", "{\"t\":1}", "{\"x\":\"ping\"}", "not json", "\"ping\"", "{\"t\":null}"})
    EXPECT_FALSE(parseControl(bad).has_value()) << bad;
  auto m = parseControl("{\"t\":\"mv\",\"x\":\"0.5\",\"y\":0.25}");
  ASSERT_TRUE(m);
  EXPECT_EQ(numField(*m, "x"), 0);
  EXPECT_EQ(numField(*m, "y"), 0.25);
  EXPECT_EQ(numField(*m, "z", 1), 1);
}
