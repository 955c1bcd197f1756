#pragma once
// The "stats" journal event: what the transport knew when it asked, plus the
// few figures of the WebRTC report worth keeping. Names the report lacks are
// left out; candidates are never copied, so no address reaches the journal.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace rtc {

struct SnapshotInput {
  std::string tag;         // "periodic", "ice_failed"
  int64_t buffered = 0;    // video channel plus simulated link, at request time
  nlohmann::json rateLog = nlohmann::json::object();
  nlohmann::json rep = nlohmann::json::object();
  // The track pipeline's pushed and dropped counters while it exists.
  std::optional<std::pair<int64_t, int64_t>> pipeline;
  // What the track's own encoder knows ("framesEncoded", "frameWidth",
  // "targetBitrate", ...): fills the names the report lacks.
  nlohmann::json trackEncoder = nlohmann::json::object();
};

nlohmann::json snapshotFields(const SnapshotInput& in, const nlohmann::json& report);

}  // namespace rtc
