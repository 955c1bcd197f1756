// Request heads, routing, WebSocket framing and the text helpers under them.
#include "app/Crypto.h"
#include "app/Text.h"
#include "lan/ClientFiles.h"
#include "lan/HttpHead.h"
#include "lan/WsFrame.h"

#include <gtest/gtest.h>

namespace {
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

Route route(const std::string& head, const std::string& token = "tok") {
  HttpHead h;
  size_t used = 0;
  auto buf = bytes(head);
  EXPECT_EQ(parseHead(buf, h, used), HeadStatus::Complete) << head;
  return routeFor(h, token);
}
}  // namespace

TEST(HttpHead, WaitsForTheBlankLineAndGivesUpPast16384Bytes) {
  HttpHead h;
  size_t used = 0;
  std::string partial = "GET /?t=tok HTTP/1.1\r\nHost: x\r\n";
  EXPECT_EQ(parseHead(bytes(partial), h, used), HeadStatus::NeedMore);
  std::vector<uint8_t> exact(16384, 'a');
  EXPECT_EQ(parseHead(exact, h, used), HeadStatus::NeedMore);
  exact.push_back('a');
  EXPECT_EQ(parseHead(exact, h, used), HeadStatus::TooLarge);
}

TEST(HttpHead, ConsumesOnlyTheHeadAndRefusesBadUtf8) {
  HttpHead h;
  size_t used = 0;
  std::string text = "GET /ws?t=tok HTTP/1.1\r\nUpgrade: WebSocket\r\nX-Y:  \tv a l\t \r\nno colon\r\n\r\nrest";
  ASSERT_EQ(parseHead(bytes(text), h, used), HeadStatus::Complete);
  EXPECT_EQ(used, text.size() - 4);
  EXPECT_EQ(h.headers["upgrade"], "WebSocket");
  EXPECT_EQ(h.headers["x-y"], "v a l");
  EXPECT_EQ(h.path, "/ws");
  EXPECT_EQ(h.token, "tok");
  auto bad = bytes("GET /\xff HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parseHead(bad, h, used), HeadStatus::BadText);
  auto overlong = bytes("GET /\xc0\xaf HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parseHead(overlong, h, used), HeadStatus::BadText);
}

TEST(HttpHead, RoutesEveryAnswer) {
  EXPECT_EQ(route("GET /?t=tok HTTP/1.1\r\n\r\n"), Route::Page);
  EXPECT_EQ(route("GET /index.html?t=tok HTTP/1.1\r\n\r\n"), Route::Page);
  EXPECT_EQ(route("GET /cert.cer?t=tok HTTP/1.1\r\n\r\n"), Route::Cert);
  EXPECT_EQ(route("GET /other?t=tok HTTP/1.1\r\n\r\n"), Route::NotFound);
  EXPECT_EQ(route("POST /?t=tok HTTP/1.1\r\n\r\n"), Route::MethodNotAllowed);
  EXPECT_EQ(route("GET\r\n\r\n"), Route::MethodNotAllowed);
  EXPECT_EQ(route("get /?t=tok HTTP/1.1\r\n\r\n"), Route::MethodNotAllowed);
  EXPECT_EQ(route("\r\n\r\n"), Route::MethodNotAllowed);
  // Upgrade needs both headers; the value is compared lower-cased.
  EXPECT_EQ(route("GET /ws?t=tok HTTP/1.1\r\nUpgrade: WEBSOCKET\r\nSec-WebSocket-Key: k\r\n\r\n"), Route::Upgrade);
  EXPECT_EQ(route("GET /ws?t=tok HTTP/1.1\r\nSec-WebSocket-Key: k\r\n\r\n"), Route::NotFound);
  EXPECT_EQ(route("GET /ws?t=tok HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"), Route::NotFound);
}

TEST(HttpHead, TokenRuleAppliesToEveryPath) {
  for (std::string path : {"/", "/cert.cer", "/ws", "/nothing"}) {
    EXPECT_EQ(route("GET " + path + " HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: k\r\n\r\n"), Route::Forbidden);
    EXPECT_EQ(route("GET " + path + "?t=wrong HTTP/1.1\r\n\r\n"), Route::Forbidden);
    EXPECT_EQ(route("GET " + path + "?t= HTTP/1.1\r\n\r\n"), Route::Forbidden);
    EXPECT_EQ(route("GET " + path + "?t=tokx HTTP/1.1\r\n\r\n"), Route::Forbidden);
    EXPECT_EQ(route("GET " + path + "?t=to HTTP/1.1\r\n\r\n"), Route::Forbidden);
  }
  // An empty server token refuses everyone, even an empty query value.
  EXPECT_EQ(route("GET /?t= HTTP/1.1\r\n\r\n", ""), Route::Forbidden);
  EXPECT_EQ(route("GET / HTTP/1.1\r\n\r\n", ""), Route::Forbidden);
  // The first `t` decides; percent escapes are decoded; other keys are ignored.
  EXPECT_EQ(route("GET /?a=1&t=tok&t=x HTTP/1.1\r\n\r\n"), Route::Page);
  EXPECT_EQ(route("GET /?t=x&t=tok HTTP/1.1\r\n\r\n"), Route::Forbidden);
  EXPECT_EQ(route("GET /?t=%74ok HTTP/1.1\r\n\r\n"), Route::Page);
  EXPECT_EQ(route("GET /?t=%zz HTTP/1.1\r\n\r\n"), Route::Forbidden);
  EXPECT_EQ(route("GET /?t HTTP/1.1\r\n\r\n"), Route::Forbidden);
}

TEST(HttpHead, ClientFilesAreReachedOnlyByTheirExactListedName) {
  for (const auto& name : clientFiles()) {
    Route want = name == "index.html" ? Route::Page : Route::ClientFile;
    EXPECT_EQ(route("GET /" + name + "?t=tok HTTP/1.1\r\n\r\n"), want) << name;
    EXPECT_EQ(route("GET /" + name + " HTTP/1.1\r\n\r\n"), Route::Forbidden) << name;
    EXPECT_EQ(route("GET /" + name + "?t=wrong HTTP/1.1\r\n\r\n"), Route::Forbidden) << name;
    EXPECT_EQ(route("POST /" + name + "?t=tok HTTP/1.1\r\n\r\n"), Route::MethodNotAllowed) << name;
  }
  // Percent escapes are decoded before the lookup, so they name the same entry.
  EXPECT_EQ(route("GET /vide%6f.js?t=tok HTTP/1.1\r\n\r\n"), Route::ClientFile);
  for (std::string path :
       {"/x.js", "/video", "/video.js/", "/VIDEO.JS", "/client/video.js", "/./video.js", "//video.js",
        "/%2Fvideo.js", "/video.js%00", "/video.js/../index.html", "/../video.js", "/..", "/%2e%2e",
        "/%2e%2e/CMakeLists.txt", "/%2e%2e%2fCMakeLists.txt", "/..%2fclient%2fvideo.js", "/ws.js",
        "/cert.cer.js", "/index.htm", "/.", "/video.js;x", "/video.js\\"}) {
    EXPECT_EQ(route("GET " + path + "?t=tok HTTP/1.1\r\n\r\n"), Route::NotFound) << path;
    EXPECT_EQ(route("GET " + path + " HTTP/1.1\r\n\r\n"), Route::Forbidden) << path;
  }
}

TEST(WebSocketFrames, HandshakeAcceptValueFromTheRfc) {
  EXPECT_EQ(wsAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketFrames, MaskedAndUnmaskedTextDecodeAlike) {
  std::vector<uint8_t> masked = {0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58};
  std::vector<uint8_t> plain = {0x81, 0x05, 'H', 'e', 'l', 'l', 'o'};  // RFC 6455's example
  for (auto* buf : {&masked, &plain}) {
    size_t off = 0;
    WsFrame f;
    ASSERT_EQ(parseFrame(*buf, off, f), FrameStatus::Frame);
    EXPECT_EQ(f.opcode, 1);
    EXPECT_EQ(std::string(f.payload.begin(), f.payload.end()), "Hello");
    EXPECT_EQ(off, buf->size());
  }
}

TEST(WebSocketFrames, WaitsForEveryPartOfAFrame) {
  std::vector<uint8_t> full = {0x82, 0xFE, 0x00, 0x80, 1, 2, 3, 4};
  full.resize(8 + 128, 0xAA);
  for (size_t cut = 0; cut < full.size(); ++cut) {
    std::vector<uint8_t> part(full.begin(), full.begin() + cut);
    size_t off = 0;
    WsFrame f;
    EXPECT_EQ(parseFrame(part, off, f), FrameStatus::NeedMore) << cut;
    EXPECT_EQ(off, 0u);
  }
  size_t off = 0;
  WsFrame f;
  ASSERT_EQ(parseFrame(full, off, f), FrameStatus::Frame);
  EXPECT_EQ(f.payload.size(), 128u);
  EXPECT_EQ(f.payload[0], 0xAA ^ 1);
  EXPECT_EQ(f.payload[5], 0xAA ^ 2);
}

TEST(WebSocketFrames, SixtyFourBitLengthLimit) {
  auto header = [](uint64_t len) {
    std::vector<uint8_t> h = {0x82, 127};
    for (int i = 7; i >= 0; --i) h.push_back(static_cast<uint8_t>(len >> (8 * i)));
    return h;
  };
  size_t off = 0;
  WsFrame f;
  EXPECT_EQ(parseFrame(header(4000000), off, f), FrameStatus::NeedMore);
  EXPECT_EQ(parseFrame(header(4000001), off, f), FrameStatus::TooLarge);
  EXPECT_EQ(parseFrame(header(~0ull), off, f), FrameStatus::TooLarge);
}

TEST(WebSocketFrames, EncodesTheThreeLengthForms) {
  std::vector<uint8_t> p125(125), p126(126), p65536(65536);
  EXPECT_EQ(frameBytes(1, p125.data(), p125.size()).size(), 127u);
  auto f126 = frameBytes(1, p126.data(), p126.size());
  EXPECT_EQ(f126.size(), 130u);
  EXPECT_EQ(std::vector<uint8_t>(f126.begin(), f126.begin() + 4), (std::vector<uint8_t>{0x81, 126, 0x00, 0x7E}));
  auto f64k = frameBytes(2, p65536.data(), p65536.size());
  EXPECT_EQ(f64k.size(), 65536u + 10);
  EXPECT_EQ(f64k[0], 0x82);
  EXPECT_EQ(f64k[1], 127);
  EXPECT_EQ(f64k[7], 0x01);  // 0x00010000 big-endian
  EXPECT_EQ(frameBytes(10, reinterpret_cast<const uint8_t*>("ab"), 2), (std::vector<uint8_t>{0x8A, 0x02, 'a', 'b'}));
  // What we encode, we parse back.
  size_t off = 0;
  WsFrame f;
  ASSERT_EQ(parseFrame(f64k, off, f), FrameStatus::Frame);
  EXPECT_EQ(f.payload.size(), 65536u);
}

TEST(TextHelpers, Utf8Validation) {
  EXPECT_TRUE(validUtf8("héllo → 日本語 ✓ 𝄞"));
  EXPECT_FALSE(validUtf8(std::string("\xed\xa0\x80")));      // surrogate
  EXPECT_FALSE(validUtf8(std::string("\xf4\x90\x80\x80")));  // above U+10FFFF
  EXPECT_FALSE(validUtf8(std::string("\xe6\x97")));          // cut short
  EXPECT_FALSE(validUtf8(std::string("\x80")));
}

TEST(TextHelpers, StrictBase64) {
  EXPECT_EQ(base64Encode(std::vector<uint8_t>{'f', 'o', 'o', 'b'}), "Zm9vYg==");
  EXPECT_EQ(base64Decode("Zm9vYg=="), (std::vector<uint8_t>{'f', 'o', 'o', 'b'}));
  EXPECT_EQ(base64Decode(""), std::vector<uint8_t>{});
  for (std::string bad : {"Zm9vYg=", "Zm9v Yg==", "Zm9vYg=a", "Zm=vYg==", "Zm9vY===", "Zm9\n", "@@@@"})
    EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
}

TEST(TextHelpers, TokensAreRandomHex) {
  auto a = randomToken(), b = randomToken();
  EXPECT_NE(a, b);
  for (const auto& t : {a, b}) {
    EXPECT_EQ(t.size(), 32u);
    EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_TRUE(secretEquals("abc", "abc"));
  EXPECT_FALSE(secretEquals("abc", "abd"));
  EXPECT_FALSE(secretEquals("abc", "abcd"));
}
