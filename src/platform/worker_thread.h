#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace brivane {

// Base of every worker thread. A worker is created stopped, configured by its
// owner, then started; the owner asks it to stop, waits for it with a
// deadline and destroys it. Threads are never detached: destroying a worker
// that was started joins it.
class WorkerThread {
 public:
  using Clock = std::chrono::steady_clock;

  WorkerThread() = default;
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts execute() on a new thread. Only the first call has an effect.
  void start();

  // Asks the thread to end; execute() tests stopRequested() at its own points.
  void requestStop() { stop_.store(true, std::memory_order_release); }
  bool stopRequested() const { return stop_.load(std::memory_order_acquire); }

  // True when execute() has returned (or the thread was never started).
  bool finished() const;

  // Waits until execute() has returned or the deadline passes; true when it returned.
  bool waitFor(Clock::time_point deadline);

  // Waits for the end and joins. Only for threads known to end.
  void join();

  // A stop flag that other objects (a transport waiting in slices) can poll.
  const std::atomic<bool>& stopFlag() const { return stop_; }

 protected:
  // The thread body. Exceptions leaving it are caught and dropped: no
  // exception crosses the thread boundary.
  virtual void execute() = 0;

 private:
  void run();

  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  bool started_ = false;
  bool done_ = false;
};

}  // namespace brivane
