// tolvane-signal as it runs for real, driven by real WebSocket and HTTP clients.
#include "signal/TurnCredentials.h"
#include "support/SignalProcess.h"
#include "support/WsClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;
using ts::closeCodeOf;
using ts::textsOf;

namespace {

const std::string kRid = "1a2b3c4d" + std::string(56, '9');

json Open(const std::string& c) { return {{"open", c}}; }
json Send(const std::string& c, const json& msg) { return {{"send", c}, {"msg", msg}}; }
json Recv(const std::string& c, int n = 1) { return {{"recv", c}, {"n", n}}; }
json Closed(const std::string& c) { return {{"closed", c}}; }
json Sleep(double s) { return {{"sleep", s}}; }
json HostMsg() { return {{"t", "host"}, {"rid", kRid}}; }
json JoinMsg() { return {{"t", "join"}, {"rid", kRid}}; }
const json kPing = {{"t", "ping"}};
const json kPong = {{"t", "pong"}};

std::string stepsText(std::initializer_list<json> steps) { return json(std::vector<json>(steps)).dump(); }

std::string lastError(const std::vector<json>& lines) {
  return lines.empty() ? "no output" : lines.back().dump();
}

TEST(SignalBinary, HostAndPhoneMeetAndRelayBothWays) {
  ts::SignalProcess s({"--stun", "stun:stun.test:3478,stun:two.test:1"});
  ASSERT_GT(s.port, 0) << s.proc->output();
  json offer = {{"kind", "offer"}, {"sdp", "v=0\r\nSECRET\r\n"}, {"sid", "abc"}, {"mac", "00"}};
  json answer = {{"kind", "answer"}, {"sdp", "v=0\r\n"}, {"sid", "abc"}, {"mac", "11"}};
  int status = 0;
  auto lines = s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Open("p"), Send("p", JoinMsg()),
                                    Recv("p"), Recv("h"), Send("h", {{"t", "sig"}, {"cid", 1}, {"d", offer}}), Recv("p"),
                                    Send("p", {{"t", "sig"}, {"cid", 42}, {"d", answer}}), Recv("h"),
                                    Send("p", {{"t", "leave"}}), Recv("h"), Send("p", JoinMsg()), Recv("p"), Recv("h"),
                                    {{"close", "p"}}, Recv("h")}),
                         &status);
  EXPECT_EQ(status, 0) << lastError(lines);
  auto h = textsOf(lines, "h"), p = textsOf(lines, "p");
  ASSERT_EQ(h.size(), 6u) << lastError(lines);
  ASSERT_EQ(p.size(), 3u) << lastError(lines);
  EXPECT_EQ(h[0], json({{"t", "ok"}}));
  EXPECT_EQ(p[0], json({{"t", "joined"}, {"cid", 1}, {"ice", {"stun:stun.test:3478", "stun:two.test:1"}}}));
  EXPECT_EQ(h[1], json({{"t", "peer"}, {"cid", 1}}));
  EXPECT_EQ(p[1], json({{"t", "sig"}, {"d", offer}}));
  EXPECT_EQ(h[2], json({{"t", "sig"}, {"cid", 1}, {"d", answer}}));
  EXPECT_EQ(h[3], json({{"t", "gone"}, {"cid", 1}}));
  EXPECT_EQ(p[2], json({{"t", "joined"}, {"cid", 2}, {"ice", {"stun:stun.test:3478", "stun:two.test:1"}}}));
  EXPECT_EQ(h[4], json({{"t", "peer"}, {"cid", 2}}));
  EXPECT_EQ(h[5], json({{"t", "gone"}, {"cid", 2}}));  // the phone's close

  ASSERT_TRUE(s.proc->waitFor("[signal] host 1a2b3c4d\u2026 gone"));
  std::string out = s.proc->output();
  EXPECT_NE(out.find("[signal] host 1a2b3c4d\u2026 ok"), std::string::npos) << out;
  EXPECT_NE(out.find("[signal] join 1a2b3c4d\u2026 cid 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[signal] join 1a2b3c4d\u2026 cid 2\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(kRid.substr(0, 9)), std::string::npos) << out;
  EXPECT_EQ(out.find("SECRET"), std::string::npos) << out;
}

TEST(SignalBinary, ServesThePageByFixedNamesOnly) {
  auto dir = ts::makeTempDir();
  ts::writeFile(dir + "/index.html", "<p>page</p>");
  ts::writeFile(dir + "/secret.txt", "no");
  ts::writeFile(dir + "/sigauth.js", "export {};");
  ts::writeFile(dir + "/other.js", "no");
  ts::SignalProcess s({"--client-dir", dir});
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto code = [&](const std::string& args) { return ts::run("curl -s -o /dev/null -w '%{http_code}' --max-time 5 " + args); };
  EXPECT_EQ(ts::run("curl -s --max-time 5 '" + s.url("/") + "'"), "<p>page</p>");
  EXPECT_EQ(ts::run("curl -s --max-time 5 '" + s.url("/index.html?k=1") + "'"), "<p>page</p>");
  // The page's modules, by the same list the computer serves them from.
  EXPECT_EQ(ts::run("curl -s --max-time 5 '" + s.url("/sigauth.js") + "'"), "export {};");
  auto js = ts::run("curl -s -I --max-time 5 '" + s.url("/sigauth.js") + "'");
  EXPECT_NE(js.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos) << js;
  for (const char* path : {"/secret.txt", "/other.js", "/..%2Fsecret.txt", "/index.html/", "/INDEX.html",
                           "/x/../index.html", "/ws", "/x/sigauth.js"})
    EXPECT_EQ(code("--path-as-is '" + s.url(path) + "'"), "404") << path;
  EXPECT_EQ(code("-X POST '" + s.url("/") + "'"), "405");
  auto head = ts::run("curl -s -I --max-time 5 '" + s.url("/") + "'");
  EXPECT_NE(head.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Length: 11\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << head;
  // Several requests on one kept-alive connection, and edits show at once.
  ts::writeFile(dir + "/index.html", "<p>edited</p>");
  EXPECT_EQ(ts::run("curl -s --max-time 5 '" + s.url("/") + "' '" + s.url("/index.html") + "'"),
            "<p>edited</p><p>edited</p>");
  // A WebSocket upgrade anywhere but /ws is refused.
  int status = 0;
  auto lines = s.session(json::array({{{"open", "x"}, {"path", "/other"}, {"may_fail", true}}}).dump(), &status);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].contains("open_failed")) << lines[0];
  ts::removeTree(dir);
}

