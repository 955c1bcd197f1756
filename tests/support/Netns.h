#pragma once
// Keeps a test program off every real network: the program starts itself again
// inside a network namespace of its own where only loopback is up, with
// 127.0.0.2 added (Python's ICE stack in the test phones skips 127.0.0.1).
// Peer connections made there can reach nothing but each other.

namespace ts {

// The variable that marks a process (and its children) as already inside.
inline constexpr const char* kNetnsMarker = "TOLVANE_NETNS";

// Call first in main(). Outside a namespace it re-executes this binary with
// the same arguments under `unshare -n` and does not return; inside (or when
// only listing tests) it returns at once. Exits with status 1 when no
// namespace can be made, so a test never falls back to the real network.
void enterPrivateNetwork(int argc, char** argv);

}  // namespace ts
