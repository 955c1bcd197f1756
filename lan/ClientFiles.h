#pragma once
// The files of the phone's web page that a server hands out. A request names
// a file only by picking an entry of this list; the name never becomes a path
// of its own, so nothing outside the list can be reached.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// index.html first, then the page's modules.
const std::vector<std::string>& clientFiles();
// The entry a request path ("/" + name, already percent-decoded) asks for.
std::optional<std::string> clientFileFor(const std::string& path);
// The Content-Type header value for an entry.
std::string clientFileType(const std::string& name);
// The bytes of entry `name` in `folder`; nothing for a name not on the list
// or a file that cannot be read.
std::optional<std::vector<uint8_t>> readClientFile(const std::string& folder, const std::string& name);