TEST(SignalBinary, RejectedHostIsClosedAndAReplacedOneStaysConnectedButInert) {
  ts::SignalProcess s;
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto lines = s.session(stepsText({Open("bad"), Send("bad", {{"t", "host"}, {"rid", "ABC"}}), Closed("bad"),
                                    Open("a"), Send("a", HostMsg()), Recv("a"), Open("p"), Send("p", JoinMsg()),
                                    Recv("p"), Recv("a"), Open("b"), Send("b", HostMsg()), Recv("b"), Recv("a"), Recv("p", 2),
                                    Send("a", {{"t", "sig"}, {"cid", 1}, {"d", json::object()}}), Send("a", kPing),
                                    Recv("a"), Send("p", {{"t", "sig"}, {"d", {{"x", 1}}}}), Recv("p"),
                                    Send("b", kPing), Recv("b")}));
  EXPECT_EQ(textsOf(lines, "bad"), (std::vector<json>{{{"t", "reject"}, {"reason", "bad_rid"}}}));
  EXPECT_EQ(closeCodeOf(lines, "bad"), 1008);
  // The replaced host hears "replaced", then nothing but the pong to its ping:
  // its sig went nowhere and the socket is still open.
  EXPECT_EQ(textsOf(lines, "a"), (std::vector<json>{{{"t", "ok"}}, {{"t", "peer"}, {"cid", 1}}, {{"t", "replaced"}}, kPong})) << lastError(lines);
  // The phone has to join the new host before its messages reach it.
  EXPECT_EQ(textsOf(lines, "p"), (std::vector<json>{{{"t", "joined"}, {"cid", 1}, {"ice", json::array()}},
                                                    {{"t", "hostgone"}},
                                                    {{"t", "hostup"}},
                                                    {{"t", "error"}, {"reason", "not_joined"}}}));
  EXPECT_EQ(textsOf(lines, "b"), (std::vector<json>{{{"t", "ok"}}, kPong}));
  EXPECT_EQ(closeCodeOf(lines, "a"), -1);
}

