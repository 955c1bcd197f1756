#include "rtc/GstConvert.h"

#include <cctype>

namespace rtc::gst {

namespace {

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Drops the "scheme:" or "scheme://" prefix.
std::string_view afterScheme(std::string_view url, std::string_view scheme) {
  url.remove_prefix(scheme.size() + 1);
  if (startsWith(url, "//")) url.remove_prefix(2);
  return url;
}

// Splits an SDP text into lines, each keeping its own line ending.
std::vector<std::string_view> sdpLines(std::string_view sdp) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  while (pos < sdp.size()) {
    size_t nl = sdp.find('\n', pos);
    size_t end = nl == std::string_view::npos ? sdp.size() : nl + 1;
    out.push_back(sdp.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

std::string_view trimEol(std::string_view l) {
  while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
  return l;
}

}  // namespace

std::optional<std::string> stunServerUri(const std::string& url) {
  if (!startsWith(url, "stun:")) return std::nullopt;
  std::string_view rest = afterScheme(url, "stun");
  if (rest.empty()) return std::nullopt;
  return "stun://" + std::string(rest);
}

std::optional<std::string> turnServerUri(const std::string& url, const std::string& user,
                                         const std::string& password) {
  std::string_view scheme;
  if (startsWith(url, "turns:")) {
    scheme = "turns";
  } else if (startsWith(url, "turn:")) {
    scheme = "turn";
  } else {
    return std::nullopt;
  }
  std::string_view rest = afterScheme(url, scheme);
  if (rest.empty()) return std::nullopt;
  return std::string(scheme) + "://" + percentEncode(user) + ":" + percentEncode(password) + "@" +
         std::string(rest);
}

std::string percentEncode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::optional<IceState> iceStateFromNick(std::string_view n) {
  if (n == "new") return IceState::New;
  if (n == "checking") return IceState::Checking;
  if (n == "connected") return IceState::Connected;
  if (n == "completed") return IceState::Completed;
  if (n == "failed") return IceState::Failed;
  if (n == "disconnected") return IceState::Disconnected;
  if (n == "closed") return IceState::Closed;
  return std::nullopt;
}

std::optional<PeerState> peerStateFromNick(std::string_view n) {
  if (n == "new") return PeerState::New;
  if (n == "connecting") return PeerState::Connecting;
  if (n == "connected") return PeerState::Connected;
  if (n == "disconnected") return PeerState::Disconnected;
  if (n == "failed") return PeerState::Failed;
  if (n == "closed") return PeerState::Closed;
  return std::nullopt;
}

std::optional<GatheringState> gatheringStateFromNick(std::string_view n) {
  if (n == "new") return GatheringState::New;
  if (n == "gathering") return GatheringState::Gathering;
  if (n == "complete") return GatheringState::Complete;
  return std::nullopt;
}

std::optional<ChannelState> channelStateFromNick(std::string_view n) {
  if (n == "connecting") return ChannelState::Connecting;
  if (n == "open") return ChannelState::Open;
  if (n == "closing") return ChannelState::Closing;
  if (n == "closed") return ChannelState::Closed;
  return std::nullopt;
}

std::string camelCase(std::string_view dashed) {
  std::string out;
  bool up = false;
  for (char c : dashed) {
    if (c == '-' || c == '_') {
      up = !out.empty();
      continue;
    }
    out += up ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    up = false;
  }
  return out;
}

bool isAddressKey(std::string_view k) {
  return k == "address" || k == "ip" || k == "ipaddr" || k == "url" || k == "relatedAddress" ||
         k == "relayAddress" || k == "hostname";
}

std::vector<std::string> sdpMids(const std::string& sdp) {
  std::vector<std::string> mids;
  for (std::string_view l : sdpLines(sdp)) {
    l = trimEol(l);
    if (startsWith(l, "m=")) {
      mids.emplace_back();
    } else if (startsWith(l, "a=mid:") && !mids.empty() && mids.back().empty()) {
      mids.back() = std::string(l.substr(6));
    }
  }
  return mids;
}

std::string withMaxMessageSize(const std::string& sdp, uint64_t size) {
  std::vector<std::string_view> lines = sdpLines(sdp);
  std::string eol = sdp.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string attr = "a=max-message-size:" + std::to_string(size) + eol;
  std::string out;
  // One pass over the sections: an application section without the
  // attribute gets it after its a=sctp-port line, or at its end.
  bool inApp = false, has = false, placed = false;
  auto closeSection = [&] {
    if (inApp && !has && !placed) out += attr;
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view l = trimEol(lines[i]);
    if (startsWith(l, "m=")) {
      closeSection();
      inApp = startsWith(l, "m=application");
      has = placed = false;
      if (inApp) {
        // Look ahead: does this section carry the attribute already?
        for (size_t j = i + 1; j < lines.size() && !startsWith(lines[j], "m="); ++j)
          if (startsWith(lines[j], "a=max-message-size:")) has = true;
      }
    }
    out += lines[i];
    if (!lines[i].empty() && lines[i].back() != '\n') out += eol;  // last line without ending
    if (inApp && !has && !placed && startsWith(l, "a=sctp-port:")) {
      out += attr;
      placed = true;
    }
  }
  closeSection();
  return out;
}

}  // namespace rtc::gst
