#pragma once
// Reads the default sink's monitor as float32 mono at 24 kHz through
// PulseAudio's asynchronous API, on a mainloop the calling thread drives.
// The daemon hands a recording stream its data in pieces of a millisecond or
// two; a blocking read wakes for every one of them. Here the thread sleeps
// until a whole fragment should be in and takes everything at once, so it
// wakes about once per fragment. One thread uses an instance from open() to
// its end; nothing in it is locked while it sleeps.
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct pa_mainloop;
struct pa_context;
struct pa_stream;

class MonitorReader {
public:
  static constexpr unsigned kRate = 24000;
  // One 20 ms fragment; blocks are handed out in this size.
  static constexpr size_t kFragmentSamples = 480;

  MonitorReader();
  ~MonitorReader();
  MonitorReader(const MonitorReader&) = delete;
  MonitorReader& operator=(const MonitorReader&) = delete;

  // Connects and opens the record stream. Gives up (false, `error` empty)
  // when `stop` is set while it waits; false with the daemon's reason when
  // it cannot.
  bool open(const std::atomic<bool>& stop, std::string& error);
  // Waits at most one fragment, then calls `block` for every whole fragment
  // read by then. False once the daemon has ended the stream, with its reason.
  bool read(const std::function<void(const float*, size_t)>& block, std::string& error);

  // Adds one piece of the stream (nullptr: a hole of that many bytes, which is
  // silence) to `samples`; a sample cut between pieces waits in `part`.
  static void appendPiece(const unsigned char* data, size_t bytes, std::vector<unsigned char>& part,
                          std::vector<float>& samples);

private:
  // Runs every event that is ready without waiting; false if the connection failed.
  bool dispatch();
  bool waitFor(const std::atomic<bool>& stop, const std::function<int()>& state, std::string& error);
  void drain();
  std::string reason() const;

  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  std::vector<float> pending_;       // samples read that do not make a whole fragment yet
  std::vector<unsigned char> part_;  // bytes of a sample split between two pieces
};
