#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The first folder holding a readable index.html: "--client-dir", the
// installed share folder, the build tree beside the executable, the current
// directory. The page's other files are served from the same folder.
std::optional<std::string> findClientDir(const std::optional<std::string>& clientDir);
// The page's bytes from that folder. Read anew on every request so edits show
// without a restart.
std::optional<std::vector<uint8_t>> findClientHTML(const std::optional<std::string>& clientDir);
// The page with every "__TLS_PORT__" filled in; nothing when it is not UTF-8.
std::optional<std::vector<uint8_t>> fillTlsPort(const std::vector<uint8_t>& page, uint16_t tlsPort);
// The IPv4 addresses of wired and wireless interfaces that are up.
std::vector<std::string> lanIPs();
// Interface filter behind lanIPs, testable without real interfaces.
bool isLanInterfaceName(const std::string& name);