TEST(SignalBinary, SizeLimitBinaryFramesAndMalformedText) {
  ts::SignalProcess s;
  ASSERT_GT(s.port, 0) << s.proc->output();
  json sig = {{"t", "sig"}, {"cid", 1}, {"d", json::object()}};
  auto lines = s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Open("p"), Send("p", JoinMsg()),
                                    Recv("p"), Recv("h"),
                                    // exactly 64 KiB passes, one byte more does not
                                    {{"send", "h"}, {"pad", 65536}, {"msg", sig}}, Recv("p"),
                                    {{"send", "p"}, {"raw", "{\"t\":"}}, Recv("p"),
                                    {{"send", "p"}, {"raw", R"({"t":"sig","d":{},"cid":1e300})"}}, Recv("h"),
                                    Send("h", {{"t", "sig"}, {"cid", 1e300}, {"d", json::object()}}), Recv("h"),
                                    {{"send", "p"}, {"pad", 65537}, {"msg", {{"t", "sig"}, {"d", json::object()}}}},
                                    Closed("p"), Recv("h"), Open("q"), {{"binary", "q"}, {"n", 8}}, Closed("q"),
                                    Open("r"), {{"send", "r"}, {"raw", std::string(70000, 'x')}}, Closed("r"),
                                    Send("h", kPing), Recv("h")}));
  auto p = textsOf(lines, "p");
  ASSERT_EQ(p.size(), 3u) << lastError(lines);
  EXPECT_EQ(p[1]["t"], "sig");
  json empty = {{"t", "sig"}, {"cid", 1}, {"d", {{"pad", ""}}}};
  ASSERT_TRUE(p[1]["d"]["pad"].is_string()) << p[1].dump().substr(0, 100);
  EXPECT_EQ(p[1]["d"]["pad"].get<std::string>().size(), 65536u - empty.dump().size());
  EXPECT_EQ(p[2], json({{"t", "error"}, {"reason", "malformed"}}));
  EXPECT_EQ(closeCodeOf(lines, "p"), 1009);
  EXPECT_EQ(closeCodeOf(lines, "q"), 1003);
  EXPECT_EQ(closeCodeOf(lines, "r"), 1009);
  auto h = textsOf(lines, "h");
  ASSERT_EQ(h.size(), 6u) << lastError(lines);
  EXPECT_EQ(h[2]["cid"], 1);  // the phone's 1e300 is ignored, not an error
  EXPECT_EQ(h[3], json({{"t", "error"}, {"reason", "malformed"}}));  // the host's is
  EXPECT_EQ(h[4], json({{"t", "gone"}, {"cid", 1}}));
  EXPECT_EQ(h[5], kPong);
  EXPECT_NE(s.proc->output().find("closed (binary)"), std::string::npos);
  EXPECT_NE(s.proc->output().find("closed (too_big)"), std::string::npos);
}

TEST(SignalBinary, FloodsAreCutOff) {
  ts::SignalProcess s;
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto lines = s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Open("f"),
                                    {{"flood", "f"}, {"n", 3000}, {"msg", kPing}}, Closed("f"), Open("j"),
                                    {{"flood", "j"}, {"n", 60}, {"msg", JoinMsg()}}, Closed("j"), Send("h", kPing),
                                    {{"until", "h"}, {"t", "pong"}}}));
  EXPECT_EQ(closeCodeOf(lines, "f"), 1008) << lastError(lines);
  EXPECT_EQ(closeCodeOf(lines, "j"), 1008) << lastError(lines);
  // The host saw a few joins of the flooding phone, each ended, then its own pong.
  auto h = textsOf(lines, "h");
  ASSERT_GE(h.size(), 2u) << lastError(lines);
  EXPECT_LE(h.size(), 2u + 2 * 6);
  EXPECT_EQ(h.back(), kPong) << lastError(lines);
  int peers = 0, gones = 0;
  for (const auto& m : h) {
    peers += m["t"] == "peer";
    gones += m["t"] == "gone";
  }
  EXPECT_EQ(peers, gones);
  EXPECT_NE(s.proc->output().find("closed (flood)"), std::string::npos);
}

