#pragma once
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

// Remembers when each input event was handled so the next frame captured after
// it can carry its id back to the phone, which measures input-to-picture time.
// Marked on the input queue, collected on the encoder's or track pipeline's.
class InputTracker {
public:
  // Records that input `id` was handled now; 0 means "no id" and is ignored.
  void mark(uint32_t id);
  // Hands out, oldest first, at most 8 ids handled at or before beforeMs
  // (ms since the Unix epoch); later ones stay for a later frame.
  std::vector<uint32_t> take(double beforeMs);

private:
  std::mutex lock;
  std::vector<std::pair<uint32_t, double>> items;  // (id, ms), oldest first
};
