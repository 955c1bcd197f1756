#include "lan/HttpHead.h"

#include "app/Crypto.h"
#include "app/Text.h"
#include "lan/ClientFiles.h"

#include <algorithm>
#include <cstring>

namespace {

std::vector<std::string> split(const std::string& s, const std::string& sep, bool dropEmpty) {
  std::vector<std::string> out;
  size_t from = 0;
  while (true) {
    size_t at = s.find(sep, from);
    std::string piece = s.substr(from, at == std::string::npos ? std::string::npos : at - from);
    if (!(dropEmpty && piece.empty())) out.push_back(piece);
    if (at == std::string::npos) break;
    from = at + sep.size();
  }
  return out;
}

// The request target read the way a URL parser reads "http://x" + target.
void readTarget(const std::string& target, HttpHead& out) {
  std::string t = target;
  auto hash = t.find('#');
  if (hash != std::string::npos) t.resize(hash);
  std::string rawPath = t, query;
  auto q = t.find('?');
  if (q != std::string::npos) {
    rawPath = t.substr(0, q);
    query = t.substr(q + 1);
  }
  out.path = percentDecode(rawPath).value_or("");
  out.token.clear();
  if (q == std::string::npos) return;
  for (const auto& item : split(query, "&", false)) {
    auto eq = item.find('=');
    std::string name = item.substr(0, eq);
    if (percentDecode(name).value_or("") != "t") continue;
    if (eq != std::string::npos) out.token = percentDecode(item.substr(eq + 1)).value_or("");
    return;  // the first item named t decides, even when it has no value
  }
}

}  // namespace

HeadStatus parseHead(const std::vector<uint8_t>& buf, HttpHead& out, size_t& consumed) {
  static const uint8_t kEnd[4] = {'\r', '\n', '\r', '\n'};
  auto it = std::search(buf.begin(), buf.end(), kEnd, kEnd + 4);
  if (it == buf.end()) return buf.size() > kMaxHead ? HeadStatus::TooLarge : HeadStatus::NeedMore;
  size_t headLen = static_cast<size_t>(it - buf.begin());
  consumed = headLen + 4;
  if (!validUtf8(buf.data(), headLen)) return HeadStatus::BadText;
  std::string head(reinterpret_cast<const char*>(buf.data()), headLen);
  auto lines = split(head, "\r\n", false);
  out = HttpHead{};
  out.requestLine = split(lines.empty() ? std::string() : lines[0], " ", true);
  for (size_t i = 1; i < lines.size(); ++i) {
    auto colon = lines[i].find(':');
    if (colon == std::string::npos) continue;
    out.headers[toLower(lines[i].substr(0, colon))] = trimSpaceTab(lines[i].substr(colon + 1));
  }
  if (out.requestLine.size() >= 2) readTarget(out.requestLine[1], out);
  return HeadStatus::Complete;
}

Route routeFor(const HttpHead& head, const std::string& token) {
  if (head.requestLine.size() < 2 || head.requestLine[0] != "GET") return Route::MethodNotAllowed;
  // Constant-time: the token is the only secret between the LAN and the desktop.
  if (token.empty() || !secretEquals(head.token, token)) return Route::Forbidden;
  if (head.path == "/ws") {
    auto up = head.headers.find("upgrade");
    bool isWs = up != head.headers.end() && toLower(up->second) == "websocket";
    if (isWs && head.headers.count("sec-websocket-key")) return Route::Upgrade;
    return Route::NotFound;
  }
  if (head.path == "/" || head.path == "/index.html") return Route::Page;
  if (head.path == "/cert.cer") return Route::Cert;
  if (clientFileFor(head.path)) return Route::ClientFile;
  return Route::NotFound;
}

std::string wsAccept(const std::string& key) {
  return base64Encode(sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}
