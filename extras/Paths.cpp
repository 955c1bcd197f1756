#include "extras/Paths.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {
constexpr size_t kMaxPath = 4096;
constexpr size_t kMaxComponent = 255;
constexpr size_t kMaxName = 200;

// Resolved afresh each time: the home folder may itself be a link that moves.
std::optional<std::string> realHome(const std::string& home) {
  char* r = ::realpath(home.c_str(), nullptr);
  if (!r) return std::nullopt;
  std::string s(r);
  std::free(r);
  return s;
}

bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Length of the UTF-8 sequence starting with lead (1 for stray bytes).
size_t seqLen(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// The longest prefix of s of at most max bytes that ends on a character boundary.
std::string cutBytes(const std::string& s, size_t max) {
  size_t i = 0;
  while (i < s.size()) {
    size_t n = seqLen(static_cast<unsigned char>(s[i]));
    if (i + n > max) break;
    i += n;
  }
  return s.substr(0, i);
}

// Unicode white space that trimming removes besides ASCII: NBSP, the
// U+2000 block's spaces, line/paragraph separators, ideographic space.
size_t wideSpaceAt(const std::string& s, size_t i) {
  static const char* const spaces[] = {"\xC2\xA0", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
                                       "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
                                       "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                                       "\xE2\x81\x9F", "\xE3\x80\x80", "\xC2\x85"};
  for (const char* sp : spaces) {
    std::string t(sp);
    if (s.compare(i, t.size(), t) == 0) return t.size();
  }
  return 0;
}
}  // namespace

std::optional<std::string> joinUnderHome(const std::string& home, const std::string& rel) {
  if (rel.find('\0') != std::string::npos || rel.size() > kMaxPath) return std::nullopt;
  std::vector<std::string> parts;
  auto push = [&](const std::string& text) -> bool {
    size_t from = 0;
    while (from <= text.size()) {
      size_t slash = text.find('/', from);
      std::string c = text.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
      if (c.size() > kMaxComponent) return false;
      if (c == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!c.empty() && c != ".") {
        parts.push_back(c);
      }
      if (slash == std::string::npos) break;
      from = slash + 1;
    }
    return true;
  };
  if (!push(home) || !push(rel)) return std::nullopt;
  std::string out;
  for (auto& p : parts) out += "/" + p;
  if (out.empty()) out = "/";
  if (out.size() > kMaxPath) return std::nullopt;
  return out;
}

bool isWithin(const std::string& real, const std::string& root) {
  if (root == "/") return !real.empty() && real[0] == '/';
  return real == root || (real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
                          real[root.size()] == '/');
}

std::optional<std::string> realPathOf(int fd) {
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return std::nullopt;
  return std::string(buf.data(), static_cast<size_t>(n));
}

OpenResult openUnderHome(const std::string& home, const std::string& rel, OpenKind kind) {
  OpenResult res;
  auto path = joinUnderHome(home, rel);
  auto root = realHome(home);
  if (!path || !root) {
    res.error = OpenError::Refused;
    return res;
  }
  // O_PATH touches nothing: a FIFO does not block, a device is not opened.
  int handle = ::open(path->c_str(), O_PATH | O_CLOEXEC);
  if (handle < 0) {
    res.error = OpenError::Failed;
    return res;
  }
  struct stat st {};
  auto real = realPathOf(handle);
  if (!real || !isWithin(*real, *root)) {
    ::close(handle);
    res.error = OpenError::Outside;
    return res;
  }
  if (::fstat(handle, &st) != 0 || (kind == OpenKind::File ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))) {
    ::close(handle);
    res.error = OpenError::WrongType;
    return res;
  }
  // Reopening through /proc reaches the very inode the handle holds, whatever
  // has been renamed or swapped meanwhile.
  std::string via = "/proc/self/fd/" + std::to_string(handle);
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (kind == OpenKind::Directory ? O_DIRECTORY : 0);
  int fd = ::open(via.c_str(), flags);
  ::close(handle);
  struct stat st2 {};
  if (fd < 0 || ::fstat(fd, &st2) != 0 || st2.st_dev != st.st_dev || st2.st_ino != st.st_ino) {
    if (fd >= 0) ::close(fd);
    res.error = OpenError::Failed;
    return res;
  }
  res.opened = OpenedPath{fd, *path, st2};
  return res;
}

std::string safeName(const std::string& name) {
  std::string s;
  s.reserve(name.size());
  for (unsigned char c : name) {
    if (c == '/' || c == ':' || c == '\\') s += '_';
    else if (c < 0x20 || c == 0x7F) s += isSpace(c) ? static_cast<char>(c) : '_';
    else s += static_cast<char>(c);
  }
  // Trim white space and line breaks at both ends.
  size_t b = 0, e = s.size();
  for (;;) {
    if (b < e && isSpace(static_cast<unsigned char>(s[b]))) ++b;
    else if (size_t n = b < e ? wideSpaceAt(s, b) : 0) b += n;
    else break;
  }
  for (;;) {
    if (e > b && isSpace(static_cast<unsigned char>(s[e - 1]))) {
      --e;
      continue;
    }
    // Step back one character and see whether it is a wide space.
    size_t start = e;
    while (start > b && (static_cast<unsigned char>(s[start - 1]) & 0xC0) == 0x80) --start;
    if (start > b) --start;
    if (start < e && wideSpaceAt(s, start) == e - start) {
      e = start;
      continue;
    }
    break;
  }
  s = s.substr(b, e - b);
  // Line breaks and tabs inside the name are control characters too.
  for (auto& c : s)
    if (static_cast<unsigned char>(c) < 0x20) c = '_';
  if (s.empty() || s[0] == '.') s = "iPhone_" + s;
  if (s.size() <= kMaxName) return s;
  size_t dot = s.rfind('.');
  if (dot != std::string::npos && dot > 0 && s.size() - dot < kMaxName / 2) {
    std::string ext = s.substr(dot);
    return cutBytes(s.substr(0, dot), kMaxName - ext.size()) + ext;
  }
  return cutBytes(s, kMaxName);
}

std::string numberedName(const std::string& name, int k) {
  size_t dot = name.rfind('.');
  std::string n = " " + std::to_string(k);
  if (dot == std::string::npos || dot == 0) return name + n;
  return name.substr(0, dot) + n + name.substr(dot);
}

std::string userHome() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}
