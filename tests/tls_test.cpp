// The TLS identity made with the openssl tool, and the LAN server under TLS,
// in process.
#include "lan/Server.h"
#include "lan/TlsIdentity.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* kFiles[] = {"ca.key", "ca.pem", "key.pem", "leaf.csr", "leaf.ext", "cert.pem", "cert.cer", "id.p12"};

int modeOf(const fs::path& p) {
  struct stat sb {};
  if (::stat(p.c_str(), &sb) != 0) return -1;
  return sb.st_mode & 07777;
}

// Content, inode and modification time of every file in the folder: any
// openssl run would change at least one of them.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    struct stat sb {};
    ::stat(e.path().c_str(), &sb);
    out[e.path().filename().string()] = ts::readFile(e.path().string()) + "|" + std::to_string(sb.st_ino) + "|" +
                                        std::to_string(sb.st_mtim.tv_sec) + "." +
                                        std::to_string(sb.st_mtim.tv_nsec);
  }
  return out;
}

std::string sh(const std::string& cmd, int* status = nullptr) { return ts::run(cmd + " 2>&1", status); }

struct LoadResult {
  std::shared_ptr<boost::asio::ssl::context> ctx;
  std::string log;
};

LoadResult load(const std::string& ip, const std::string& dataDir, bool regen = false) {
  testing::internal::CaptureStdout();
  auto ctx = loadIdentity(ip, dataDir, regen);
  return {ctx, testing::internal::GetCapturedStdout()};
}

class TempDir {
public:
  TempDir() : path(ts::makeTempDir("tolvane-tls")) {}
  ~TempDir() { ts::removeTree(path); }
  std::string cert(const std::string& name = "") const { return path + "/cert" + (name.empty() ? "" : "/" + name); }
  const std::string path;
};

}  // namespace

TEST(TlsIdentity, FirstStartMakesPrivateFilesAndSecondStartReusesThem) {
  TempDir d;
  auto first = load("127.0.0.1", d.path);
  ASSERT_TRUE(first.ctx) << first.log;
  EXPECT_EQ(first.log, "");
  for (const char* f : kFiles) EXPECT_TRUE(fs::is_regular_file(d.cert(f))) << f;

  EXPECT_EQ(modeOf(d.cert()), 0700);
  for (const char* f : {"ca.key", "key.pem", "id.p12"}) EXPECT_EQ(modeOf(d.cert(f)), 0600) << f;

  EXPECT_EQ(ts::readFile(d.cert("leaf.ext")),
            "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
            "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,IP:127.0.0.1,DNS:localhost\n");

  int st = -1;
  std::string subject = sh("/usr/bin/openssl x509 -inform der -in '" + d.cert("cert.cer") + "' -noout -subject", &st);
  EXPECT_EQ(st, 0) << subject;
  EXPECT_NE(subject.find("Kestrava Local CA"), std::string::npos) << subject;
  std::string verify =
      sh("/usr/bin/openssl verify -CAfile '" + d.cert("ca.pem") + "' '" + d.cert("cert.pem") + "'", &st);
  EXPECT_EQ(st, 0) << verify;
  std::string leaf = sh("/usr/bin/openssl x509 -in '" + d.cert("cert.pem") + "' -noout -text");
  EXPECT_NE(leaf.find("Subject: CN = Kestrava"), std::string::npos) << leaf;
  EXPECT_NE(leaf.find("DNS:localhost"), std::string::npos) << leaf;
  EXPECT_NE(leaf.find("TLS Web Server Authentication"), std::string::npos) << leaf;

  auto before = snapshot(d.cert());
  auto second = load("192.168.1.20", d.path);  // a changed address still reuses the bundle
  ASSERT_TRUE(second.ctx) << second.log;
  EXPECT_EQ(second.log, "");
  EXPECT_EQ(snapshot(d.cert()), before);
}

