#pragma once
// Helpers shared by the tests: temporary folders, free ports, running the host
// binary as a child process and reading its output.
#include <chrono>
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
std::string readFileWhenPresent(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(5));
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
  // Waits until the output holds `text`; false on timeout or exit.
  bool waitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends sig and waits for exit; returns the exit status or -1.
  int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(5));
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
