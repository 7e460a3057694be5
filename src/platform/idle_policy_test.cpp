#include "platform/idle_policy.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/idle_watch.h"

namespace brivane {
namespace {

constexpr int64_t kIdle = 60000;  // one minute
constexpr int64_t kStart = 1000000;

// One row: the policy's history (relative to kStart), then one wake-up.
struct Row {
  const char* name;
  int64_t at;          // the wake-up, ms after the watcher started
  int64_t serverIdle;  // the X server's idle time then
  IdleDecision want;
  int64_t runStart = -1, runEnd = -1;  // a saver run before, if >= 0
  int64_t activity = -1;               // SimulateUserActivity at, if >= 0
  bool inhibited = false, fullScreen = false, running = false;
  bool reset = false;  // the run's start reset the X server's saver
};

TEST(IdlePolicy, Decisions) {
  using V = IdleVerdict;
  using H = IdleHold;
  const Row rows[] = {
      {"counts from the start of the watcher, not the server's older idle time", 20000, 500000,
       {V::Sleep, 40000, H::Counting}},
      {"sleeps until the last input plus the idle time", 90000, 10000, {V::Sleep, 50000, H::Counting}},
      {"starts once the idle time is reached", 70000, 60000, {V::StartSaver, 0, H::None}},
      {"simulated activity restarts the count", 70000, 70000, {V::Sleep, 20000, H::Counting}, -1, -1, 30000},
      {"real input after simulated activity counts from the input", 100000, 5000, {V::Sleep, 55000, H::Counting},
       -1, -1, 30000},
      {"an inhibitor holds it off", 70000, 70000, {V::Sleep, kIdle, H::Inhibited}, -1, -1, -1, true},
      {"a full-screen window holds it off", 70000, 70000, {V::Sleep, kIdle, H::FullScreen}, -1, -1, -1, false, true},
      {"no input since the last run: waits for input", 500000, 440000, {V::Sleep, kIdle, H::AwaitingInput}, 60000,
       300000},
      {"the reset before the start is not input", 500000, 439800, {V::Sleep, kIdle, H::AwaitingInput}, 60000,
       300000, -1, false, false, false, true},
      {"without a reset, input just after the start counts", 400000, 339800, {V::StartSaver, 0, H::None}, 60000,
       300000},
      {"input that ended the run, then an idle period: starts", 400000, 100000, {V::StartSaver, 0, H::None}, 60000,
       300000},
      {"input that ended the run, idle period not over", 320000, 20000, {V::Sleep, 40000, H::Counting}, 60000,
       300000},
      {"a short run waits for input too", 500000, 440000, {V::Sleep, 2 * kIdle, H::AwaitingInput}, 60000, 65000},
      {"a short run makes it wait two idle periods after input", 200000, 100000,
       {V::Sleep, 2 * kIdle - 100000, H::Counting}, 60000, 65000},
      {"a negative server idle time is input now", 70000, -5, {V::Sleep, kIdle, H::Counting}},
  };
  for (const Row& r : rows) {
    IdlePolicy p(kIdle, kStart);
    if (r.activity >= 0) p.userActivity(kStart + r.activity);
    if (r.runStart >= 0) {
      p.saverStarted(kStart + r.runStart, r.reset);
      p.saverEnded(kStart + r.runEnd);
    }
    IdleState s{kStart + r.at, r.serverIdle, r.inhibited, r.fullScreen, r.running};
    const IdleDecision d = p.decide(s);
    EXPECT_EQ(std::tuple(d.verdict, d.sleepMs, d.hold), std::tuple(r.want.verdict, r.want.sleepMs, r.want.hold))
        << r.name;
  }
}

// The watcher's steps over fake X and service sides: the service hears
// that the saver runs and no longer runs, an inhibitor suspends the X
// server's timers until it ends (or the watcher does), and a saver that
// cannot be started is not retried at every wake-up.
class FakeSensor : public IdleSensor {
 public:
  std::optional<IdleReading> read() override { return reading; }
  bool activeWindowFullScreen() override { return false; }
  void suspendServerSaver(bool s) override { calls.push_back(s ? "suspend" : "resume"); }
  void resetServerSaver() override { calls.push_back("reset"); }
  IdleReading reading;
  std::vector<std::string> calls;
};

class FakeInhibitors : public IdleInhibitors {
 public:
  bool inhibited() const override { return held; }
  void setActive(bool a) override { active.push_back(a); }
  bool held = false;
  std::vector<bool> active;
};

TEST(IdleWatch, TellsTheServiceAndTheXServer) {
  FakeSensor sensor;
  FakeInhibitors inhibitors;
  int64_t now = 5000;
  int starts = 0;
  std::string startError;
  std::vector<std::string> log;
  IdleWatch w({&sensor, &inhibitors,
               [&](std::string& error) {
                 ++starts;
                 error = startError;
                 return startError.empty();
               },
               [&](const std::string& line) { log.push_back(line); }, [&] { return now; }},
              kIdle);
  const auto idleFor = [&](int64_t ms) { now += ms, sensor.reading.idleMs += ms; };

  inhibitors.held = true;
  w.inhibitedChanged(true);
  idleFor(5 * kIdle);
  EXPECT_EQ(std::pair(w.wake(), starts), std::pair(kIdle, 0));
  inhibitors.held = false;
  w.inhibitedChanged(false);
  EXPECT_EQ(std::pair(w.wake(), starts), std::pair(IdleWatch::kNoWake, 1));
  idleFor(30000);
  w.saverEnded("ended with status 0");
  EXPECT_EQ(log.back(), "Idle watcher: the screensaver ended with status 0 after 30 s");

  sensor.reading.idleMs = 0;  // input, then a failed start
  startError = "no such file";
  idleFor(kIdle);
  EXPECT_EQ(std::pair(w.wake(), starts), std::pair(2 * kIdle, 2));
  idleFor(10 * kIdle);
  EXPECT_EQ(std::pair(w.wake(), starts), std::pair(2 * kIdle, 2));
  w.inhibitedChanged(true);
  w.stop();
  EXPECT_EQ(inhibitors.active, (std::vector<bool>{true, false}));
  EXPECT_EQ(sensor.calls, (std::vector<std::string>{"suspend", "resume", "suspend", "resume"}));
}

}  // namespace
}  // namespace brivane
