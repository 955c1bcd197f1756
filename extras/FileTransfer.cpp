#include "extras/FileTransfer.h"

#include "app/Crypto.h"
#include "app/Log.h"
#include "extras/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {
// An integer field: the default when missing; integral numbers as they are,
// other finite numbers cut towards zero; nothing when it is not a number or
// does not fit, and the message is then dropped.
std::optional<int64_t> intField(const json& m, const char* key, int64_t dflt) {
  auto it = m.find(key);
  if (it == m.end()) return dflt;
  if (!it->is_number()) return std::nullopt;
  if (it->is_number_unsigned()) {
    if (it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(it->get<uint64_t>());
  }
  if (it->is_number_integer()) return it->get<int64_t>();
  double v = it->get<double>();
  if (!(v > -9.2e18 && v < 9.2e18)) return std::nullopt;
  return static_cast<int64_t>(v);
}

void makeDirs(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
}

bool writeAll(int fd, const uint8_t* p, size_t n, int& err) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      err = w < 0 ? errno : ENOSPC;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly n bytes unless the file ends or fails first.
ssize_t readFull(int fd, uint8_t* into, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, into + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool copyFile(int from, int to, std::string& err) {
  std::vector<uint8_t> buf(1 << 20);
  if (::lseek(from, 0, SEEK_SET) != 0) {
    err = std::strerror(errno);
    return false;
  }
  for (;;) {
    ssize_t r = readFull(from, buf.data(), buf.size());
    if (r < 0) {
      err = std::strerror(errno);
      return false;
    }
    if (r == 0) return true;
    int e = 0;
    if (!writeAll(to, buf.data(), static_cast<size_t>(r), e)) {
      err = std::strerror(e);
      return false;
    }
  }
}

std::string quoted(const std::string& s) {
  try {
    return json(s).dump();
  } catch (...) {
    return "\"\"";
  }
}

// Case-insensitive natural order (digit runs by value) by GLib's filename
// collation; casefolding first keeps it case-blind in every locale.
std::string sortKey(const std::string& name) {
  gchar* folded = g_utf8_casefold(name.c_str(), static_cast<gssize>(name.size()));
  gchar* key = g_utf8_collate_key_for_filename(folded, -1);
  std::string k(key);
  g_free(key);
  g_free(folded);
  return k;
}
}  // namespace

FileTransfer::FileTransfer(std::string home_, std::string dataDir)
    : home(std::move(home_)),
      incomingDir(dataDir + "/incoming"),
      downloadDir(home + "/Downloads/Tolvane") {
  // A file-size limit must fail the write, not end the host.
  std::signal(SIGXFSZ, SIG_IGN);
}

FileTransfer::~FileTransfer() {
  closing_ = true;
  out_.shutdown();
  for (auto& [k, in] : incoming_) discard(in);
}

void FileTransfer::drain() { out_.sync([] {}); }

void FileTransfer::discard(Incoming& in) {
  if (in.fd >= 0) ::close(in.fd);
  in.fd = -1;
  if (!in.tmp.empty()) ::unlink(in.tmp.c_str());
  in.tmp.clear();
}

void FileTransfer::fail(const Key& key, const RequesterPtr& from, const std::string& why) {
  auto it = incoming_.find(key);
  if (it == incoming_.end()) return;
  discard(it->second);
  incoming_.erase(it);
  logf("[files] 保存失敗 " + why);
  if (from) from->send(jsonText({{"t", "fdone"}, {"id", key.second}, {"ok", false}}));
}

void FileTransfer::put(const json& m, const RequesterPtr& from) {
  auto idIt = m.find("id");
  auto dIt = m.find("d");
  if (!from || idIt == m.end() || !idIt->is_string() || dIt == m.end() || !dIt->is_string()) return;
  const std::string id = idIt->get<std::string>();
  const Key key{from->key, id};
  const auto iField = intField(m, "i", 0), nField = intField(m, "n", 1);
  if (!iField || !nField) return;
  const int64_t i = *iField;
  // Below 1 means a single chunk; n - 1 can then never overflow.
  const int64_t n = std::max<int64_t>(*nField, 1);
  auto bytes = base64Decode(dIt->get_ref<const std::string&>());
  if (!bytes) {
    // A hole in the middle would be saved as if whole.
    fail(key, from, "base64");
    return;
  }
  if (i == 0) {
    if (auto old = incoming_.find(key); old != incoming_.end()) {
      discard(old->second);
      incoming_.erase(old);
    }
    makeDirs(incomingDir);
    std::string tag;
    for (char c : id)
      if (std::isalnum(static_cast<unsigned char>(c)) && tag.size() < 32) tag += c;
    // Each transfer gets a partial of its own, whatever its id looks like.
    std::string tmpl = incomingDir + "/" + tag + "-XXXXXX.part";
    std::vector<char> path(tmpl.begin(), tmpl.end());
    path.push_back('\0');
    int fd = ::mkostemps(path.data(), 5, O_CLOEXEC);
    if (fd < 0) {
      logf(std::string("[files] 保存失敗 ") + std::strerror(errno));
      from->send(jsonText({{"t", "fdone"}, {"id", id}, {"ok", false}}));
      return;
    }
    std::string name = "iPhone";
    if (auto nm = m.find("name"); nm != m.end() && nm->is_string()) name = nm->get<std::string>();
    incoming_[key] = Incoming{fd, std::string(path.data()), safeName(name), 0};
  }
  auto it = incoming_.find(key);
  if (it == incoming_.end()) return;
  Incoming& in = it->second;
  if (i != in.got) {
    fail(key, from, "chunk " + std::to_string(i) + " != " + std::to_string(in.got));
    return;
  }
  int err = 0;
  if (!writeAll(in.fd, bytes->data(), bytes->size(), err)) {
    fail(key, from, std::strerror(err));
    return;
  }
  ++in.got;
  if (i % 8 == 7) from->send(jsonText({{"t", "fack"}, {"id", id}, {"i", i}}));
  if (i >= n - 1) {
    bool last = true;
    if (auto l = m.find("last"); l != m.end() && l->is_boolean()) last = l->get<bool>();
    finish(key, from, last);
  }
}

void FileTransfer::finish(const Key& key, const RequesterPtr& from, bool last) {
  auto it = incoming_.find(key);
  Incoming in = it->second;
  incoming_.erase(it);
  int fd = in.fd;
  in.fd = -1;
  if (::close(fd) != 0) {
    incoming_[key] = in;
    fail(key, from, std::strerror(errno));
    return;
  }
  makeDirs(downloadDir);
  std::string err;
  auto dest = placeFile(in.tmp, downloadDir, in.name, err, beforePlace);
  if (!dest) {
    incoming_[key] = in;
    fail(key, from, err);
    return;
  }
  logf("[files] 受け取り: " + *dest);
  onReceived(*dest, last);
  from->send(jsonText({{"t", "fdone"}, {"id", key.second}, {"ok", true},
                       {"name", std::filesystem::path(*dest).filename().string()}}));
}

std::optional<std::string> placeFile(const std::string& tmp, const std::string& dir, const std::string& name,
                                     std::string& err, const std::function<void(const std::string&)>& beforeEach) {
  std::string from = tmp;
  std::string hidden;
  auto cleanup = [&] {
    if (!hidden.empty()) ::unlink(hidden.c_str());
  };
  for (int k = 1; k < 100000; ++k) {
    std::string cand = dir + "/" + (k == 1 ? name : numberedName(name, k));
    if (beforeEach) beforeEach(cand);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, cand.c_str(), RENAME_NOREPLACE) == 0) {
      if (!hidden.empty()) ::unlink(tmp.c_str());
      return cand;
    }
    int e = errno;
    if (e == EEXIST) continue;
    if (e == EINVAL) {
      // No RENAME_NOREPLACE on this file system: link() refuses a taken name too.
      if (::link(from.c_str(), cand.c_str()) == 0) {
        ::unlink(from.c_str());
        if (!hidden.empty()) ::unlink(tmp.c_str());
        return cand;
      }
      if (errno == EEXIST) continue;
      e = errno;
    }
    if (e == EXDEV && hidden.empty()) {
      // Another file system: copy next to the destination under a hidden
      // name first, so the final rename is still atomic and never replaces.
      std::string tmpl = dir + "/.tolvane-XXXXXX";
      std::vector<char> p(tmpl.begin(), tmpl.end());
      p.push_back('\0');
      int out = ::mkostemp(p.data(), O_CLOEXEC);
      if (out < 0) {
        err = std::strerror(errno);
        return std::nullopt;
      }
      hidden = p.data();
      int in = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
      bool ok = in >= 0 && copyFile(in, out, err);
      if (in < 0) err = std::strerror(errno);
      if (in >= 0) ::close(in);
      if (::close(out) != 0 && ok) {
        ok = false;
        err = std::strerror(errno);
      }
      if (!ok) {
        cleanup();
        return std::nullopt;
      }
      from = hidden;
      --k;  // the same name again, now from the hidden copy
      continue;
    }
    err = std::strerror(e);
    cleanup();
    return std::nullopt;
  }
  err = "no free name";
  cleanup();
  return std::nullopt;
}

