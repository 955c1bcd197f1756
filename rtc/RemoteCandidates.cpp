#include "rtc/RemoteCandidates.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace rtc {

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool startsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

}  // namespace

std::string candidateAddressKey(const std::string& candidate) {
  std::string text = candidate;
  if (startsWith(text, "a=")) text.erase(0, 2);
  if (!startsWith(text, "candidate:")) return "";
  std::istringstream in(text.substr(10));
  std::vector<std::string> f;
  for (std::string w; in >> w && f.size() < 64;) f.push_back(w);
  // foundation component transport priority address port "typ" type ...
  if (f.size() < 8 || f[6] != "typ") return "";
  std::string tcptype;
  for (size_t i = 8; i + 1 < f.size(); i += 2)
    if (f[i] == "tcptype") tcptype = f[i + 1];
  return lower(f[1] + " " + f[2] + " " + f[4] + " " + f[5] + " " + tcptype);
}

bool RemoteCandidates::admit(int mline, const std::string& candidate) {
  std::string key = candidateAddressKey(candidate);
  if (key.empty()) return true;
  return seen_.emplace(mline, key).second;
}

std::string RemoteCandidates::prune(const std::string& sdp) {
  std::string out;
  out.reserve(sdp.size());
  int mline = -1;
  size_t at = 0;
  while (at < sdp.size()) {
    size_t end = sdp.find('\n', at);
    end = end == std::string::npos ? sdp.size() : end + 1;
    std::string line = sdp.substr(at, end - at);
    at = end;
    std::string bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
    if (startsWith(bare, "m=")) ++mline;
    if (startsWith(bare, "a=candidate:") && !admit(mline, bare)) continue;
    out += line;
  }
  return out;
}

}  // namespace rtc
