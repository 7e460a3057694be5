#pragma once
#include <atomic>
#include <chrono>

// The time source of the transport's limits. Production code uses the steady
// clock; tests use a ManualClock that the memory streams advance while they
// "wait", so a silent server costs no real time.
namespace brivane {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;

  // The process-wide steady clock.
  static const Clock& steady();
};

class ManualClock : public Clock {
 public:
  TimePoint now() const override { return TimePoint(Duration(ticks_.load())); }
  void advance(std::chrono::milliseconds ms) {
    ticks_.fetch_add(std::chrono::duration_cast<Duration>(ms).count());
  }

 private:
  std::atomic<Duration::rep> ticks_{Duration(std::chrono::hours(1)).count()};
};

}  // namespace brivane
