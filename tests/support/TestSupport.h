#pragma once
// Helpers shared by the tests: temporary folders, free ports, running the host
// binary as a child process and reading its output.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ts {

std::string makeTempDir(const std::string& prefix = "tolvane-test");
void removeTree(const std::string& path);
// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();
std::string readFile(const std::string& path);
// Waits until the file exists (a process may still be writing its start-up files).
std::string readFileWhenPresent(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(30));
// Polls cond every 10 ms until it holds or the limit passes; the last answer.
// Limits are for a sanitizer build on a busy machine: a passing test never
// waits them out.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(60));
void writeFile(const std::string& path, const std::string& text);

// A child process with its stdout+stderr captured to a file.
class Child {
public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  std::string output() const;
  // Every thread's stack (gdb, when it is installed), for a failure where the
  // process hangs without a word.
  std::string stacks() const;
  // Waits until the output holds `text` (at least `times` times); false on
  // timeout or exit.
  bool waitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(60),
               size_t times = 1);
  // How often the output holds `text`.
  size_t count(const std::string& text) const;
  // Waits until the process catches sig (the host sets up its handlers just
  // after its last start-up line; a signal before that ends it outright).
  bool waitCatches(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends sig and waits for exit; returns the exit status or -1.
  int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Exit status if the process has ended, else nothing.
  std::optional<int> exited(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

private:
  int pid_ = -1;
  std::string outPath_;
  std::optional<int> status_;
};

// Runs a shell command, returns its stdout; status goes to *status if given.
std::string run(const std::string& cmd, int* status = nullptr);

}  // namespace ts
