#pragma once
// Whether another process keeps the display awake (a playing video): an
// "idle" inhibitor in systemd-logind's list held by a process other than this
// one. No system bus, no logind or no answer counts as nothing playing.
// Main loop only; the answer arrives there.
#include <gio/gio.h>
#include <sys/types.h>

#include <functional>
#include <memory>

class InhibitorCheck : public std::enable_shared_from_this<InhibitorCheck> {
public:
  InhibitorCheck() = default;
  ~InhibitorCheck();
  InhibitorCheck(const InhibitorCheck&) = delete;
  InhibitorCheck& operator=(const InhibitorCheck&) = delete;

  void ask(std::function<void(bool playing)> done);

private:
  GDBusConnection* bus_ = nullptr;
};

// The answer to ListInhibitors, "(a(ssssuu))": what, who, why, mode, uid, pid.
bool idleInhibitedByOthers(GVariant* reply, pid_t self);