TEST(TlsIdentity, RegenMakesANewAuthorityAndTightensLooseFiles) {
  TempDir d;
  ASSERT_TRUE(load("127.0.0.1", d.path).ctx);
  std::string oldCA = ts::readFile(d.cert("ca.pem"));
  std::string oldDer = ts::readFile(d.cert("cert.cer"));
  // As left by a careless older install.
  ::chmod(d.cert().c_str(), 0755);
  ::chmod(d.cert("ca.key").c_str(), 0644);
  ::chmod(d.cert("key.pem").c_str(), 0644);

  auto again = load("127.0.0.1", d.path, true);
  ASSERT_TRUE(again.ctx) << again.log;
  EXPECT_NE(ts::readFile(d.cert("ca.pem")), oldCA);
  EXPECT_NE(ts::readFile(d.cert("cert.cer")), oldDer);
  EXPECT_EQ(modeOf(d.cert()), 0700);
  EXPECT_EQ(modeOf(d.cert("ca.key")), 0600);
  EXPECT_EQ(modeOf(d.cert("key.pem")), 0600);
  int st = -1;
  std::string verify =
      sh("/usr/bin/openssl verify -CAfile '" + d.cert("ca.pem") + "' '" + d.cert("cert.pem") + "'", &st);
  EXPECT_EQ(st, 0) << verify;
  // The DER copy is the new authority.
  std::string derAsPem = sh("/usr/bin/openssl x509 -inform der -in '" + d.cert("cert.cer") + "'");
  EXPECT_EQ(derAsPem, ts::readFile(d.cert("ca.pem")));
}

TEST(TlsIdentity, HostNamesGoInAsDnsNamesAndJunkIsLeftOut) {
  TempDir d;
  auto r = load("tolvane-desk.local", d.path);
  ASSERT_TRUE(r.ctx) << r.log;
  std::string leaf = sh("/usr/bin/openssl x509 -in '" + d.cert("cert.pem") + "' -noout -ext subjectAltName");
  EXPECT_NE(leaf.find("DNS:tolvane-desk.local, IP Address:127.0.0.1, DNS:localhost"), std::string::npos) << leaf;

  const std::string tail = "IP:127.0.0.1,DNS:localhost\n";
  EXPECT_NE(leafExtText("192.168.1.20").find("subjectAltName=IP:192.168.1.20," + tail), std::string::npos);
  EXPECT_NE(leafExtText("fe80::1").find("subjectAltName=IP:fe80::1," + tail), std::string::npos);
  // Text that would add settings or break the line cannot reach the file.
  for (std::string bad : {"a,IP:10.0.0.1", "host\nbasicConstraints=CA:TRUE", "", "-x", "a b", "名前"})
    EXPECT_NE(leafExtText(bad).find("subjectAltName=" + tail), std::string::npos) << bad;
}

TEST(TlsIdentity, DamagedBundleIsRefusedWithTheImportLine) {
  TempDir other;
  ASSERT_TRUE(load("127.0.0.1", other.path).ctx);
  std::string good = ts::readFile(other.cert("id.p12"));
  int st = -1;
  sh("/usr/bin/openssl pkcs12 -export -out '" + other.path + "/foreign.p12' -inkey '" + other.cert("key.pem") +
         "' -in '" + other.cert("cert.pem") + "' -passout pass:otherwords",
     &st);
  ASSERT_EQ(st, 0);
  std::string foreign = ts::readFile(other.path + "/foreign.p12");

  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x55;
  for (const std::string& bundle : {std::string(), std::string("not a bundle"), good.substr(0, good.size() / 2),
                                    flipped, foreign}) {
    TempDir d;
    fs::create_directories(d.cert());
    ts::writeFile(d.cert("id.p12"), bundle);
    auto r = load("127.0.0.1", d.path);
    EXPECT_FALSE(r.ctx);
    EXPECT_EQ(r.log.rfind("[tls] p12の読み込みに失敗(", 0), 0u) << r.log;
    EXPECT_NE(r.log.find(")。https は無効\n"), std::string::npos) << r.log;
    EXPECT_FALSE(fs::exists(d.cert("ca.pem")));  // a bad bundle is not replaced behind the user's back
  }
}

