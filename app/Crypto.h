#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

std::vector<uint8_t> sha1(const std::string& data);
std::string sha256hex(const std::string& data);
std::string base64Encode(const uint8_t* data, size_t len);
inline std::string base64Encode(const std::vector<uint8_t>& v) { return base64Encode(v.data(), v.size()); }
// Strict: no white space, padding required and correct; nothing otherwise.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);
// Equal texts, compared without leaking where they differ or how long the
// secret is (both sides are hashed first).
bool secretEquals(const std::string& a, const std::string& b);
// 16 secure random bytes as 32 lowercase hex digits.
std::string randomToken();
