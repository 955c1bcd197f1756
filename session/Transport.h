#pragma once
#include "app/SerialQueue.h"
#include "session/Conn.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What the session coordinator needs of a transport. Sends may be called from
// any thread: they copy their arguments and post to the transport's queue.
class Transport {
public:
  virtual ~Transport() = default;
  virtual SerialQueue& queue() = 0;
  // Exact only on queue().
  virtual const std::map<int64_t, ConnPtr>& conns() const = 0;
  virtual int64_t wsCount() const = 0;
  virtual void sendText(const ConnPtr& conn, const std::string& text) = 0;
  virtual void sendTextAll(const std::string& text) = 0;
  virtual void sendVideo(std::shared_ptr<const Bytes> data, bool key) = 0;
};