TEST(TlsIdentity, UnreadableBundleGivesNothingSilently) {
  TempDir d;
  fs::create_directories(d.cert("id.p12"));  // exists, but is no file
  auto r = load("127.0.0.1", d.path);
  EXPECT_FALSE(r.ctx);
  EXPECT_EQ(r.log, "");
}

TEST(TlsIdentity, OpensslFailureIsLogged) {
  TempDir d;
  ts::writeFile(d.cert(), "a file where the folder should be");
  auto r = load("127.0.0.1", d.path);
  EXPECT_FALSE(r.ctx);
  EXPECT_EQ(r.log, "[tls] 証明書の生成に失敗。https は無効\n");
}

// ---- the server under TLS ----

namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;

int connectRaw(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  // Only a bound for a test that fails: a passing one is answered first.
  timeval tv{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// A blocking TLS client that trusts only the test authority and checks the
// server's name.
struct TlsClient {
  TlsClient(uint16_t port, const std::string& caFile, const std::string& name)
      : ctx(ssl::context::tls_client), s(io, ctx) {
    ctx.load_verify_file(caFile);
    s.set_verify_mode(ssl::verify_peer);
    s.set_verify_callback(ssl::host_name_verification(name));
    SSL_set_tlsext_host_name(s.native_handle(), name.c_str());
    s.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    s.handshake(ssl::stream_base::client);
  }
  void send(const std::string& bytes) { asio::write(s, asio::buffer(bytes)); }
  std::string read(size_t n) {
    std::string out(n, '\0');
    asio::read(s, asio::buffer(out));
    return out;
  }
  std::string readUntil(const std::string& end) {
    std::string out;
    while (out.size() < end.size() || out.compare(out.size() - end.size(), end.size(), end) != 0) out += read(1);
    return out;
  }
  asio::io_context io;
  ssl::context ctx;
  ssl::stream<asio::ip::tcp::socket> s;
};

std::string maskedText(const std::string& text) {
  std::string f;
  f += char(0x81);
  f += char(0x80 | text.size());
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  f.append(key, 4);
  for (size_t i = 0; i < text.size(); ++i) f += char(text[i] ^ key[i % 4]);
  return f;
}

}  // namespace

class TlsServer : public testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    testing::internal::CaptureStdout();
    identity = loadIdentity("127.0.0.1", dir->path, false);
    testing::internal::GetCapturedStdout();
  }
  static void TearDownTestSuite() {
    identity.reset();
    delete dir;
  }
  void SetUp() override {
    ASSERT_TRUE(identity);
    server = std::make_shared<Server>(0, "https");
    server->token = "tok";
    server->identity = identity;
    server->htmlProvider = [] { return std::optional<Bytes>(Bytes{'o', 'k'}); };
    server->onWSOpen = [this](const ConnPtr& c) {
      opened = c;
      ++opens;
    };
    server->onText = [this](const ConnPtr&, const std::string& t) { texts += t + ";"; };
    server->onClose = [this](const ConnPtr&) { ++closes; };
    testing::internal::CaptureStdout();
    server->start();
    testing::internal::GetCapturedStdout();
  }
  size_t connCount() {
    size_t n = 0;
    server->queue().sync([&] { n = server->conns().size(); });
    return n;
  }
  bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 60s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (cond()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return cond();
  }
  std::string ca() const { return dir->cert("ca.pem"); }

  static inline TempDir* dir = nullptr;
  static inline std::shared_ptr<ssl::context> identity;
  std::shared_ptr<Server> server;
  ConnPtr opened;
  std::atomic<int> opens{0}, closes{0};
  std::string texts;
};

