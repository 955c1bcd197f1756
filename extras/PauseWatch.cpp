#include "extras/PauseWatch.h"

// Placeholder until the watch lands: does nothing.
struct PauseWatch::Impl {};
PauseWatch::PauseWatch() : impl_(std::make_unique<Impl>()) {}
PauseWatch::~PauseWatch() = default;
std::shared_ptr<PauseWatch> PauseWatch::create() { return std::shared_ptr<PauseWatch>(new PauseWatch()); }
void PauseWatch::start() {}
void PauseWatch::holdAwake(bool) {}
void PauseWatch::noteInput() {}
