#include "rtc/DtlsFingerprint.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <memory>
#include <sstream>

namespace rtc {

namespace {

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

const EVP_MD* digestFor(const std::string& algorithm) {
  if (algorithm == "sha-1") return EVP_sha1();
  if (algorithm == "sha-224") return EVP_sha224();
  if (algorithm == "sha-256") return EVP_sha256();
  if (algorithm == "sha-384") return EVP_sha384();
  if (algorithm == "sha-512") return EVP_sha512();
  return nullptr;  // md5 and md2 are not worth a match
}

}  // namespace

std::vector<Fingerprint> sdpFingerprints(const std::string& sdp) {
  std::vector<Fingerprint> out;
  std::istringstream in(sdp);
  const std::string tag = "a=fingerprint:";
  for (std::string line; std::getline(in, line);) {
    line = trim(line);
    if (line.compare(0, tag.size(), tag) != 0) continue;
    std::string rest = line.substr(tag.size());
    size_t sp = rest.find(' ');
    if (sp == std::string::npos) continue;
    Fingerprint f;
    for (char c : rest.substr(0, sp)) f.algorithm += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool good = true;
    for (char c : trim(rest.substr(sp + 1))) {
      if (c == ':') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        good = false;
        break;
      }
      f.hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (good && !f.hex.empty()) out.push_back(std::move(f));
  }
  return out;
}

std::string certificateFingerprint(const std::string& pem, const std::string& algorithm) {
  const EVP_MD* md = digestFor(algorithm);
  if (!md || pem.empty()) return {};
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  if (!bio) return {};
  std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                   X509_free);
  if (!cert) {
    ERR_clear_error();  // the thread's error queue is shared with TLS code
    return {};
  }
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert.get(), md, buf, &n) != 1) return {};
  static const char* digits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    hex += digits[buf[i] >> 4];
    hex += digits[buf[i] & 15];
  }
  return hex;
}

bool certificateMatches(const std::string& pem, const std::vector<Fingerprint>& wanted) {
  for (const Fingerprint& f : wanted) {
    std::string got = certificateFingerprint(pem, f.algorithm);
    if (!got.empty() && got == f.hex) return true;
  }
  return false;
}

}  // namespace rtc
