#pragma once
#include "rtc/PeerApi.h"

// The WebRTC stack the host runs on. verbose: the stack's own info logging.
std::shared_ptr<rtc::PeerFactory> makePeerFactory(bool verbose);
