#include "signal/TurnCredentials.h"

#include "app/Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace {

std::vector<uint8_t> hmac(const EVP_MD* md, const std::string& key, const std::string& message) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(md, key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
       message.size(), out, &len);
  return std::vector<uint8_t>(out, out + len);
}

// A secret file is a few dozen bytes; anything this large is the wrong file.
constexpr size_t kMaxSecret = 4096;

}  // namespace

TurnCredentials::TurnCredentials(std::vector<std::string> urls, std::string secret, int64_t ttlSeconds)
    : now([] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
      }),
      urls_(std::move(urls)), secret_(std::move(secret)), ttl_(ttlSeconds) {}

std::string TurnCredentials::password(const std::string& secret, const std::string& user) {
  return base64Encode(hmac(EVP_sha1(), secret, user));
}

std::string TurnCredentials::roomTag(const std::string& secret, const std::string& rid) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  auto mac = hmac(EVP_sha256(), secret, "room:" + rid);
  for (size_t i = 0; i < 8 && i < mac.size(); ++i) {
    hex += digits[mac[i] >> 4];
    hex += digits[mac[i] & 15];
  }
  return hex;
}

nlohmann::json TurnCredentials::forRoom(const std::string& rid) const {
  if (urls_.empty()) return nullptr;
  std::string user = std::to_string(now() + ttl_) + ":" + roomTag(secret_, rid);
  return {{"urls", urls_}, {"username", user}, {"credential", password(secret_, user)}};
}

bool TurnCredentials::validUrl(const std::string& url) {
  std::string rest;
  if (url.rfind("turns:", 0) == 0) rest = url.substr(6);
  else if (url.rfind("turn:", 0) == 0) rest = url.substr(5);
  else return false;
  if (rest.empty() || rest.size() > 400 || rest[0] == '/' || rest[0] == ':' || rest[0] == '?') return false;
  // Credentials travel beside the URL, never inside it.
  for (char c : rest)
    if (static_cast<unsigned char>(c) <= ' ' || c == '@' || c == '/' || c == '\\' || c == '#' || c == ',' ||
        static_cast<unsigned char>(c) >= 0x7f)
      return false;
  return true;
}

std::optional<std::string> TurnCredentials::readSecret(const std::string& path, std::string& error) {
  std::error_code ec;
  std::ifstream in;
  if (!std::filesystem::is_directory(path, ec)) in.open(path, std::ios::binary);
  std::string text(kMaxSecret + 1, '\0');
  if (in) in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (!in.is_open() || in.bad()) {
    error = "cannot read the TURN secret file " + path;
    return std::nullopt;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxSecret) {
    error = "the TURN secret file " + path + " is larger than 4096 bytes";
    return std::nullopt;
  }
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t a = 0, b = text.size();
  while (a < b && space(text[a])) ++a;
  while (b > a && space(text[b - 1])) --b;
  if (a == b) {
    error = "the TURN secret file " + path + " is empty";
    return std::nullopt;
  }
  return text.substr(a, b - a);
}
