#include "platform/worker_thread.h"

namespace brivane {

WorkerThread::~WorkerThread() {
  // Derived parts are gone by now; the thread must have ended before that.
  // The owner is responsible for requestStop() and join(); this is a last guard.
  if (thread_.joinable()) thread_.join();
}

void WorkerThread::start() {
  std::lock_guard lock(mutex_);
  if (started_) return;
  started_ = true;
  thread_ = std::thread(&WorkerThread::run, this);
}

void WorkerThread::run() {
  try {
    execute();
  } catch (...) {
    // A worker ends like any other when its body fails.
  }
  std::lock_guard lock(mutex_);
  done_ = true;
  ended_.notify_all();
}

bool WorkerThread::finished() const {
  std::lock_guard lock(mutex_);
  return !started_ || done_;
}

bool WorkerThread::waitFor(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!started_) return true;
  return ended_.wait_until(lock, deadline, [this] { return done_; });
}

void WorkerThread::join() {
  {
    std::unique_lock lock(mutex_);
    if (!started_) return;
    ended_.wait(lock, [this] { return done_; });
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace brivane
