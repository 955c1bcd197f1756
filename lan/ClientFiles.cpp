#include "lan/ClientFiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

const std::vector<std::string>& clientFiles() {
  // CMakeLists.txt installs the names found on lines that hold only a quoted
  // file name, so keep one per line.
  static const std::vector<std::string> names = {
      "index.html",
      "main.js",
      "dom.js",
      "connection.js",
      "session.js",
      "video.js",
      "lag.js",
      "measure.js",
      "stats.js",
      "layout.js",
      "input.js",
      "keyboard.js",
      "keybar.js",
      "toolbar.js",
      "pill.js",
      "cards.js",
      "notices.js",
      "rtc-connection.js",
      "client-journal.js",
      "sigauth.js",
      "sha256.js",
      "reassembly.js",
      "arrival.js",
      "liveness.js",
      "route.js",
      "view-control.js",
      "pinch.js",
      "apps.js",
      "audio.js",
      "audio-worklet.js",
      "b64.js",
      "sheet.js",
      "listing.js",
      "save-sink.js",
      "download.js",
      "upload.js",
      "transfers.js",
      "files-panel.js",
      "clipboard.js",
      "pause.js",
      "track.js",
      "track-view.js",
      "track-strip.js",
      "frame-marks.js",
      "track-control.js",
  };
  return names;
}

std::optional<std::string> clientFileFor(const std::string& path) {
  if (path.size() < 2 || path[0] != '/') return std::nullopt;
  const auto& names = clientFiles();
  auto it = std::find(names.begin(), names.end(), path.substr(1));
  if (it == names.end()) return std::nullopt;
  return *it;
}

std::string clientFileType(const std::string& name) {
  auto ends = [&](const std::string& ext) {
    return name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
  };
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".html")) return "text/html; charset=utf-8";
  return "application/octet-stream";
}

std::optional<std::vector<uint8_t>> readClientFile(const std::string& folder, const std::string& name) {
  const auto& names = clientFiles();
  if (std::find(names.begin(), names.end(), name) == names.end()) return std::nullopt;
  fs::path p = fs::path(folder) / name;
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return std::nullopt;
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}