void FileTransfer::list(const std::string& path, const RequesterPtr& from) {
  if (!from) return;
  auto refuse = [&](const char* err) { from->send(jsonText({{"t", "lsr"}, {"path", path}, {"err", err}})); };
  auto res = openUnderHome(home, path, OpenKind::Directory);
  if (!res.opened) {
    refuse(res.error == OpenError::Refused || res.error == OpenError::Outside ? "denied" : "read");
    return;
  }
  DIR* dir = ::fdopendir(res.opened->fd);
  if (!dir) {
    ::close(res.opened->fd);
    refuse("read");
    return;
  }
  struct Entry {
    bool dir;
    std::string key;
    json item;
  };
  std::vector<Entry> entries;
  bool failed = false;
  for (;;) {
    errno = 0;
    dirent* d = ::readdir(dir);
    if (!d) {
      failed = errno != 0;
      break;
    }
    std::string name = d->d_name;
    if (name.empty() || name[0] == '.') continue;
    // A name that is not UTF-8 could be neither shown nor asked for.
    if (!g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) continue;
    struct stat st {};
    bool have = ::fstatat(::dirfd(dir), name.c_str(), &st, 0) == 0 ||
                ::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    bool isDir = have && S_ISDIR(st.st_mode);
    json item = {{"n", name}, {"dir", isDir}, {"size", have ? static_cast<int64_t>(st.st_size) : 0},
                 {"mt", have ? static_cast<int64_t>(st.st_mtim.tv_sec) : 0}};
    entries.push_back({isDir, sortKey(name), std::move(item)});
  }
  ::closedir(dir);
  if (failed) {
    refuse("read");
    return;
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.dir != b.dir) return a.dir;
    return a.key < b.key;
  });
  // Long names can make 800 entries far larger than one data-channel
  // message, which the channel would refuse: the listing is cut short to
  // fit, with "more" set as for the 800-entry limit.
  size_t room = SIZE_MAX;
  if (from->maxMessage) {
    const size_t bare = jsonText({{"t", "lsr"}, {"path", path}, {"items", json::array()}, {"more", true}}).size();
    room = from->maxMessage > bare ? from->maxMessage - bare : 0;
  }
  json items = json::array();
  size_t used = 0;
  for (size_t k = 0; k < entries.size() && k < kListMax; ++k) {
    const size_t size = jsonText(entries[k].item).size() + (k ? 1 : 0);
    if (used + size > room) break;
    used += size;
    items.push_back(std::move(entries[k].item));
  }
  const bool more = entries.size() > items.size();
  from->send(jsonText({{"t", "lsr"}, {"path", path}, {"items", items}, {"more", more}}));
}

