#include "rtc/PeerApi.h"

namespace rtc {

const char* iceStateName(IceState s) {
  switch (s) {
    case IceState::New: return "new";
    case IceState::Checking: return "checking";
    case IceState::Connected: return "connected";
    case IceState::Completed: return "completed";
    case IceState::Failed: return "failed";
    case IceState::Disconnected: return "disconnected";
    case IceState::Closed: return "closed";
  }
  return "count";
}

const char* peerStateName(PeerState s) {
  switch (s) {
    case PeerState::New: return "new";
    case PeerState::Connecting: return "connecting";
    case PeerState::Connected: return "connected";
    case PeerState::Disconnected: return "disconnected";
    case PeerState::Failed: return "failed";
    case PeerState::Closed: return "closed";
  }
  return "closed";
}

const char* gatheringStateName(GatheringState s) {
  switch (s) {
    case GatheringState::New: return "new";
    case GatheringState::Gathering: return "gathering";
    case GatheringState::Complete: return "complete";
  }
  return "complete";
}

const char* channelStateName(ChannelState s) {
  switch (s) {
    case ChannelState::Connecting: return "connecting";
    case ChannelState::Open: return "open";
    case ChannelState::Closing: return "closing";
    case ChannelState::Closed: return "closed";
  }
  return "closed";
}

}  // namespace rtc
