#pragma once
// A shaped link between the test's network namespace and a nested one
// (tests/tools/linkemu): the host side stays here at 10.77.0.1, whatever runs
// through `inside` sits behind the link at 10.77.0.2.
#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace ts {

class ShapedLink {
public:
  // Settings as linkemu takes them ("--down-rate", "1500", ...). Fails the
  // test (ok() false) when the link does not come up.
  explicit ShapedLink(std::vector<std::string> settings = {});
  ~ShapedLink();
  bool ok() const { return nestedPid_ > 0; }
  // One command line to the emulator ("down rate 1500", "loss 100").
  void set(const std::string& command);
  // argv run inside the nested namespace.
  std::vector<std::string> inside(std::vector<std::string> argv) const;
  // Runs a shell command inside the nested namespace (tc, nft), its status.
  int shellInside(const std::string& cmd, std::string* out = nullptr) const;
  std::string output() const { return proc_->output(); }

  static constexpr const char* kNear = "10.77.0.1";
  static constexpr const char* kFar = "10.77.0.2";

private:
  std::string dir_, fifo_;
  std::unique_ptr<Child> proc_;
  int nestedPid_ = 0;
};

}  // namespace ts
