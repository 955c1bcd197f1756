#pragma once
// The files of the phone's page that the rendezvous server hands out. A
// request path is only ever matched against a fixed list of names; it never
// becomes a path on disk.
#include <optional>
#include <string>
#include <string_view>

struct PageFile {
  std::string name;  // file name inside the client folder
  std::string type;  // Content-Type
};

// The path of a request target without its query ("/ws?x=1" -> "/ws").
std::string_view requestPath(std::string_view target);
// The page file a request path stands for; nothing for any other path.
std::optional<PageFile> pageFileFor(std::string_view path);
// The file's bytes, read anew each time so page edits show without a restart.
std::optional<std::string> readPageFile(const std::string& clientDir, const PageFile& file);
// The build tree's client folder beside the executable, else the installed
// share/tolvane-host/client; empty when neither holds index.html.
std::string defaultClientDir();
