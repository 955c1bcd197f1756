#include "extras/MonitorReader.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// How long one wait for the connection or the stream may block before the
// stop flag is looked at again.
constexpr int kOpenPollMicros = 50'000;
// Sleeping a little past the moment a fragment should be complete lets the
// daemon's last piece of it arrive, so one wake-up usually finds it whole.
constexpr double kSlackMs = 1.0;

}  // namespace

MonitorReader::MonitorReader() = default;

MonitorReader::~MonitorReader() {
  if (stream_) {
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
  if (context_) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_) pa_mainloop_free(loop_);
}

std::string MonitorReader::reason() const {
  int code = context_ ? pa_context_errno(context_) : PA_ERR_INTERNAL;
  if (code == PA_OK) code = PA_ERR_UNKNOWN;
  const char* s = pa_strerror(code);
  return s ? s : ("error " + std::to_string(code));
}

bool MonitorReader::waitFor(const std::atomic<bool>& stop, const std::function<int()>& state,
                            std::string& error) {
  while (!stop) {
    int st = state();
    if (st > 0) return true;
    if (st < 0) {
      error = reason();
      return false;
    }
    if (pa_mainloop_prepare(loop_, kOpenPollMicros) < 0 || pa_mainloop_poll(loop_) < 0 ||
        pa_mainloop_dispatch(loop_) < 0) {
      error = reason();
      return false;
    }
  }
  return false;
}

bool MonitorReader::open(const std::atomic<bool>& stop, std::string& error) {
  error.clear();
  loop_ = pa_mainloop_new();
  if (!loop_) {
    error = pa_strerror(PA_ERR_INTERNAL);
    return false;
  }
  context_ = pa_context_new(pa_mainloop_get_api(loop_), "Tolvane Host");
  if (!context_) {
    error = pa_strerror(PA_ERR_INTERNAL);
    return false;
  }
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
    error = reason();
    return false;
  }
  auto contextState = [this] {
    pa_context_state_t s = pa_context_get_state(context_);
    if (s == PA_CONTEXT_READY) return 1;
    return PA_CONTEXT_IS_GOOD(s) ? 0 : -1;
  };
  if (!waitFor(stop, contextState, error)) return false;

  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_FLOAT32LE;
  spec.rate = kRate;
  spec.channels = 1;
  stream_ = pa_stream_new(context_, "Desktop sound", &spec, nullptr);
  if (!stream_) {
    error = reason();
    return false;
  }
  pa_buffer_attr attr{};
  attr.maxlength = uint32_t(-1);
  attr.tlength = uint32_t(-1);
  attr.prebuf = uint32_t(-1);
  attr.minreq = uint32_t(-1);
  attr.fragsize = uint32_t(kFragmentSamples * sizeof(float));
  if (pa_stream_connect_record(stream_, "@DEFAULT_MONITOR@", &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
    error = reason();
    return false;
  }
  auto streamState = [this] {
    pa_stream_state_t s = pa_stream_get_state(stream_);
    if (s == PA_STREAM_READY) return 1;
    return PA_STREAM_IS_GOOD(s) ? 0 : -1;
  };
  return waitFor(stop, streamState, error);
}

bool MonitorReader::dispatch() {
  // Each pass handles what is ready now; a bound keeps a daemon that never
  // stops talking from holding the thread.
  for (int i = 0; i < 1000; ++i) {
    int n = pa_mainloop_iterate(loop_, 0, nullptr);
    if (n < 0) return false;
    if (n == 0) break;
  }
  return PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
}

void MonitorReader::drain() {
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
    // A hole in the stream stands for time that passed: it is silence.
    appendPiece(static_cast<const unsigned char*>(data), bytes, part_, pending_);
    pa_stream_drop(stream_);
  }
}

void MonitorReader::appendPiece(const unsigned char* p, size_t bytes, std::vector<unsigned char>& part,
                                std::vector<float>& samples) {
  size_t used = 0;
  auto byteAt = [&](size_t i) { return p ? p[i] : static_cast<unsigned char>(0); };
  while (!part.empty() && used < bytes && part.size() < sizeof(float)) part.push_back(byteAt(used++));
  if (part.size() == sizeof(float)) {
    float f;
    std::memcpy(&f, part.data(), sizeof f);
    samples.push_back(f);
    part.clear();
  }
  size_t whole = (bytes - used) / sizeof(float);
  size_t at = samples.size();
  samples.resize(at + whole, 0.0f);
  if (p && whole) std::memcpy(samples.data() + at, p + used, whole * sizeof(float));
  used += whole * sizeof(float);
  while (used < bytes) part.push_back(byteAt(used++));
}

bool MonitorReader::read(const std::function<void(const float*, size_t)>& block, std::string& error) {
  if (pending_.size() < kFragmentSamples) {
    double missingMs = double(kFragmentSamples - pending_.size()) * 1000.0 / kRate;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(missingMs + kSlackMs));
  }
  if (!dispatch()) {
    error = reason();
    return false;
  }
  drain();
  size_t at = 0;
  for (; pending_.size() - at >= kFragmentSamples; at += kFragmentSamples)
    block(pending_.data() + at, kFragmentSamples);
  pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(at));
  return true;
}
