#include "rtc/PeerFactory.h"

#include "rtc/GstPeer.h"

#include <gst/gst.h>

std::shared_ptr<rtc::PeerFactory> makePeerFactory(bool verbose) {
  auto factory = std::make_shared<rtc::GstPeerFactory>();  // initialises GStreamer
  if (verbose) gst_debug_set_threshold_from_string("webrtc*:INFO,nice*:INFO,dtls*:INFO,sctp*:INFO", FALSE);
  return factory;
}
