#pragma once
// The phone's candidates as handed to the ICE agent, each transport address
// once. A phone with no NAT in front of it (a public IPv6 address, a test
// network) reports a server-reflexive candidate equal to its host candidate.
// libnice 0.1.21 pairs both with each local candidate; a check on one pair is
// then credited to its twin, which it marks "discovered" without a parent,
// and its nomination aborts the process on an assertion. The twin adds no
// path, so it is left out here, as ICE asks of redundant candidates.
#include <set>
#include <string>
#include <tuple>

namespace rtc {

class RemoteCandidates {
public:
  // False for a candidate whose transport address was already admitted in
  // the same media section; true for anything new or not understood.
  bool admit(int mline, const std::string& candidate);
  // The description with repeated candidate lines left out (each m-section
  // counted from 0); the rest byte for byte as it came.
  std::string prune(const std::string& sdp);
  void clear() { seen_.clear(); }

private:
  std::set<std::tuple<int, std::string>> seen_;
};

// "component transport address port tcptype" of a candidate line, lower
// case, or "" when it is not a candidate this can read.
std::string candidateAddressKey(const std::string& candidate);

}  // namespace rtc
