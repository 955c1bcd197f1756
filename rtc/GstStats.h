#pragma once
// webrtcbin's statistics as our JSON report: id -> object with "type" and
// camelCase values, address fields of webrtcbin's own statistics left out.
#include "rtc/GstCore.h"

#include <nlohmann/json.hpp>

namespace rtc::gst {

// The "get-stats" reply: a structure of statistics structures.
nlohmann::json statsToJson(const GstStructure* reply);
// The ICE agent's selected pair as "transport", "candidate-pair",
// "local-candidate" and "remote-candidate" entries; the candidates carry
// their "address" for classification inside the host, which must never copy
// it into a journal or a message. An empty object before a pair is selected. Reads webrtcbin's properties, so
// never call it from a completion.
nlohmann::json selectedPairStats(GstElement* webrtc);
// The ICE transport under the data channels (SCTP -> DTLS -> ICE), with a
// reference for the caller; nullptr before webrtcbin made it. Reads
// webrtcbin's properties: same rule as above.
GObject* dataIceTransport(GstElement* webrtc);
// The DTLS transport below them (a reference of the caller's), or nullptr.
GObject* dataDtlsTransport(GstElement* webrtc);

}  // namespace rtc::gst
