// The check that binds the DTLS session to the signed description: the
// certificate's digest as openssl itself prints it, against the SDP's lines.
#include "rtc/DtlsFingerprint.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace rtc;

namespace {

struct Cert {
  std::string pem;
  std::string sha256;  // "AB:CD:..." as openssl prints it
};

Cert makeCert(const std::string& dir, const std::string& name) {
  std::string c = dir + "/" + name + ".pem", k = dir + "/" + name + ".key";
  int st = -1;
  ts::run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
              " -days 1 -keyout " + k + " -out " + c + " 2>/dev/null",
          &st);
  EXPECT_EQ(st, 0);
  std::string fp = ts::run("openssl x509 -noout -fingerprint -sha256 -in " + c);
  size_t eq = fp.find('=');
  std::string hex = eq == std::string::npos ? "" : fp.substr(eq + 1);
  while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r')) hex.pop_back();
  return {ts::readFile(c), hex};
}

std::string sdpWith(const std::string& fingerprintLines) {
  return "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n" + fingerprintLines +
         "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=mid:0\r\n";
}

class DtlsFingerprint : public ::testing::Test {
protected:
  void SetUp() override {
    dir = ts::makeTempDir("dtls-fp");
    a = makeCert(dir, "a");
    b = makeCert(dir, "b");
    ASSERT_FALSE(a.sha256.empty());
  }
  void TearDown() override { ts::removeTree(dir); }
  std::string dir;
  Cert a, b;
};

TEST_F(DtlsFingerprint, MatchesOnlyTheCertificateTheDescriptionNames) {
  auto fps = sdpFingerprints(sdpWith("a=fingerprint:sha-256 " + a.sha256 + "\r\n"));
  ASSERT_EQ(fps.size(), 1u);
  EXPECT_EQ(fps[0].algorithm, "sha-256");
  EXPECT_TRUE(certificateMatches(a.pem, fps));
  EXPECT_FALSE(certificateMatches(b.pem, fps));

  // Case and algorithm names as browsers write them; media-level lines too.
  std::string lower = a.sha256;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string sdp = sdpWith("") + "a=fingerprint:SHA-256 " + lower + "\r\n";
  EXPECT_TRUE(certificateMatches(a.pem, sdpFingerprints(sdp)));
}

TEST_F(DtlsFingerprint, NothingUsableNeverMatches) {
  EXPECT_FALSE(certificateMatches(a.pem, sdpFingerprints(sdpWith(""))));
  // An algorithm we do not take, a truncated digest, garbage digits.
  EXPECT_FALSE(certificateMatches(a.pem, sdpFingerprints(sdpWith("a=fingerprint:md5 00:11\r\n"))));
  EXPECT_FALSE(certificateMatches(a.pem, sdpFingerprints(sdpWith("a=fingerprint:sha-256 " +
                                                                  a.sha256.substr(0, 20) + "\r\n"))));
  EXPECT_TRUE(sdpFingerprints(sdpWith("a=fingerprint:sha-256 ZZ:YY\r\n")).empty());
  EXPECT_TRUE(sdpFingerprints(sdpWith("a=fingerprint:sha-256\r\n")).empty());
  // No certificate, or not a certificate.
  auto fps = sdpFingerprints(sdpWith("a=fingerprint:sha-256 " + a.sha256 + "\r\n"));
  EXPECT_FALSE(certificateMatches("", fps));
  EXPECT_FALSE(certificateMatches("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n", fps));
  EXPECT_EQ(certificateFingerprint(a.pem, "sha-256").size(), 64u);
  EXPECT_EQ(certificateFingerprint(a.pem, "md5"), "");
}

TEST_F(DtlsFingerprint, AnyListedFingerprintMayMatch) {
  std::string sdp = sdpWith("a=fingerprint:sha-256 " + b.sha256 + "\r\n") +
                    "a=fingerprint:sha-256 " + a.sha256 + "\r\n";
  EXPECT_TRUE(certificateMatches(a.pem, sdpFingerprints(sdp)));
  EXPECT_TRUE(certificateMatches(b.pem, sdpFingerprints(sdp)));
}

}  // namespace
