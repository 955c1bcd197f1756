#include "session/Messages.h"

#include "app/Crypto.h"
#include "app/Log.h"
#include "session/FlatJson.h"

#include <cstring>

using nlohmann::json;

std::string helloMessage(bool test, bool ax, bool screen, const std::string& name) {
  return jsonText({{"t", "hello"},
                   {"test", test},
                   {"ax", ax},
                   {"screen", screen},
                   {"caps", {"clip", "files", "browse", "apps", "audio", "awake"}},
                   {"ver", "1.1.3"},
                   {"name", name}});
}

std::string appMessage(const std::string& name) { return jsonText({{"t", "app"}, {"name", name}}); }

std::string configMessage(const std::string& codec, const std::vector<uint8_t>& desc, int w, int h) {
  return jsonText({{"t", "config"}, {"codec", codec}, {"desc", base64Encode(desc)}, {"w", w}, {"h", h}});
}

std::string errorMessage(const std::string& code, const std::string& msg) {
  return jsonText({{"t", "error"}, {"code", code}, {"msg", msg}});
}

std::string warnMessage(const std::string& code, const std::string& msg) {
  return jsonText({{"t", "warn"}, {"code", code}, {"msg", msg}});
}

std::vector<uint8_t> videoPacket(const std::vector<uint8_t>& frame, bool key, double captureMs,
                                 const std::vector<uint32_t>& ids) {
  size_t n = ids.size() > 255 ? 255 : ids.size();
  std::vector<uint8_t> p;
  p.reserve(11 + 4 * n + frame.size());
  p.push_back(1);
  p.push_back(key ? 1 : 0);
  uint64_t bits;
  std::memcpy(&bits, &captureMs, 8);
  for (int i = 7; i >= 0; --i) p.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  p.push_back(static_cast<uint8_t>(n));
  for (size_t i = 0; i < n; ++i)
    for (int b = 3; b >= 0; --b) p.push_back(static_cast<uint8_t>(ids[i] >> (8 * b)));
  p.insert(p.end(), frame.begin(), frame.end());
  return p;
}

std::optional<json> parseControl(const std::string& text) {
  // Most messages, upload chunks above all, are flat objects read quickly;
  // the rest go through the general parser.
  json m;
  if (auto flat = parseFlatObject(text)) m = std::move(*flat);
  else m = json::parse(text, nullptr, false);
  if (m.is_discarded() || !m.is_object()) return std::nullopt;
  auto t = m.find("t");
  if (t == m.end() || !t->is_string()) return std::nullopt;
  return m;
}

double numField(const json& m, const char* key, double dflt) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_number()) return dflt;
  return it->get<double>();
}

std::string strField(const json& m, const char* key, const std::string& dflt) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_string()) return dflt;
  return it->get<std::string>();
}
