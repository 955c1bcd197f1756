// HTTPS from the running host: certificate trust from the local authority,
// reuse across starts, and the ways HTTPS can fail while plain HTTP goes on.
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

class TlsHost : public testing::Test {
protected:
  void SetUp() override {
    root = ts::makeTempDir("tolvane-tlshost");
    data = root + "/data";
    fs::create_directories(root + "/client");
    ts::writeFile(root + "/client/index.html", "<html>tls __TLS_PORT__</html>");
    port = ts::freePort();
    do tlsPort = ts::freePort();
    while (tlsPort == port);
  }
  void TearDown() override {
    host.reset();
    ts::removeTree(root);
  }
  // Starts the host and waits until its links are out.
  void start(std::vector<std::string> extra = {}) {
    host.reset();
    std::vector<std::string> argv = {TOLVANE_HOST_BIN, "--test-pattern", "--no-signal", "--port",
                                     std::to_string(port), "--tls-port", std::to_string(tlsPort),
                                     "--token", token, "--data-dir", data, "--client-dir", root + "/client",
                                     "--ip", "127.0.0.1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    host = std::make_unique<ts::Child>(
        argv, std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"});
    ASSERT_TRUE(host->waitFor("データ置き場", std::chrono::seconds(90))) << host->output();
  }
  std::string httpsURL(const std::string& hostName, const std::string& path = "/") const {
    return "https://" + hostName + ":" + std::to_string(tlsPort) + path + "?t=" + token;
  }
  std::string curlTrusting(const std::string& url, int* status) const {
    return ts::run("curl -sS --max-time 60 --cacert " + q(data + "/cert/ca.pem") + " " + q(url) + " 2>&1", status);
  }
  std::string servedFingerprint() const {
    return ts::run("echo | /usr/bin/openssl s_client -connect 127.0.0.1:" + std::to_string(tlsPort) +
                   " 2>/dev/null | /usr/bin/openssl x509 -noout -fingerprint -sha256");
  }
  std::string httpLink() const { return "http://127.0.0.1:" + std::to_string(port) + "/?t=" + token; }
  std::string httpsLink() const { return "https://127.0.0.1:" + std::to_string(tlsPort) + "/?t=" + token; }

  std::string root, data, token = "0123456789abcdef0123456789abcdef";
  int port = 0, tlsPort = 0;
  std::unique_ptr<ts::Child> host;
};

}  // namespace

TEST_F(TlsHost, ServesPageAndAuthorityTrustedThroughTheLocalCA) {
  start();
  EXPECT_NE(host->output().find("[https] listening :" + std::to_string(tlsPort)), std::string::npos);
  const std::string page = "<html>tls " + std::to_string(tlsPort) + "</html>";
  int st = -1;
  EXPECT_EQ(curlTrusting(httpsURL("127.0.0.1"), &st), page);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(curlTrusting(httpsURL("localhost"), &st), page);
  EXPECT_EQ(st, 0);
  // Without the authority the certificate is not trusted.
  ts::run("curl -sS --max-time 60 " + q(httpsURL("127.0.0.1")) + " >/dev/null 2>&1", &st);
  EXPECT_NE(st, 0);

  // The download is the authority in DER.
  std::string der = curlTrusting(httpsURL("127.0.0.1", "/cert.cer"), &st);
  EXPECT_EQ(der, ts::readFile(data + "/cert/cert.cer"));
  EXPECT_EQ(ts::run("/usr/bin/openssl x509 -inform der -in " + q(data + "/cert/cert.cer") + " 2>&1"),
            ts::readFile(data + "/cert/ca.pem"));

  EXPECT_EQ(ts::readFileWhenPresent(data + "/last_url.txt"), httpLink() + "\n" + httpsLink() + "\n");
  EXPECT_NE(host->output().find(httpsLink() + "\n"), std::string::npos);

  // The next start serves the same certificate, made no new one.
  std::string fp = servedFingerprint();
  ASSERT_NE(fp.find("Fingerprint="), std::string::npos) << fp;
  EXPECT_EQ(fp, ts::run("/usr/bin/openssl x509 -noout -fingerprint -sha256 -in " + q(data + "/cert/cert.pem")));
  std::string ca = ts::readFile(data + "/cert/ca.pem");
  host->stop();
  start();
  EXPECT_EQ(servedFingerprint(), fp);
  EXPECT_EQ(ts::readFile(data + "/cert/ca.pem"), ca);
}

TEST_F(TlsHost, WebSocketSessionOverTls) {
  start();
  std::string url = "wss://localhost:" + std::to_string(tlsPort) + "/ws?t=" + token;
  int st = -1;
  std::string out = ts::run("/usr/bin/python3 " + q(std::string(TOLVANE_SOURCE_DIR) + "/tests/tools/ws_session.py") +
                                " " + q(url) + " " + q(R"([{"recv":2},{"send":{"t":"ping","c":7}},{"recv":1}])") +
                                " " + q(data + "/cert/ca.pem") + " 2>&1",
                            &st);
  ASSERT_EQ(st, 0) << out;
  std::istringstream lines(out);
  std::vector<std::string> texts;
  for (std::string line; std::getline(lines, line);) texts.push_back(line);
  ASSERT_EQ(texts.size(), 3u) << out;
  EXPECT_NE(texts[0].find(R"(\"t\":\"hello\")"), std::string::npos) << out;
  EXPECT_NE(texts[2].find(R"(\"c\":7)"), std::string::npos) << out;
  EXPECT_NE(texts[2].find(R"(\"t\":\"pong\")"), std::string::npos) << out;
}

TEST_F(TlsHost, DamagedBundleLeavesPlainHttpOnly) {
  fs::create_directories(data + "/cert");
  ts::writeFile(data + "/cert/id.p12", "this is not a PKCS#12 bundle");
  start();
  std::string out = host->output();
  EXPECT_NE(out.find("[tls] p12の読み込みに失敗("), std::string::npos) << out;
  EXPECT_NE(out.find(")。https は無効\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("[https]"), std::string::npos) << out;
  int st = -1;
  EXPECT_EQ(ts::run("curl -sS --max-time 60 " + q(httpLink()) + " 2>&1", &st), "<html>tls " + std::to_string(tlsPort) + "</html>");
  EXPECT_EQ(st, 0);
  ts::run("curl -sk --max-time 5 " + q(httpsLink()) + " >/dev/null 2>&1", &st);
  EXPECT_NE(st, 0);
  EXPECT_EQ(ts::readFileWhenPresent(data + "/last_url.txt"), httpLink() + "\n");
}

TEST_F(TlsHost, TakenTlsPortIsLoggedAndPlainHttpGoesOn) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(tlsPort));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  start();
  std::string out = host->output();
  EXPECT_NE(out.find("https起動失敗: "), std::string::npos) << out;
  EXPECT_FALSE(host->exited());
  int st = -1;
  ts::run("curl -sS --max-time 60 -o /dev/null " + q(httpLink()) + " 2>&1", &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(ts::readFileWhenPresent(data + "/last_url.txt"), httpLink() + "\n");
  ::close(fd);
}

TEST_F(TlsHost, NoTlsMakesNoCertificates) {
  start({"--no-tls"});
  EXPECT_EQ(host->output().find("[https]"), std::string::npos);
  EXPECT_FALSE(fs::exists(data + "/cert"));
  EXPECT_EQ(ts::readFileWhenPresent(data + "/last_url.txt"), httpLink() + "\n");
}
