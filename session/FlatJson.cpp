#include "session/FlatJson.h"

#include <charconv>
#include <cstdint>
#include <cstring>

using nlohmann::json;

namespace {

struct Reader {
  std::string_view s;
  size_t at = 0;

  void space() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n' || s[at] == '\r')) ++at;
  }
  bool take(char c) {
    space();
    if (at < s.size() && s[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  // A string of printable ASCII without escapes; its text.
  std::optional<std::string_view> string() {
    if (!take('"')) return std::nullopt;
    const char* begin = s.data() + at;
    const void* end = std::memchr(begin, '"', s.size() - at);
    if (!end) return std::nullopt;
    const size_t n = static_cast<size_t>(static_cast<const char*>(end) - begin);
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(begin[i]);
      if (c < 0x20 || c > 0x7e || c == '\\') return std::nullopt;
    }
    at += n + 1;
    return std::string_view(begin, n);
  }
  bool word(std::string_view w) {
    if (s.substr(at, w.size()) != w) return false;
    at += w.size();
    return true;
  }
  std::optional<json> value() {
    space();
    if (at >= s.size()) return std::nullopt;
    const char c = s[at];
    if (c == '"') {
      auto v = string();
      if (!v) return std::nullopt;
      return json(std::string(*v));
    }
    if (word("true")) return json(true);
    if (word("false")) return json(false);
    if (word("null")) return json(nullptr);
    if (c == '-' || (c >= '0' && c <= '9')) return integer();
    return std::nullopt;
  }
  // JSON's integer form only (no fraction or exponent), typed as the general
  // parser types it: unsigned when not negative, signed otherwise.
  std::optional<json> integer() {
    const size_t start = at;
    const bool negative = s[at] == '-';
    size_t p = at + (negative ? 1 : 0);
    const size_t digits = p;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
    if (p == digits || (s[digits] == '0' && p - digits > 1)) return std::nullopt;
    if (p < s.size() && (s[p] == '.' || s[p] == 'e' || s[p] == 'E')) return std::nullopt;
    at = p;
    const char* b = s.data() + start;
    const char* e = s.data() + p;
    if (negative) {
      int64_t v = 0;
      auto r = std::from_chars(b, e, v);
      if (r.ec != std::errc() || r.ptr != e) return std::nullopt;
      return json(v);
    }
    uint64_t v = 0;
    auto r = std::from_chars(b, e, v);
    if (r.ec != std::errc() || r.ptr != e) return std::nullopt;
    return json(v);
  }
};

}  // namespace

std::optional<json> parseFlatObject(std::string_view text) {
  Reader r{text};
  if (!r.take('{')) return std::nullopt;
  json out = json::object();
  if (!r.take('}')) {
    do {
      auto key = r.string();
      if (!key || !r.take(':')) return std::nullopt;
      auto v = r.value();
      if (!v) return std::nullopt;
      // A repeated key keeps its last value, as the general parser does.
      out[std::string(*key)] = std::move(*v);
    } while (r.take(','));
    if (!r.take('}')) return std::nullopt;
  }
  r.space();
  if (r.at != text.size()) return std::nullopt;
  return out;
}
