#include "app/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

std::vector<uint8_t> sha1(const std::string& data) {
  std::vector<uint8_t> out(SHA_DIGEST_LENGTH);
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
  return out;
}

static std::vector<uint8_t> sha256(const std::string& data) {
  std::vector<uint8_t> out(SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
  return out;
}

std::string sha256hex(const std::string& data) {
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (uint8_t b : sha256(data)) {
    s.push_back(hex[b >> 4]);
    s.push_back(hex[b & 15]);
  }
  return s;
}

std::string base64Encode(const uint8_t* data, size_t len) {
  std::string out(4 * ((len + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(len));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  // EVP_DecodeBlock skips white space and mishandles padding; check first.
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum || c == '+' || c == '/') {
      if (pad) return std::nullopt;
    } else if (c == '=') {
      if (i + 2 < text.size()) return std::nullopt;
      ++pad;
    } else {
      return std::nullopt;
    }
  }
  std::vector<uint8_t> out(text.size() / 4 * 3);
  if (!text.empty()) {
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
  }
  out.resize(out.size() - pad);
  return out;
}

bool secretEquals(const std::string& a, const std::string& b) {
  auto ha = sha256(a), hb = sha256(b);
  return CRYPTO_memcmp(ha.data(), hb.data(), ha.size()) == 0;
}

std::string randomToken() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no secure random source");
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) {
    s.push_back(hex[b >> 4]);
    s.push_back(hex[b & 15]);
  }
  return s;
}
