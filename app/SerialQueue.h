#pragma once
// A serial work queue: one thread running one io_context. Work posted to it
// runs in order, one item at a time; timers and sockets bound to its context
// deliver their completions on the same thread, so a component's state needs
// no lock as long as it is touched only from its queue.
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class SerialQueue {
public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  boost::asio::io_context& context() { return ctx_; }

  void post(std::function<void()> fn);
  // Runs fn on the queue and waits for it. Calling it from the queue's own
  // thread would deadlock, so there it runs fn inline instead.
  void sync(const std::function<void()>& fn);
  bool isCurrent() const;

  // Stops the thread after the work already posted has run. Idempotent; the
  // destructor calls it.
  void shutdown();

private:
  std::string label_;
  boost::asio::io_context ctx_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
};

// A one-shot or repeating timer whose handler runs on a queue. cancel() stops
// further firings; a firing already running completes.
class QueueTimer : public std::enable_shared_from_this<QueueTimer> {
public:
  static std::shared_ptr<QueueTimer> once(SerialQueue& q, std::chrono::nanoseconds after,
                                          std::function<void()> fn);
  static std::shared_ptr<QueueTimer> repeating(SerialQueue& q, std::chrono::nanoseconds first,
                                               std::chrono::nanoseconds every,
                                               std::function<void()> fn);
  void cancel();
  bool cancelled() const { return cancelled_.load(); }

  QueueTimer(SerialQueue& q, std::chrono::nanoseconds every, std::function<void()> fn);

private:
  void arm(std::chrono::steady_clock::time_point at);
  boost::asio::steady_timer timer_;
  std::chrono::nanoseconds every_;
  std::function<void()> fn_;
  std::atomic<bool> cancelled_{false};
  std::chrono::steady_clock::time_point next_;
};

// Work that can be cancelled before it runs (debounce, retries).
class WorkItem {
public:
  explicit WorkItem(std::function<void()> fn) : fn_(std::move(fn)) {}
  void cancel() { cancelled_ = true; }
  bool cancelled() const { return cancelled_; }
  void run() { if (!cancelled_) fn_(); }
  static void post(SerialQueue& q, const std::shared_ptr<WorkItem>& item) {
    q.post([item] { item->run(); });
  }

private:
  std::function<void()> fn_;
  std::atomic<bool> cancelled_{false};
};
