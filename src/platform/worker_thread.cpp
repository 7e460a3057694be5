#include "platform/worker_thread.h"

#include <exception>

namespace brivane {

WorkerThread::~WorkerThread() {
  // Derived parts are gone by now; the thread must have ended before that.
  // The owner is responsible for requestStop() and join(); this is a last guard.
  if (thread_.joinable()) thread_.join();
}

bool WorkerThread::start() {
  std::string failure;
  {
    std::lock_guard lock(mutex_);
    if (startCalled_) return started_;
    startCalled_ = true;
    try {
      thread_ = spawn([this] { run(); });
      // Only now does a thread exist that join() may wait for.
      started_ = true;
      return true;
    } catch (const std::exception& e) {
      failure = std::string("the thread could not be started: ") + e.what();
    } catch (...) {
      failure = "the thread could not be started";
    }
  }
  abandon(failure);
  return false;
}

void WorkerThread::abandon(const std::string& why) noexcept {
  try {
    abandoned(why);
  } catch (...) {
  }
}

void WorkerThread::run() {
  try {
    execute();
  } catch (const std::exception& e) {
    abandon(std::string("ended by an error: ") + e.what());
  } catch (...) {
    abandon("ended by an unknown error");
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
