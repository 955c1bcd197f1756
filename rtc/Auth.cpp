#include "rtc/Auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <vector>

static std::vector<unsigned char> hmac(const std::string& key, const std::string& message) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), out, &len);
  return std::vector<unsigned char>(out, out + len);
}

std::string macFor(const std::string& key, const std::string& message) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : hmac(key, message)) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

static int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool macOK(const std::string& key, const std::string& message, const std::string& code) {
  if (code.empty() || code.size() % 2 != 0) return false;
  std::vector<unsigned char> given;
  given.reserve(code.size() / 2);
  for (size_t i = 0; i < code.size(); i += 2) {
    int hi = hexValue(code[i]), lo = hexValue(code[i + 1]);
    if (hi < 0 || lo < 0) return false;
    given.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  auto want = hmac(key, message);
  // Checked before CRYPTO_memcmp, which reads both buffers for the length given.
  if (given.size() != want.size()) return false;
  return CRYPTO_memcmp(given.data(), want.data(), want.size()) == 0;
}
