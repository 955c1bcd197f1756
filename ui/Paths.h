#pragma once
// The share/ folder the host's own data comes from: <prefix>/share when
// installed, the source tree's share/ when run from a build tree
// (build/tolvane-host). Empty when neither holds our files.
#include <string>

std::string shareDir();
