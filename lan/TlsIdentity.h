#pragma once
// The HTTPS server's identity: a small local certificate authority and a
// server certificate for the LAN address, made once with the openssl tool and
// kept in the data directory's "cert" folder, then loaded from the PKCS#12
// bundle on every start.
#include <boost/asio/ssl/context.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The identity for `ip` from settings().dataDir, honouring "--regen-cert";
// nullptr (after a log line) when none can be made or loaded.
std::shared_ptr<boost::asio::ssl::context> loadIdentity(const std::string& ip);
std::shared_ptr<boost::asio::ssl::context> loadIdentity(const std::string& ip, const std::string& dataDir,
                                                        bool regen);

// The server certificate's extension settings for address `ip`: numeric
// addresses (IPv4 or IPv6) go in as "IP:", host names as "DNS:"; anything
// that is neither is left out so it cannot inject further settings.
std::string leafExtText(const std::string& ip);

// A TLS 1.2+ server context from a PKCS#12 bundle. On failure returns nullptr
// and sets status (see importIdentity in the .cpp for the values).
std::shared_ptr<boost::asio::ssl::context> importIdentity(const std::vector<uint8_t>& p12, unsigned long& status);
