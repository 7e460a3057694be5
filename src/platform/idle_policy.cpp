#include "platform/idle_policy.h"

#include <algorithm>

namespace brivane {

IdlePolicy::IdlePolicy(int64_t idleTime, int64_t now) : idleTime_(std::max<int64_t>(idleTime, 1)), activityAt_(now) {}

void IdlePolicy::setIdleTime(int64_t idleTime) { idleTime_ = std::max<int64_t>(idleTime, 1); }

void IdlePolicy::userActivity(int64_t now) { activityAt_ = std::max(activityAt_, now); }

void IdlePolicy::saverStarted(int64_t now, bool resetServerSaver) {
  hadRun_ = true;
  runStartedAt_ = now;
  inputAfter_ = resetServerSaver ? now + kResetMarginMs : now;
  lastRunShort_ = false;
}

void IdlePolicy::saverEnded(int64_t now) { lastRunShort_ = now - runStartedAt_ < kShortRunMs; }

IdleDecision IdlePolicy::decide(const IdleState& s) const {
  if (s.saverRunning) return {IdleVerdict::WaitForSaver, 0, IdleHold::SaverRunning};
  // An inhibitor's end is reported as it happens; the wake-up here only
  // keeps the watcher from depending on that report.
  if (s.inhibited) return {IdleVerdict::Sleep, idleTime_, IdleHold::Inhibited};

  const int64_t required = lastRunShort_ ? 2 * idleTime_ : idleTime_;
  // A negative or absurd idle time from the server is read as "input now".
  const int64_t lastInput = s.now - std::max<int64_t>(s.serverIdle, 0);
  if (hadRun_ && lastInput <= inputAfter_) {
    // Input may come any moment; the earliest start is then one (or two)
    // idle periods away.
    return {IdleVerdict::Sleep, required, IdleHold::AwaitingInput};
  }
  const int64_t due = std::max(lastInput, activityAt_) + required;
  if (s.now < due) return {IdleVerdict::Sleep, due - s.now, IdleHold::Counting};
  if (s.fullScreen)
    return {IdleVerdict::Sleep, std::min(idleTime_, kFullScreenRecheckMs), IdleHold::FullScreen};
  return {IdleVerdict::StartSaver, 0, IdleHold::None};
}

}  // namespace brivane