void FileTransfer::get(const std::string& path, const std::string& id, const RequesterPtr& from) {
  if (!from) return;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  Key key{from->key, id};
  {
    std::lock_guard<std::mutex> l(lock_);
    sending_.emplace(key, stop);
  }
  out_.post([this, path, id, from, stop, key] {
    send(from, path, id, stop);
    std::lock_guard<std::mutex> l(lock_);
    auto range = sending_.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == stop) {
        sending_.erase(it);
        break;
      }
    }
  });
}

void FileTransfer::send(const RequesterPtr& to, const std::string& path, const std::string& id,
                        const std::shared_ptr<std::atomic<bool>>& stop) {
  auto halted = [&] { return stop->load() || closing_.load() || !to->alive(); };
  if (halted()) return;
  const std::string idJ = quoted(id);
  auto error = [&](const char* err) {
    to->send(std::string("{\"err\":\"") + err + "\",\"id\":" + idJ + ",\"t\":\"fdat\"}");
  };
  auto res = openUnderHome(home, path, OpenKind::File);
  if (!res.opened) {
    error("read");
    return;
  }
  const int fd = res.opened->fd;
  const int64_t size = res.opened->st.st_size;
  if (size > kMaxGet) {
    ::close(fd);
    error("big");
    return;
  }
  const std::string name = std::filesystem::path(res.opened->path).filename().string();
  auto tailFor = [&](int64_t n) {
    return ",\"id\":" + idJ + ",\"n\":" + std::to_string(n) + ",\"name\":" + quoted(name) +
           ",\"size\":" + std::to_string(size) + ",\"t\":\"fdat\"}";
  };
  int64_t chunk = static_cast<int64_t>(std::max<size_t>(to->chunk, 3));
  if (to->maxMessage) {
    // A long id or name leaves less room for data in one message: the chunk
    // shrinks (a whole number of base64 quads) so that every "fdat" fits.
    const int64_t frame = static_cast<int64_t>(tailFor(kMaxGet).size() + 40);
    const int64_t room = static_cast<int64_t>(to->maxMessage) - frame;
    chunk = std::min(chunk, room / 4 * 3);
    if (chunk < 3) {
      ::close(fd);
      error("read");
      return;
    }
  }
  const int64_t n = size < 1 ? 1 : (size + chunk - 1) / chunk;
  const std::string tail = tailFor(n);
  std::vector<uint8_t> buf(static_cast<size_t>(chunk));
  int64_t offset = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (halted()) break;
    const size_t want = static_cast<size_t>(std::min<int64_t>(chunk, size - offset));
    ssize_t got = readFull(fd, buf.data(), want);
    // A failing or shrinking file ends the transfer rather than sending holes.
    if (got < 0 || static_cast<size_t>(got) != want) {
      error("read");
      break;
    }
    offset += got;
    // Paced on what is still queued towards the requester; after about
    // 10 s of waiting the chunk goes anyway.
    using namespace std::chrono;
    auto until = steady_clock::now() + seconds(10);
    while (to->buffered() > to->bulkLimit && steady_clock::now() < until && !halted())
      std::this_thread::sleep_for(milliseconds(1));
    if (halted()) break;
    std::string msg;
    msg.reserve(static_cast<size_t>(chunk) * 4 / 3 + tail.size() + 32);
    msg += "{\"d\":\"";
    msg += base64Encode(buf.data(), want);
    msg += "\",\"i\":" + std::to_string(i);
    msg += tail;
    if (!to->send(msg)) break;
  }
  ::close(fd);
}

void FileTransfer::cancel(const std::string& id, const RequesterPtr& from) {
  if (!from) return;
  Key key{from->key, id};
  if (incoming_.count(key)) fail(key, from, "cancelled");
  std::lock_guard<std::mutex> l(lock_);
  auto range = sending_.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) *it->second = true;
}

void FileTransfer::forget(int64_t key) {
  for (auto it = incoming_.begin(); it != incoming_.end();) {
    if (it->first.first == key) {
      discard(it->second);
      it = incoming_.erase(it);
    } else {
      ++it;
    }
  }
  std::lock_guard<std::mutex> l(lock_);
  for (auto& [k, flag] : sending_)
    if (k.first == key) *flag = true;
}

void FileTransfer::abandonAll() {
  for (auto& [k, in] : incoming_) discard(in);
  incoming_.clear();
  std::lock_guard<std::mutex> l(lock_);
  for (auto& [k, flag] : sending_) *flag = true;
}
