#pragma once
#include <cstdint>

// When the idle watcher starts the screensaver: a pure decision over what the
// watcher sees at one wake-up, so that every rule is table-tested without an
// X server or a clock.
//
// Times are milliseconds of one monotonic clock (the caller's). The X server
// reports how long ago the last keyboard or pointer input was; the policy
// turns that into "last input at" on the caller's clock. It keeps its own
// marks besides:
// - "activity at": the watcher's start and every SimulateUserActivity. The X
//   server's idle time cannot be reset without faking input, so the idle count
//   runs from the later of the last input and this mark;
// - the last saver run (start and end). After a run, the saver starts again
//   only once input came after that run started (a saver ended by input
//   counts: the user is back) and a new idle period passed since. A run
//   shorter than kShortRunMs (another instance held the guard, a grab failed)
//   makes the next start wait one idle period more, so nothing loops.
// Nothing starts while an inhibitor holds or the active window is full
// screen; once they let go, the idle count is what it would have been.
namespace brivane {

struct IdleState {
  int64_t now = 0;          // the caller's clock
  int64_t serverIdle = 0;   // ms since the last input, as the X server counts it
  bool inhibited = false;   // a program asks the screen to stay on
  bool fullScreen = false;  // the active window is full screen
  bool saverRunning = false;
};

enum class IdleVerdict {
  StartSaver,
  Sleep,         // wake again after sleepMs
  WaitForSaver,  // no wake-up needed until the running saver ends
};

// Why the saver is not started now (for the log and the tests).
enum class IdleHold { None, Counting, SaverRunning, Inhibited, FullScreen, AwaitingInput };

struct IdleDecision {
  IdleVerdict verdict = IdleVerdict::Sleep;
  int64_t sleepMs = 0;  // with Sleep: > 0
  IdleHold hold = IdleHold::None;
};

class IdlePolicy {
 public:
  // A saver run shorter than this waits one idle period more.
  static constexpr int64_t kShortRunMs = 10000;
  // While a full-screen window holds the saver off, it is looked at again
  // this often at most (it may go away without any input).
  static constexpr int64_t kFullScreenRecheckMs = 60000;
  // After a start that reset the X server's own saver (which the server
  // counts as input), input seen within this long after the start is taken
  // for that reset, not for the user.
  static constexpr int64_t kResetMarginMs = 250;

  // `idleTime`: how long without input before the saver starts (> 0).
  // `now`: the watcher's start, the first "activity at" mark.
  IdlePolicy(int64_t idleTime, int64_t now);

  void setIdleTime(int64_t idleTime);
  int64_t idleTime() const { return idleTime_; }

  // SimulateUserActivity: the idle count starts again now.
  void userActivity(int64_t now);
  // `resetServerSaver`: the X server's saver was reset just before.
  void saverStarted(int64_t now, bool resetServerSaver = false);
  void saverEnded(int64_t now);

  IdleDecision decide(const IdleState& state) const;

 private:
  int64_t idleTime_;
  int64_t activityAt_;
  bool hadRun_ = false;
  int64_t runStartedAt_ = 0;
  int64_t inputAfter_ = 0;  // input counts as new only after this
  bool lastRunShort_ = false;
};

}  // namespace brivane
