#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/idle_policy.h"

// The idle watcher's steps, without the event loop: what it reads from the X
// server, what it tells the screensaver service, and when it starts the
// saver. The event loop (app/idle_mode.cpp) calls wake() when its timer
// fires and sleeps for the time wake() returns; it reports the service's
// signals and the saver's end through the other members. One thread calls
// every member.
namespace brivane {

// What the X server says about input and its own screen saver.
struct IdleReading {
  int64_t idleMs = 0;          // since the last keyboard or pointer input
  bool serverSaverOn = false;  // the X server's own saver is blanking the screen
};

class IdleSensor {
 public:
  virtual ~IdleSensor() = default;
  // Nothing when the server could not be asked.
  virtual std::optional<IdleReading> read() = 0;
  // The window the window manager calls active is full screen.
  virtual bool activeWindowFullScreen() = 0;
  // Suspends (true) or resumes the X server's own saver and DPMS timers.
  virtual void suspendServerSaver(bool suspend) = 0;
  // Deactivates the X server's own saver when it blanks the screen now.
  virtual void resetServerSaver() = 0;
};

// The inhibitors' side: the org.freedesktop.ScreenSaver service, or nothing.
// Its changes come in through IdleWatch::inhibitedChanged and userActivity.
class IdleInhibitors {
 public:
  virtual ~IdleInhibitors() = default;
  virtual bool inhibited() const = 0;
  // What GetActive answers: the saver runs.
  virtual void setActive(bool active) = 0;
};

class IdleWatch {
 public:
  struct Deps {
    IdleSensor* sensor = nullptr;
    IdleInhibitors* inhibitors = nullptr;
    // Starts the saver; false (with a reason) when it could not.
    std::function<bool(std::string& error)> startSaver;
    std::function<void(const std::string& line)> log;
    std::function<int64_t()> now;  // a monotonic clock, ms
  };
  // wake() returns this when no wake-up is needed until the saver ends.
  static constexpr int64_t kNoWake = -1;

  IdleWatch(Deps deps, int64_t idleTime);

  // Decides now: starts the saver when it is due. Returns how long to sleep
  // (ms, > 0) or kNoWake.
  int64_t wake();

  void setIdleTime(int64_t idleTime);
  int64_t idleTime() const { return policy_.idleTime(); }
  void inhibitedChanged(bool inhibited);
  void userActivity();
  // The saver ended; `how` is "ended with status 0" or the like.
  void saverEnded(const std::string& how);
  bool saverRunning() const { return saverRunning_; }
  // Lets go of the X server's saver and the service before the watcher ends.
  void stop();

 private:
  void log(const std::string& line);

  Deps deps_;
  IdlePolicy policy_;
  IdleDecision last_;  // the previous wake-up's, to log a hold once
  bool saverRunning_ = false;
  int64_t saverStartedAt_ = 0;
  bool suspended_ = false;
  bool readFailed_ = false;
};

}  // namespace brivane
