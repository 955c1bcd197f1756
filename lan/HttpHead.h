#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One parsed HTTP request head.
struct HttpHead {
  std::vector<std::string> requestLine;  // split on spaces, empty pieces dropped
  std::map<std::string, std::string> headers;  // lower-case names, trimmed values
  std::string path;                            // percent-decoded
  std::string token;                           // first `t` query value, "" if none
};

enum class HeadStatus {
  NeedMore,  // no blank line yet, buffer still small enough
  TooLarge,  // over 16384 bytes without the end of the head: close silently
  BadText,   // head is not UTF-8: close silently
  Complete,
};

constexpr size_t kMaxHead = 16384;

// Looks for a complete head at the front of buf. On Complete, `consumed` is
// the number of bytes up to and including CR LF CR LF.
HeadStatus parseHead(const std::vector<uint8_t>& buf, HttpHead& out, size_t& consumed);

// What the server does with a complete head.
// ClientFile: one of clientFiles() other than the page, named by the path.
enum class Route { MethodNotAllowed, Forbidden, NotFound, Page, Cert, Upgrade, ClientFile };
Route routeFor(const HttpHead& head, const std::string& token);

// The Sec-WebSocket-Accept value for a client key.
std::string wsAccept(const std::string& key);
