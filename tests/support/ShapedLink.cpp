#include "support/ShapedLink.h"

#include <unistd.h>

#include <fstream>
#include <regex>

#ifndef TOLVANE_LINKEMU_BIN
#define TOLVANE_LINKEMU_BIN "linkemu"
#endif

namespace ts {

ShapedLink::ShapedLink(std::vector<std::string> settings) {
  dir_ = makeTempDir("linkemu");
  fifo_ = dir_ + "/ctl";
  std::vector<std::string> argv = {TOLVANE_LINKEMU_BIN, "--ctl", fifo_};
  argv.insert(argv.end(), settings.begin(), settings.end());
  proc_ = std::make_unique<Child>(argv);
  if (!proc_->waitFor("\"ready\":true", std::chrono::seconds(30))) return;
  std::smatch m;
  std::string out = proc_->output();
  if (std::regex_search(out, m, std::regex("\"pid\":([0-9]+)"))) nestedPid_ = std::stoi(m[1]);
  waitUntil([&] { return access(fifo_.c_str(), F_OK) == 0; }, std::chrono::seconds(10));
}

ShapedLink::~ShapedLink() {
  if (proc_) proc_->stop(15, std::chrono::seconds(5));
  proc_.reset();
  removeTree(dir_);
}

void ShapedLink::set(const std::string& command) {
  std::ofstream out(fifo_);
  out << command << "\n";
}

std::vector<std::string> ShapedLink::inside(std::vector<std::string> argv) const {
  std::vector<std::string> all = {"nsenter", "-t", std::to_string(nestedPid_), "-n", "--"};
  all.insert(all.end(), argv.begin(), argv.end());
  return all;
}

int ShapedLink::shellInside(const std::string& cmd, std::string* out) const {
  int status = 0;
  std::string text = run("nsenter -t " + std::to_string(nestedPid_) + " -n -- sh -c '" + cmd + "' 2>&1", &status);
  if (out) *out = text;
  return status;
}

}  // namespace ts