TEST(SignalBinary, SocketsWithoutARoleAndSilentSocketsAreClosed) {
  ts::SignalProcess s({"--role-timeout-ms", "2500", "--silence-timeout-ms", "6000"});
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto start = std::chrono::steady_clock::now();
  auto lines = s.session(stepsText({Open("h"), Open("x"), Send("h", HostMsg()), Recv("h"), Send("x", kPing), Recv("x"),
                                    Closed("x"),
                                    // past the role time-out: the host, which has a role, is still there
                                    Sleep(0.5), Send("h", kPing), Recv("h"), Closed("h")}));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(textsOf(lines, "x"), (std::vector<json>{kPong}));  // a ping gives no role
  EXPECT_EQ(closeCodeOf(lines, "x"), 1008) << lastError(lines);
  EXPECT_EQ(textsOf(lines, "h"), (std::vector<json>{{{"t", "ok"}}, kPong})) << lastError(lines);
  EXPECT_EQ(closeCodeOf(lines, "h"), 1008);
  EXPECT_GE(took, 6s);  // the silence was timed from the host's last message
  std::string out = s.proc->output();
  EXPECT_NE(out.find("closed (no_role)"), std::string::npos) << out;
  EXPECT_NE(out.find("closed (silent)"), std::string::npos) << out;
}

TEST(SignalBinary, SocketsPerAddressAreLimited) {
  ts::SignalProcess s({"--max-per-address", "2"});
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto lines = s.session(stepsText({Open("a"), Open("b"), {{"open", "z"}, {"may_fail", true}}, Send("a", kPing),
                                    Recv("a"), Send("b", kPing), Recv("b")}));
  bool refused = false;
  for (const auto& l : lines) refused = refused || (l.value("c", "") == "z" && l.contains("open_failed"));
  EXPECT_TRUE(refused) << lastError(lines);
  EXPECT_EQ(textsOf(lines, "a"), std::vector<json>{kPong});
  EXPECT_EQ(textsOf(lines, "b"), std::vector<json>{kPong});
  EXPECT_NE(s.proc->output().find("[signal] refused 127.0.0.1 (per_address)"), std::string::npos);
  // The places come free once the server has seen those sockets go.
  std::vector<json> again;
  auto until = std::chrono::steady_clock::now() + 10s;
  while (true) {
    again = s.session(stepsText({Open("a"), Open("b"), Send("b", kPing), Recv("b")}));
    if (textsOf(again, "b").size() == 1 || std::chrono::steady_clock::now() > until) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(textsOf(again, "b"), std::vector<json>{kPong}) << lastError(again);
}

TEST(SignalBinary, PhonesPerRoomAreLimited) {
  ts::SignalProcess s({"--max-phones", "1"});
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto lines = s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Open("p"), Send("p", JoinMsg()),
                                    Recv("p"), Open("q"), Send("q", JoinMsg()), Closed("q"), Send("h", kPing),
                                    Recv("h", 2)}));
  EXPECT_EQ(textsOf(lines, "q"), (std::vector<json>{{{"t", "reject"}, {"reason", "room_full"}}})) << lastError(lines);
  EXPECT_EQ(closeCodeOf(lines, "q"), 1008);
  EXPECT_EQ(textsOf(lines, "h"), (std::vector<json>{{{"t", "ok"}}, {{"t", "peer"}, {"cid", 1}}, kPong}));
}

