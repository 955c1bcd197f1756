#include "rtc/TrackSdp.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>

namespace rtc {

namespace {

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string param(const CodecCapability& c, const char* key) {
  auto it = c.params.find(key);
  return it == c.params.end() ? std::string() : it->second;
}

std::vector<std::string> lines(const std::string& sdp) {
  std::vector<std::string> out;
  std::istringstream in(sdp);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    out.push_back(std::move(l));
  }
  return out;
}

std::optional<int> number(const std::string& s) {
  if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  return std::stoi(s);
}

}  // namespace

std::vector<CodecCapability> trackSenderCapabilities() {
  // High first: the encoder's default preset makes it, and Chromium decodes
  // all three. Level 3.1 is what is announced; the answer's level is raised.
  std::vector<CodecCapability> caps;
  for (const char* pli : {"42e01f", "4d001f", "64001f"})
    caps.push_back({"H264", {{"packetization-mode", "1"}, {"profile-level-id", pli}, {"level-asymmetry-allowed", "1"}}});
  return caps;
}

std::vector<CodecCapability> h264Preferences(std::vector<CodecCapability> caps) {
  std::erase_if(caps, [](const CodecCapability& c) { return upper(c.name) != "H264"; });
  std::stable_sort(caps.begin(), caps.end(), [](const CodecCapability& a, const CodecCapability& b) {
    std::string pa = param(a, "packetization-mode"), pb = param(b, "packetization-mode");
    if (pa != pb) return pa > pb;
    return param(a, "profile-level-id") > param(b, "profile-level-id");
  });
  return caps;
}

std::vector<H264Variant> trackVariants(const std::vector<CodecCapability>& prefs) {
  std::vector<H264Variant> out;
  int pt = 96;
  for (const auto& c : prefs) {
    H264Variant v;
    v.profileLevelId = param(c, "profile-level-id");
    v.packetizationMode = number(param(c, "packetization-mode")).value_or(0);
    v.payloadType = pt++;
    out.push_back(v);
  }
  return out;
}

std::optional<H264Variant> answeredVariant(const std::string& sdp) {
  std::vector<std::string> payloads;
  std::map<std::string, std::string> rtpmap, fmtp;
  bool inVideo = false, seenVideo = false;
  for (const std::string& l : lines(sdp)) {
    if (l.rfind("m=", 0) == 0) {
      if (seenVideo) break;  // only the first video section
      inVideo = l.rfind("m=video ", 0) == 0;
      if (!inVideo) continue;
      seenVideo = true;
      std::istringstream in(l);
      std::string word;
      for (int i = 0; in >> word; ++i)
        if (i >= 3) payloads.push_back(word);
      continue;
    }
    if (!inVideo) continue;
    auto attr = [&l](const char* prefix, std::map<std::string, std::string>& into) {
      if (l.rfind(prefix, 0) != 0) return;
      std::string rest = l.substr(std::string(prefix).size());
      size_t sp = rest.find(' ');
      if (sp == std::string::npos) return;
      into.emplace(rest.substr(0, sp), rest.substr(sp + 1));
    };
    attr("a=rtpmap:", rtpmap);
    attr("a=fmtp:", fmtp);
  }
  for (const std::string& pt : payloads) {
    auto m = rtpmap.find(pt);
    if (m == rtpmap.end() || upper(m->second.substr(0, m->second.find('/'))) != "H264") continue;
    auto n = number(pt);
    if (!n) continue;
    H264Variant v;
    v.payloadType = *n;
    v.packetizationMode = 0;
    if (auto f = fmtp.find(pt); f != fmtp.end()) {
      std::istringstream in(f->second);
      for (std::string kv; std::getline(in, kv, ';');) {
        size_t eq = kv.find('=');
        if (eq == std::string::npos) continue;
        std::string k = kv.substr(0, eq), val = kv.substr(eq + 1);
        k.erase(0, k.find_first_not_of(' '));
        if (k == "profile-level-id") v.profileLevelId = val;
        else if (k == "packetization-mode") v.packetizationMode = number(val).value_or(0);
      }
    }
    return v;
  }
  return std::nullopt;
}

std::vector<std::string> h264Fmtp(const std::string& sdp) {
  std::vector<std::string> out;
  for (auto& l : lines(sdp))
    if (l.find("profile-level-id") != std::string::npos) out.push_back(l);
  return out;
}

std::string raiseH264Level(const std::string& sdp) {
  static const std::regex re("profile-level-id=([0-9a-fA-F]{4})[0-9a-fA-F]{2}");
  // By hand: in a format string "$134" would be read as group 13, then "4".
  std::string out;
  auto from = sdp.cbegin();
  for (std::sregex_iterator it(sdp.begin(), sdp.end(), re), end; it != end; ++it) {
    const std::smatch& m = *it;
    out.append(from, m[0].first);
    out += "profile-level-id=" + m[1].str() + "34";
    from = m[0].second;
  }
  out.append(from, sdp.cend());
  return out;
}

}  // namespace rtc
