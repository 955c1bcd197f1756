#pragma once
// Short-lived relay credentials in the shared-secret scheme a TURN server
// such as coturn checks with "use-auth-secret": the user name is
// "expiry:tag", the password base64(HMAC-SHA1(secret, user name)). The relay
// server recomputes the password from the same secret, so neither side ever
// holds the secret, and a credential stops working at its expiry.
//
// The tag names the room without giving its id away: TURN user names cross
// the network in the clear and end up in the relay's logs, while the room id
// is what lets a socket host the room. It is a keyed hash of the id, stable
// per room so an operator can still tell rooms apart in the relay's logs.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TurnCredentials {
public:
  // Twelve hours: a relayed session cannot refresh its allocation past the
  // expiry, so this is also the longest a session on the relay can last.
  static constexpr int64_t kDefaultTtl = 12 * 3600;

  TurnCredentials(std::vector<std::string> urls, std::string secret, int64_t ttlSeconds = kDefaultTtl);

  // {"urls":[…],"username","credential"} for the room, in the shape of a
  // browser's RTCIceServer; null without any URL.
  nlohmann::json forRoom(const std::string& rid) const;

  // Unix time in seconds; tests set their own.
  std::function<int64_t()> now;

  static std::string password(const std::string& secret, const std::string& user);
  static std::string roomTag(const std::string& secret, const std::string& rid);
  // "turn:" or "turns:" followed by a host, an optional port and query.
  static bool validUrl(const std::string& url);
  // The secret file's content with surrounding white space removed, or why
  // it is unusable (missing, unreadable, empty, oversized).
  static std::optional<std::string> readSecret(const std::string& path, std::string& error);

private:
  std::vector<std::string> urls_;
  std::string secret_;
  int64_t ttl_;
};