TEST(SignalBinary, WssWithAPemIdentity) {
  auto dir = ts::makeTempDir();
  int st = 0;
  ts::run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1"
          " -addext subjectAltName=IP:127.0.0.1 -keyout " + dir + "/key.pem -out " + dir + "/cert.pem 2>&1",
          &st);
  ASSERT_EQ(st, 0);
  auto page = ts::makeTempDir();
  ts::writeFile(page + "/index.html", "<p>tls page</p>");
  ts::SignalProcess s({"--tls-cert", dir + "/cert.pem", "--tls-key", dir + "/key.pem", "--client-dir", page}, true);
  ASSERT_GT(s.port, 0) << s.proc->output();
  EXPECT_NE(s.proc->output().find(" (tls)\n"), std::string::npos) << s.proc->output();
  auto lines = s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Open("p"), Send("p", JoinMsg()),
                                    Recv("p"), Recv("h")}),
                         &st, dir + "/cert.pem");
  EXPECT_EQ(st, 0) << lastError(lines);
  EXPECT_EQ(textsOf(lines, "h"), (std::vector<json>{{{"t", "ok"}}, {{"t", "peer"}, {"cid", 1}}}));
  EXPECT_EQ(ts::run("curl -s --max-time 5 --cacert " + dir + "/cert.pem '" + s.url("/") + "'"), "<p>tls page</p>");
  // A client that does not trust the certificate gets nowhere.
  EXPECT_NE(ts::run("curl -s --max-time 5 -o /dev/null -w '%{http_code}' '" + s.url("/") + "'"), "200");
  ts::removeTree(dir);
  ts::removeTree(page);
}

TEST(SignalBinary, StartUpFailuresAndStop) {
  ts::Child badKey({TOLVANE_SIGNAL_BIN, "--bind", "127.0.0.1", "--port", "0", "--tls-cert", "/nonexistent.pem",
                    "--tls-key", "/nonexistent.pem"});
  EXPECT_EQ(badKey.exited(5s), std::optional<int>(1));
  EXPECT_NE(badKey.output().find("[signal] cannot start: "), std::string::npos) << badKey.output();
  ts::Child badOption({TOLVANE_SIGNAL_BIN, "--port", "70000"});
  EXPECT_EQ(badOption.exited(5s), std::optional<int>(2));
  ts::Child badBind({TOLVANE_SIGNAL_BIN, "--bind", "not-an-address", "--port", "0"});
  EXPECT_EQ(badBind.exited(5s), std::optional<int>(1));

  ts::SignalProcess s;
  ASSERT_GT(s.port, 0) << s.proc->output();
  ts::SignalProcess taken({"--port", std::to_string(s.port)});
  EXPECT_EQ(taken.proc->exited(5s), std::optional<int>(1));
  // A connected host does not hold up the stop.
  std::thread client([&] { s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Closed("h")})); });
  ASSERT_TRUE(s.proc->waitFor("[signal] host 1a2b3c4d\u2026 ok"));
  EXPECT_EQ(s.proc->stop(15, 5s), 0);
  client.join();
  EXPECT_NE(s.proc->output().find("[signal] stopping (signal 15)"), std::string::npos);
}

TEST(SignalBinary, HostileBytesNeverBringItDown) {
  ts::SignalProcess s;
  ASSERT_GT(s.port, 0) << s.proc->output();
  auto closeCode = [](ts::RawClient& c) {
    for (int i = 0; i < 10; ++i) {
      auto f = c.readFrame();
      if (!f) return -1;
      if (f->opcode == 8)
        return f->payload.size() >= 2 ? (static_cast<uint8_t>(f->payload[0]) << 8) | static_cast<uint8_t>(f->payload[1]) : 0;
    }
    return -1;
  };
  {
    ts::RawClient c(s.port);
    c.sendBytes(std::string(70000, 'G'));
    EXPECT_TRUE(c.peerClosed());
  }
  {
    ts::RawClient c(s.port);  // a header past the limit
    c.sendBytes("GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n");
    EXPECT_TRUE(c.peerClosed());
  }
  {
    ts::RawClient c(s.port);  // a TLS hello on the plain port
    c.sendBytes(std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11) + std::string(200, '\0'));
    EXPECT_TRUE(c.peerClosed());
  }
  {
    ts::RawClient c(s.port);
    ASSERT_TRUE(c.upgrade("x"));
    c.sendFrame(1, R"({"t":"ping"})");
    auto pong = c.readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->payload, R"({"t":"pong"})");
    c.sendFrame(1, "{\"t\":\"\xff\"}");  // not UTF-8
    EXPECT_EQ(closeCode(c), 1007);
  }
  {
    ts::RawClient c(s.port);
    ASSERT_TRUE(c.upgrade("x"));
    c.sendFrame(1, R"({"t":"ping"})", false);  // clients must mask
    EXPECT_EQ(closeCode(c), 1002);
  }
  {
    ts::RawClient c(s.port);
    ASSERT_TRUE(c.upgrade("x"));
    std::string huge = "\x81\xFF";  // a 64-bit length no one could send
    for (int i = 0; i < 8; ++i) huge.push_back(static_cast<char>(0x7F));
    c.sendBytes(huge + std::string(4, '\0'));  // and the mask key
    EXPECT_EQ(closeCode(c), 1009);
  }
  auto lines = s.session(stepsText({Open("a"), Send("a", kPing), Recv("a")}));
  EXPECT_EQ(textsOf(lines, "a"), std::vector<json>{kPong}) << lastError(lines);
}

}  // namespace

