#include "rtc/GstStats.h"

#include "rtc/GstConvert.h"

namespace rtc::gst {

namespace {

nlohmann::json valueToJson(const GValue* v) {
  GType t = G_VALUE_TYPE(v);
  switch (G_TYPE_FUNDAMENTAL(t)) {
    case G_TYPE_BOOLEAN: return static_cast<bool>(g_value_get_boolean(v));
    case G_TYPE_INT: return g_value_get_int(v);
    case G_TYPE_UINT: return g_value_get_uint(v);
    case G_TYPE_INT64: return g_value_get_int64(v);
    case G_TYPE_UINT64: return g_value_get_uint64(v);
    case G_TYPE_DOUBLE: return g_value_get_double(v);
    case G_TYPE_FLOAT: return g_value_get_float(v);
    case G_TYPE_STRING: {
      const char* s = g_value_get_string(v);
      return s ? nlohmann::json(s) : nlohmann::json();
    }
    case G_TYPE_ENUM: {
      GEnumClass* k = static_cast<GEnumClass*>(g_type_class_ref(t));
      GEnumValue* e = g_enum_get_value(k, g_value_get_enum(v));
      nlohmann::json out = e ? nlohmann::json(e->value_nick) : nlohmann::json(g_value_get_enum(v));
      g_type_class_unref(k);
      return out;
    }
    default: return nullptr;  // nested structures, arrays: not part of our report
  }
}

gboolean addValue(GQuark field, const GValue* v, gpointer data) {
  auto* obj = static_cast<nlohmann::json*>(data);
  std::string key = camelCase(g_quark_to_string(field));
  if (isAddressKey(key)) return TRUE;
  nlohmann::json j = valueToJson(v);
  if (!j.is_null()) (*obj)[key] = std::move(j);
  return TRUE;
}

gboolean addStat(GQuark field, const GValue* v, gpointer data) {
  if (!GST_VALUE_HOLDS_STRUCTURE(v)) return TRUE;
  auto* report = static_cast<nlohmann::json*>(data);
  nlohmann::json obj = nlohmann::json::object();
  gst_structure_foreach(gst_value_get_structure(v), addValue, &obj);
  std::string id = obj.contains("id") && obj["id"].is_string() ? obj["id"].get<std::string>()
                                                               : g_quark_to_string(field);
  (*report)[id] = std::move(obj);
  return TRUE;
}

nlohmann::json candidate(const char* type, const std::string& id, const GstWebRTCICECandidateStats* c) {
  nlohmann::json o = {{"type", type}, {"id", id}, {"priority", c->prio}};
  o["candidateType"] = c->type ? c->type : "?";
  o["protocol"] = c->proto ? c->proto : "?";
  if (c->relay_proto) o["relayProtocol"] = c->relay_proto;
  // Kept inside the host only, to tell a private path from a public one;
  // what is journalled or sent is the kind, never this.
  if (c->ipaddr) o["address"] = c->ipaddr;
  return o;
}

template <class T>
T* getObject(gpointer obj, const char* prop) {
  if (!obj || !g_object_class_find_property(G_OBJECT_GET_CLASS(obj), prop)) return nullptr;
  T* out = nullptr;
  g_object_get(obj, prop, &out, nullptr);
  return out;
}

}  // namespace

nlohmann::json statsToJson(const GstStructure* reply) {
  nlohmann::json report = nlohmann::json::object();
  if (reply) gst_structure_foreach(reply, addStat, &report);
  return report;
}

nlohmann::json selectedPairStats(GstElement* webrtc) {
  nlohmann::json out = nlohmann::json::object();
  // webrtcbin exposes no pair for data channels; the ICE stream behind the
  // data channels' transport lets the agent name it.
  GObject* ice = dataIceTransport(webrtc);
  auto* stream = getObject<GstWebRTCICEStream>(ice, "stream");
  auto* agent = getObject<GstWebRTCICE>(webrtc, "ice-agent");
  GstWebRTCICECandidateStats* local = nullptr;
  GstWebRTCICECandidateStats* remote = nullptr;
  if (agent && stream && gst_webrtc_ice_get_selected_pair(agent, stream, &local, &remote)) {
    // webrtcbin has no transport statistic for the data channels' path.
    out["transport-data"] = {{"type", "transport"},
                             {"id", "transport-data"},
                             {"selectedCandidatePairId", "candidate-pair-selected"}};
    out["candidate-pair-selected"] = {{"type", "candidate-pair"},
                                      {"id", "candidate-pair-selected"},
                                      {"localCandidateId", "local-candidate-selected"},
                                      {"remoteCandidateId", "remote-candidate-selected"},
                                      {"nominated", true},
                                      {"selected", true},
                                      {"state", "succeeded"}};
    out["local-candidate-selected"] = candidate("local-candidate", "local-candidate-selected", local);
    out["remote-candidate-selected"] = candidate("remote-candidate", "remote-candidate-selected", remote);
  }
  if (local) gst_webrtc_ice_candidate_stats_free(local);
  if (remote) gst_webrtc_ice_candidate_stats_free(remote);
  for (gpointer o : {static_cast<gpointer>(agent), static_cast<gpointer>(stream), static_cast<gpointer>(ice)})
    if (o) g_object_unref(o);
  return out;
}

GObject* dataDtlsTransport(GstElement* webrtc) {
  auto* sctp = getObject<GObject>(webrtc, "sctp-transport");
  auto* dtls = getObject<GObject>(sctp, "transport");
  if (sctp) g_object_unref(sctp);
  return dtls;
}

GObject* dataIceTransport(GstElement* webrtc) {
  auto* dtls = dataDtlsTransport(webrtc);
  auto* ice = getObject<GObject>(dtls, "transport");
  if (dtls) g_object_unref(dtls);
  return ice;
}

}  // namespace rtc::gst
