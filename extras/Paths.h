#pragma once
// Paths the phone names, kept inside the home folder. A name is only a
// request: what counts is the object that was actually opened, whose real
// path is read back from the descriptor before anything is read from it.
#include <sys/stat.h>

#include <optional>
#include <string>

// home + "/" + rel with "." and ".." removed lexically (a leading "/" does not
// escape). Nothing for a NUL, a path over 4096 bytes or a component over 255.
std::optional<std::string> joinUnderHome(const std::string& home, const std::string& rel);

// True when real equals root or lies below it.
bool isWithin(const std::string& real, const std::string& root);

// A descriptor's path as the kernel sees it (/proc/self/fd).
std::optional<std::string> realPathOf(int fd);

struct OpenedPath {
  int fd = -1;       // open for reading (non-blocking), or a directory
  std::string path;  // the lexical path that was asked for
  struct stat st {};
};

enum class OpenKind { File, Directory };

enum class OpenError { Refused, Outside, Failed, WrongType };

// Opens rel below home without side effects on anything outside it: an
// O_PATH handle is checked first (real path within the resolved home, the
// wanted type), and only then reopened for reading. FIFOs, sockets and
// devices are refused as files.
struct OpenResult {
  std::optional<OpenedPath> opened;
  OpenError error = OpenError::Failed;
};
OpenResult openUnderHome(const std::string& home, const std::string& rel, OpenKind kind);

// The received file's name made safe to create: separators and control
// characters become "_", white space trimmed, hidden or empty names get an
// "iPhone_" prefix, at most 200 bytes cut on a character boundary inside the
// base so the extension survives.
std::string safeName(const std::string& name);

// "photo.jpg", 3 -> "photo 3.jpg"; "notes", 2 -> "notes 2".
std::string numberedName(const std::string& name, int k);

// $HOME, else the password database's home directory.
std::string userHome();