namespace {

TEST(SignalBinary, RelayCredentialsGoToBothSidesAndTheSecretToNeither) {
  std::string dir = ts::makeTempDir("signal-turn");
  const std::string secret = "very-secret-relay-key";
  ts::writeFile(dir + "/secret", secret + "\n");
  ts::SignalProcess s({"--stun", "stun:stun.test:3478", "--turn", "turn:relay.test:3478,turn:relay.test:3478?transport=tcp",
                       "--turn-secret", dir + "/secret", "--turn-ttl", "600"});
  ASSERT_GT(s.port, 0) << s.proc->output();
  int status = 0;
  auto t0 = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto lines = s.session(stepsText({Open("h"), Send("h", HostMsg()), Recv("h"), Open("p"), Send("p", JoinMsg()),
                                    Recv("p"), Recv("h")}),
                         &status);
  ASSERT_EQ(status, 0) << lastError(lines);
  auto h = textsOf(lines, "h"), p = textsOf(lines, "p");
  ASSERT_EQ(h.size(), 2u);
  ASSERT_EQ(p.size(), 1u);
  json turn = p[0]["turn"];
  EXPECT_EQ(h[1]["turn"], turn);
  EXPECT_EQ(turn["urls"], json({"turn:relay.test:3478", "turn:relay.test:3478?transport=tcp"}));
  std::string user = turn["username"];
  int64_t expiry = std::stoll(user.substr(0, user.find(':')));
  EXPECT_GE(expiry, t0 + 600);
  EXPECT_LE(expiry, t0 + 660);
  EXPECT_EQ(TurnCredentials::password(secret, user), turn["credential"]);
  EXPECT_EQ(p[0]["ice"], json({"stun:stun.test:3478"}));
  for (const auto& l : lines) EXPECT_EQ(l.dump().find(secret), std::string::npos);
  EXPECT_EQ(s.proc->output().find(secret), std::string::npos);
  EXPECT_NE(s.proc->output().find("[signal] turn turn:relay.test:3478 turn:relay.test:3478?transport=tcp"),
            std::string::npos)
      << s.proc->output();
  ts::removeTree(dir);
}

TEST(SignalBinary, UnusableSecretFileStopsTheStart) {
  std::string dir = ts::makeTempDir("signal-turn");
  ts::writeFile(dir + "/empty", "\n");
  for (const std::string& file : {dir + "/missing", dir + "/empty", dir}) {
    ts::Child c({TOLVANE_SIGNAL_BIN, "--bind", "127.0.0.1", "--port", "0", "--turn", "turn:relay.test",
                 "--turn-secret", file});
    EXPECT_EQ(c.exited(5s), std::optional<int>(1)) << file;
    EXPECT_NE(c.output().find("tolvane-signal: "), std::string::npos) << c.output();
    EXPECT_NE(c.output().find(file), std::string::npos) << c.output();
    EXPECT_EQ(c.output().find("listening"), std::string::npos) << c.output();
  }
  ts::Child halfway({TOLVANE_SIGNAL_BIN, "--port", "0", "--turn", "turn:relay.test"});
  EXPECT_EQ(halfway.exited(5s), std::optional<int>(2));
  ts::removeTree(dir);
}

}  // namespace
