#include "extras/AppLauncher.h"

// Placeholder until the launcher lands: an empty list.
struct AppLauncher::Impl {};
AppLauncher::AppLauncher() : impl_(std::make_unique<Impl>()) {}
AppLauncher::~AppLauncher() = default;
std::shared_ptr<AppLauncher> AppLauncher::create() { return std::shared_ptr<AppLauncher>(new AppLauncher()); }
void AppLauncher::sendList(const RequesterPtr& to) {
  if (to) to->send(R"({"done":true,"first":true,"items":[],"t":"appl"})");
}
void AppLauncher::open(const std::string&, bool) {}
