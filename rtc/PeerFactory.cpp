#include "rtc/PeerFactory.h"

std::shared_ptr<rtc::PeerFactory> makePeerFactory(bool) { return nullptr; }
