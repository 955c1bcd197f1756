#include "app/SerialQueue.h"

#include <boost/asio/post.hpp>
#include <pthread.h>

#include <future>

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), guard_(boost::asio::make_work_guard(ctx_)) {
  thread_ = std::thread([this] {
    threadId_ = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    ctx_.run();
  });
}

SerialQueue::~SerialQueue() { shutdown(); }

void SerialQueue::shutdown() {
  guard_.reset();
  if (thread_.joinable()) {
    if (isCurrent()) {
      thread_.detach();  // a queue cannot join itself; its context ends by itself
    } else {
      thread_.join();
    }
  }
}

void SerialQueue::post(std::function<void()> fn) { boost::asio::post(ctx_, std::move(fn)); }

bool SerialQueue::isCurrent() const { return threadId_.load() == std::this_thread::get_id(); }

void SerialQueue::sync(const std::function<void()>& fn) {
  if (isCurrent()) {
    fn();
    return;
  }
  std::promise<void> done;
  boost::asio::post(ctx_, [&] {
    try {
      fn();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  done.get_future().get();
}

QueueTimer::QueueTimer(SerialQueue& q, std::chrono::nanoseconds every, std::function<void()> fn)
    : timer_(q.context()), every_(every), fn_(std::move(fn)) {}

std::shared_ptr<QueueTimer> QueueTimer::once(SerialQueue& q, std::chrono::nanoseconds after,
                                             std::function<void()> fn) {
  auto t = std::make_shared<QueueTimer>(q, std::chrono::nanoseconds(0), std::move(fn));
  t->arm(std::chrono::steady_clock::now() + after);
  return t;
}

std::shared_ptr<QueueTimer> QueueTimer::repeating(SerialQueue& q, std::chrono::nanoseconds first,
                                                  std::chrono::nanoseconds every,
                                                  std::function<void()> fn) {
  auto t = std::make_shared<QueueTimer>(q, every, std::move(fn));
  t->arm(std::chrono::steady_clock::now() + first);
  return t;
}

void QueueTimer::arm(std::chrono::steady_clock::time_point at) {
  next_ = at;
  timer_.expires_at(at);
  // The pending wait keeps the timer alive; cancel() ends the chain.
  timer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
    if (ec || self->cancelled_) return;
    self->fn_();
    if (self->every_.count() > 0 && !self->cancelled_) {
      // Schedule from the planned time so the period does not drift, but never
      // try to catch up on a backlog of missed firings.
      auto now = std::chrono::steady_clock::now();
      auto next = self->next_ + self->every_;
      if (next < now) next = now;
      self->arm(next);
    }
  });
}

void QueueTimer::cancel() {
  cancelled_ = true;
  // The asio timer belongs to the queue's thread; cancel it there.
  boost::asio::post(timer_.get_executor(), [self = shared_from_this()] { self->timer_.cancel(); });
}
