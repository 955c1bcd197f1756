#include "extras/SystemAudio.h"

// Placeholder until capture lands: nothing starts.
struct SystemAudio::Impl {};
SystemAudio::SystemAudio(bool) : impl_(std::make_unique<Impl>()) {}
SystemAudio::~SystemAudio() = default;
std::shared_ptr<SystemAudio> SystemAudio::create(bool testMode) {
  return std::shared_ptr<SystemAudio>(new SystemAudio(testMode));
}
void SystemAudio::want(const RequesterPtr&, bool) {}
void SystemAudio::forget(int64_t) {}
void SystemAudio::stopAll() {}
void SystemAudio::shutdown() {}
