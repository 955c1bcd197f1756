// The internet link's ingredients at start-up: the connect key file, the
// signalling base, the link, and what the running host prints and stores.
#include "app/ConnectKey.h"
#include "app/Crypto.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

namespace {

bool isKey(const std::string& k) { return std::regex_match(k, std::regex("[0-9a-f]{64}")); }
mode_t modeOf(const std::string& path) {
  struct stat st{};
  stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

TEST(ConnectKey, ShortBlankOrMissingKeysAreReplacedLongerOnesKept) {
  std::string dir = ts::makeTempDir("key");
  std::string path = dir + "/connect_key.txt";
  std::string made = loadConnectKey(dir, false);
  EXPECT_TRUE(isKey(made));
  EXPECT_EQ(ts::readFile(path), made);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(loadConnectKey(dir, false), made);

  ts::writeFile(path, std::string(31, 'x'));
  EXPECT_TRUE(isKey(loadConnectKey(dir, false)));
  ts::writeFile(path, " \n\t \r\n");
  EXPECT_TRUE(isKey(loadConnectKey(dir, false)));
  ts::writeFile(path, "  " + std::string(32, 'y') + "\r\n");
  EXPECT_EQ(loadConnectKey(dir, false), std::string(32, 'y'));
  std::string fresh = loadConnectKey(dir, true);
  EXPECT_TRUE(isKey(fresh));
  EXPECT_NE(fresh, made);

  // An unwritable folder still gives a key for this run.
  EXPECT_TRUE(isKey(loadConnectKey(dir + "/missing/deeper", false)));
  ts::removeTree(dir);
}

TEST(ConnectKey, BaseAndLink) {
  EXPECT_EQ(signalBase("wss://s.example:8443"), "wss://s.example:8443/");
  EXPECT_EQ(signalBase("ws://s/"), "ws://s/");
  EXPECT_EQ(remoteLink("wss://s.example:8443/", "k"), "https://s.example:8443/#k=k");
  EXPECT_EQ(remoteLink("ws://10.0.0.1:9/x/", "k"), "http://10.0.0.1:9/x/#k=k");
}

TEST(ConnectKey, HostPrintsAndStoresTheInternetLink) {
  int sigPort = ts::freePort();  // nothing listens: the link is made all the same
  ts::HostProcess h({"--test-pattern", "--no-tls", "--signal", "ws://127.0.0.1:" + std::to_string(sigPort),
                     "--stun", "stun:127.0.0.1:3478"});
  std::string key = ts::readFileWhenPresent(h.dataDir + "/connect_key.txt");
  ASSERT_TRUE(isKey(key));
  EXPECT_EQ(modeOf(h.dataDir + "/connect_key.txt"), 0600u);
  std::string links = ts::readFileWhenPresent(h.dataDir + "/last_url.txt");
  EXPECT_EQ(modeOf(h.dataDir + "/last_url.txt"), 0600u);
  std::string remote = "http://127.0.0.1:" + std::to_string(sigPort) + "/#k=" + key;
  EXPECT_EQ(links, "http://127.0.0.1:" + std::to_string(h.port) + "/?t=" + h.token + "\n" + remote + "\n");
  std::string out = h.proc->output();
  EXPECT_NE(out.find(remote + "\n↑ 最後のURLが外出先用（#の後ろが接続キー。他人に見せない）\nデータ置き場: "),
            std::string::npos)
      << out;
  // The server would see only the room id, never the key.
  EXPECT_TRUE(h.proc->waitFor("[rtc] 待ち合わせ役との接続が切れました("));
  EXPECT_EQ(out.find(sha256hex("rid:" + key)), std::string::npos);

  // Same key on the next start; "--new-key" makes another.
  std::string dir = h.dataDir;
  h.proc->stop();
  ts::Child again({TOLVANE_HOST_BIN, "--test-pattern", "--no-tls", "--port", std::to_string(ts::freePort()),
                   "--data-dir", dir, "--signal", "ws://127.0.0.1:" + std::to_string(sigPort), "--new-key"});
  ASSERT_TRUE(again.waitFor("データ置き場: "));
  EXPECT_NE(ts::readFile(dir + "/connect_key.txt"), key);
}

TEST(ConnectKey, NoInternetTransportWithoutASignallingUrl) {
  ts::HostProcess h({"--test-pattern", "--no-tls"});
  std::string links = ts::readFileWhenPresent(h.dataDir + "/last_url.txt");
  EXPECT_EQ(links.find("#k="), std::string::npos);
  EXPECT_FALSE(std::ifstream(h.dataDir + "/connect_key.txt").good());
  EXPECT_EQ(h.proc->output().find("↑"), std::string::npos);
}

}  // namespace
