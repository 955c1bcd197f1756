#include "rtc/StatsSnapshot.h"

#include "rtc/Route.h"

using nlohmann::json;

namespace rtc {

namespace {

const char* const kPairFields[] = {"currentRoundTripTime", "requestsSent",     "responsesReceived",
                                   "requestsReceived",     "responsesSent",    "consentRequestsSent",
                                   "availableOutgoingBitrate", "packetsDiscardedOnSend"};
const char* const kVideoFields[] = {"bytesSent",        "packetsSent",       "framesEncoded",
                                    "framesSent",       "keyFramesEncoded",  "frameWidth",
                                    "frameHeight",      "framesPerSecond",   "qualityLimitationReason",
                                    "totalEncodeTime",  "encoderImplementation", "nackCount",
                                    "pliCount",         "targetBitrate",     "retransmittedBytesSent",
                                    "hugeFramesSent"};

bool isType(const json& s, const char* type) {
  auto t = s.find("type");
  return t != s.end() && t->is_string() && *t == type;
}

// Only numbers and strings: a report value of another shape is not ours to keep.
void copy(json& to, const char* as, const json& from, const char* name) {
  auto it = from.find(name);
  if (it != from.end() && (it->is_number() || it->is_string() || it->is_boolean())) to[as] = *it;
}

}  // namespace

json snapshotFields(const SnapshotInput& in, const json& report) {
  json out = {{"tag", in.tag},
              {"buffered", in.buffered},
              {"rate", in.rateLog.is_object() ? in.rateLog : json::object()},
              {"client_rep", in.rep.is_object() ? in.rep : json::object()}};
  if (!report.is_object()) return out;
  for (const auto& [id, s] : report.items()) {
    if (!s.is_object() || !isType(s, "transport")) continue;
    copy(out, "bytes_sent", s, "bytesSent");
    copy(out, "bytes_recv", s, "bytesReceived");
    break;
  }
  if (const json* pair = selectedPair(report))
    for (const char* f : kPairFields) copy(out, f, *pair, f);
  json video = json::object();
  for (const auto& [id, s] : report.items()) {
    if (!s.is_object() || !isType(s, "outbound-rtp")) continue;
    auto kind = s.find("kind");
    if (kind == s.end() || *kind != "video") continue;
    for (const char* f : kVideoFields) copy(video, f, s, f);
    if (auto cid = s.find("codecId"); cid != s.end() && cid->is_string()) {
      auto codec = report.find(cid->get<std::string>());
      if (codec != report.end() && codec->is_object()) {
        copy(video, "codec", *codec, "mimeType");
        copy(video, "fmtp", *codec, "sdpFmtpLine");
      }
    }
  }
  // webrtcbin neither encodes nor counts frames: our encoder's figures
  // complete what the stack reports, never replace it.
  if (in.trackEncoder.is_object())
    for (const auto& [k, v] : in.trackEncoder.items())
      if (!video.contains(k)) video[k] = v;
  if (in.pipeline) {
    video["pushed"] = in.pipeline->first;
    video["push_dropped"] = in.pipeline->second;
  }
  if (!video.empty()) out["video_out"] = video;
  return out;
}

}  // namespace rtc
