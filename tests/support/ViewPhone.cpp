#include "support/ViewPhone.h"

#include "app/Crypto.h"
#include "support/TestSupport.h"

using nlohmann::json;

namespace ts {

namespace {
std::string startCode() { return std::string("\0\0\0\1", 4); }

// SPS and PPS from an AVC decoder configuration record.
std::string fromConfig(const std::vector<uint8_t>& d) {
  std::string out;
  size_t i = 5;
  if (d.size() < 6) return out;
  int nsps = d[i++] & 0x1f;
  for (int k = 0; k < nsps && i + 2 <= d.size(); ++k) {
    size_t n = size_t(d[i]) << 8 | d[i + 1];
    if (i + 2 + n > d.size()) return out;
    out += startCode() + std::string(d.begin() + i + 2, d.begin() + i + 2 + n);
    i += 2 + n;
  }
  if (i >= d.size()) return out;
  int npps = d[i++];
  for (int k = 0; k < npps && i + 2 <= d.size(); ++k) {
    size_t n = size_t(d[i]) << 8 | d[i + 1];
    if (i + 2 + n > d.size()) return out;
    out += startCode() + std::string(d.begin() + i + 2, d.begin() + i + 2 + n);
    i += 2 + n;
  }
  return out;
}

std::string fromFrame(const std::string& f, size_t at) {
  std::string out;
  while (at + 4 <= f.size()) {
    size_t n = size_t(uint8_t(f[at])) << 24 | size_t(uint8_t(f[at + 1])) << 16 | size_t(uint8_t(f[at + 2])) << 8 |
               size_t(uint8_t(f[at + 3]));
    if (at + 4 + n > f.size()) break;
    out += startCode() + f.substr(at + 4, n);
    at += 4 + n;
  }
  return out;
}
}  // namespace

ViewPhone::ViewPhone(int port, const std::string& token) : client(port) { ok_ = client.upgrade(token); }

void ViewPhone::send(const json& m) { client.sendFrame(1, m.dump()); }

bool ViewPhone::readOne(std::chrono::milliseconds limit) {
  auto f = client.readFrame(limit);
  if (!f) return false;
  if (f->opcode == 1) {
    json j = json::parse(f->payload, nullptr, false);
    texts_.push_back(j);
    if (j.is_object() && j.value("t", "") == "config") {
      Segment s;
      if (auto d = base64Decode(j.value("desc", ""))) s.annexb = fromConfig(*d);
      segments_.push_back(std::move(s));
    }
  } else if (f->opcode == 2 && f->payload.size() > 11 && !segments_.empty()) {
    size_t ids = uint8_t(f->payload[10]);
    segments_.back().annexb += fromFrame(f->payload, 11 + 4 * ids);
    segments_.back().frames++;
  }
  return true;
}

bool ViewPhone::waitText(const std::function<bool(const json&)>& pred, std::chrono::milliseconds limit) {
  for (const auto& t : texts_)
    if (pred(t)) return true;
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    size_t before = texts_.size();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (!readOne(std::max(left, std::chrono::milliseconds(1)))) return false;
    if (texts_.size() > before && pred(texts_.back())) return true;
  }
  return false;
}

bool ViewPhone::waitFrames(size_t segment, size_t frames, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (framesIn(segment) < frames) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !readOne(left)) return false;
  }
  return true;
}

void ViewPhone::pump(std::chrono::milliseconds span) {
  auto end = std::chrono::steady_clock::now() + span;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !readOne(left)) return;
  }
}

std::vector<json> ViewPhone::texts(const std::string& t) const {
  std::vector<json> out;
  for (const auto& j : texts_)
    if (j.is_object() && j.value("t", "") == t) out.push_back(j);
  return out;
}

size_t ViewPhone::framesIn(size_t segment) const {
  return segment < segments_.size() ? segments_[segment].frames : 0;
}

void ViewPhone::writeSegment(size_t segment, const std::string& path) const {
  writeFile(path, segment < segments_.size() ? segments_[segment].annexb : std::string());
}

}  // namespace ts
