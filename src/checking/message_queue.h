#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/message_target.h"

namespace brivane {

// A MessageTarget for owners without a window (the --check command, tests):
// posted messages wait in a queue until the owner's thread takes them.
class MessageQueue : public MessageTarget {
 public:
  struct Message {
    uint32_t message = 0;
    uintptr_t wParam = 0;
  };

  void post(uint32_t message, uintptr_t wParam) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back({message, wParam});
    }
    posted_.notify_all();
  }

  // The next message, waiting until the deadline; nothing when none came.
  std::optional<Message> waitNext(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!posted_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return std::nullopt;
    Message m = queue_.front();
    queue_.pop_front();
    return m;
  }

  std::optional<Message> waitNextFor(std::chrono::milliseconds timeout) {
    return waitNext(std::chrono::steady_clock::now() + timeout);
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Message> queue_;
};

}  // namespace brivane
