#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace brivane {

// The lock that lets one account at a time connect and log in. A waiting
// checker waits in slices so that it can test its stop request. (Built on a
// condition variable rather than std::timed_mutex, whose timed wait the
// thread sanitizer cannot follow.)
class ConnectLock {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    freed_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  bool try_lock() {
    std::lock_guard guard(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  // Waits at most `timeout`; true when the lock was taken.
  bool try_lock_for(std::chrono::milliseconds timeout) {
    std::unique_lock guard(mutex_);
    if (!freed_.wait_for(guard, timeout, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool held_ = false;
};

}  // namespace brivane
