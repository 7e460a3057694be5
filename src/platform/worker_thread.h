#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
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
  // False when the thread could not be created (a process limit): the worker
  // then counts as finished, and abandoned() has told the owner, on the
  // calling thread, as the worker's end would have.
  bool start();

  // Asks the thread to end; execute() tests stopRequested() at its own points.
  void requestStop() { stop_.store(true, std::memory_order_release); }
  bool stopRequested() const { return stop_.load(std::memory_order_acquire); }

  // True when execute() has returned (or the thread is not running).
  bool finished() const;

  // Waits until execute() has returned or the deadline passes; true when it returned.
  bool waitFor(Clock::time_point deadline);

  // Waits for the end and joins. Only for threads known to end.
  void join();

  // A stop flag that other objects (a transport waiting in slices) can poll.
  const std::atomic<bool>& stopFlag() const { return stop_; }

 protected:
  // The thread body. No exception crosses the thread boundary: one that
  // leaves it is caught and handed to abandoned().
  virtual void execute() = 0;

  // Called when the worker ends without execute() having run to its end:
  // on the worker's thread when an exception left execute(), on the owner's
  // thread from start() when the thread could not be created. `why` says
  // what happened. A worker that tells its owner of its end (a done
  // message) must do so here too, and release what it may hold. Must not
  // throw (what it throws is dropped).
  virtual void abandoned(const std::string& why) { (void)why; }

  // Creates the thread running `body` (tests make it fail).
  virtual std::thread spawn(std::function<void()> body) { return std::thread(std::move(body)); }

 private:
  void run();
  void abandon(const std::string& why) noexcept;

  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  bool startCalled_ = false;
  bool started_ = false;  // the thread exists
  bool done_ = false;
};

}  // namespace brivane
