#pragma once
// The DTLS certificate a peer shows must be the one its (authenticated)
// description names in a=fingerprint; webrtcbin does not compare the two, so
// without this check a signed answer would not bind the encrypted session.
#include <string>
#include <vector>

namespace rtc {

struct Fingerprint {
  std::string algorithm;  // lower case: "sha-256"
  std::string hex;        // upper-case hex digits, no colons
};

// Every a=fingerprint line of a description, session and media level.
std::vector<Fingerprint> sdpFingerprints(const std::string& sdp);

// The fingerprint of a PEM certificate by that algorithm; empty when the
// certificate cannot be read or the algorithm is unknown.
std::string certificateFingerprint(const std::string& pem, const std::string& algorithm);

// True when the certificate matches one of the fingerprints. No fingerprint,
// or none with a usable algorithm, never matches.
bool certificateMatches(const std::string& pem, const std::vector<Fingerprint>& wanted);

}  // namespace rtc
