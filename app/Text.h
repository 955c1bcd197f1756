#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Strict UTF-8 check (no overlongs, no surrogates, nothing above U+10FFFF).
bool validUtf8(const uint8_t* data, size_t len);
inline bool validUtf8(const std::string& s) {
  return validUtf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
// Percent-decoding of a URL component; nothing for a malformed escape.
std::optional<std::string> percentDecode(const std::string& s);
std::string toLower(std::string s);
std::string trimSpaceTab(const std::string& s);
