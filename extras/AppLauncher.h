#pragma once
// The desktop's applications: the "apps" list in batches with icons, and
// "open" (optionally "solo"). Called on the extras queue.
#include "extras/Requester.h"

#include <memory>
#include <string>

class AppLauncher {
public:
  static std::shared_ptr<AppLauncher> create();
  ~AppLauncher();
  // Sends the "appl" batches to the requester, paced on its buffered bytes.
  void sendList(const RequesterPtr& to);
  void open(const std::string& path, bool solo);
  // Icons drawn so far (the rest came from the cache).
  int iconsRendered() const;

private:
  AppLauncher();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