TEST_F(TlsServer, StalledHandshakeIsCutOffWithoutHoldingUpOthers) {
  // Each connection gets the limit in force when it came: one that is cut off
  // soon, and one that would hang for an hour.
  server->queue().sync([&] { server->handshakeTimeout = 400ms; });
  int stalled = connectRaw(server->boundPort());
  ASSERT_GE(stalled, 0);
  ASSERT_TRUE(waitUntil([&] { return connCount() == 1; }));
  server->queue().sync([&] { server->handshakeTimeout = std::chrono::hours(1); });
  int hanging = connectRaw(server->boundPort());
  ASSERT_GE(hanging, 0);
  ASSERT_TRUE(waitUntil([&] { return connCount() == 2; }));

  // Others are served while it hangs.
  TlsClient c(server->boundPort(), ca(), "localhost");
  c.send("GET /?t=tok HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(c.readUntil("\r\n\r\n").find("200 OK"), std::string::npos);
  EXPECT_EQ(c.read(2), "ok");

  char b;
  EXPECT_EQ(::recv(stalled, &b, 1, 0), 0);  // closed by the server, not by the receive limit
  ::close(stalled);
  EXPECT_TRUE(waitUntil([&] { return connCount() == 1; }));
  // The cut-off was the first one's own limit: the second is still waiting.
  EXPECT_EQ(::recv(hanging, &b, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(errno, EAGAIN);
  ::close(hanging);
  EXPECT_TRUE(waitUntil([&] { return connCount() == 0; }));
  EXPECT_EQ(closes, 0);
}

TEST_F(TlsServer, FailedHandshakeDropsWithoutOnClose) {
  server->queue().sync([&] { server->handshakeTimeout = 2s; });
  for (std::string junk : {std::string("GET /?t=tok HTTP/1.1\r\n\r\n"), std::string(300, '\x16'),
                           std::string("\x16\x03\x01\xff\xff", 5) + std::string(64, 'A')}) {
    int fd = connectRaw(server->boundPort());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL), ssize_t(junk.size()));
    char buf[512];
    ssize_t n;
    std::string got;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, n);
    EXPECT_EQ(n, 0) << "the server closes the connection";
    EXPECT_EQ(got.find("HTTP/1.1"), std::string::npos);
    ::close(fd);
  }
  EXPECT_TRUE(waitUntil([&] { return connCount() == 0; }));
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(closes, 0);
}

TEST_F(TlsServer, WebSocketSessionOverTls) {
  TlsClient c(server->boundPort(), ca(), "localhost");
  c.send("GET /ws?t=tok HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n" +
         maskedText("hello"));
  EXPECT_NE(c.readUntil("\r\n\r\n").find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
  ASSERT_TRUE(waitUntil([&] { return opens == 1; }));
  server->queue().sync([] {});
  EXPECT_EQ(texts, "hello;");

  server->sendText(opened, "hi");
  EXPECT_EQ(c.read(4), std::string("\x81\x02hi", 4));
  c.send(std::string("\x89\x82\0\0\0\0ab", 8));  // ping
  EXPECT_EQ(c.read(4), std::string("\x8a\x02" "ab", 4));

  // A video-sized packet leaves as one frame: header and body in order.
  server->queue().sync([&] { opened->wantsVideo = true; });
  auto packet = std::make_shared<Bytes>(100000);
  for (size_t i = 0; i < packet->size(); ++i) (*packet)[i] = uint8_t(i * 7);
  server->sendVideo(packet, true);
  std::string head = c.read(10);
  EXPECT_EQ(uint8_t(head[0]), 0x82);
  EXPECT_EQ(uint8_t(head[1]), 127);
  EXPECT_EQ(head.substr(2), std::string("\0\0\0\0\0\x01\x86\xa0", 8));
  EXPECT_EQ(c.read(packet->size()), std::string(packet->begin(), packet->end()));

  c.send(std::string("\x88\x80\0\0\0\0", 6));  // close
  ASSERT_TRUE(waitUntil([&] { return closes == 1; }));
  EXPECT_TRUE(waitUntil([&] { return connCount() == 0; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(closes, 1);
}
