#include "platform/idle_watch.h"

#include <utility>

namespace brivane {

namespace {

std::string seconds(int64_t ms) { return std::to_string((ms + 500) / 1000) + " s"; }

}  // namespace

IdleWatch::IdleWatch(Deps deps, int64_t idleTime) : deps_(std::move(deps)), policy_(idleTime, deps_.now()) {}

void IdleWatch::log(const std::string& line) {
  if (deps_.log) deps_.log(line);
}

int64_t IdleWatch::wake() {
  const std::optional<IdleReading> reading = deps_.sensor->read();
  if (!reading) {
    if (!readFailed_) log("Idle watcher: the X server did not report the idle time");
    readFailed_ = true;
    last_ = {IdleVerdict::Sleep, policy_.idleTime(), IdleHold::None};
    return last_.sleepMs;
  }
  readFailed_ = false;
  IdleState state;
  state.now = deps_.now();
  state.serverIdle = reading->idleMs;
  state.inhibited = deps_.inhibitors != nullptr && deps_.inhibitors->inhibited();
  state.saverRunning = saverRunning_;
  IdleDecision d = policy_.decide(state);
  // The active window is asked for only when the saver would start now.
  if (d.verdict == IdleVerdict::StartSaver && deps_.sensor->activeWindowFullScreen()) {
    state.fullScreen = true;
    d = policy_.decide(state);
  }
  if (d.hold == IdleHold::FullScreen && last_.hold != IdleHold::FullScreen)
    log("Idle watcher: held off, the active window is full screen");
  last_ = d;
  if (d.verdict == IdleVerdict::Sleep) return d.sleepMs;
  if (d.verdict == IdleVerdict::WaitForSaver) return kNoWake;

  // Our own screensaver must be seen: the X server's blanking (its default
  // timeout is the same ten minutes) is switched off first.
  const bool reset = reading->serverSaverOn;
  if (reset) deps_.sensor->resetServerSaver();
  std::string error;
  const int64_t idle = reading->idleMs;
  if (!deps_.startSaver(error)) {
    log("Idle watcher: could not start the screensaver" + (error.empty() ? std::string() : ": " + error));
    // Counted as a run that ended at once: it is tried again only after
    // input and two idle periods.
    const int64_t now = deps_.now();
    policy_.saverStarted(now);
    policy_.saverEnded(now);
    return wake();
  }
  saverRunning_ = true;
  saverStartedAt_ = deps_.now();
  policy_.saverStarted(saverStartedAt_, reset);
  if (deps_.inhibitors != nullptr) deps_.inhibitors->setActive(true);
  log("Idle watcher: started the screensaver (no input for " + seconds(idle) + ")");
  last_ = {IdleVerdict::WaitForSaver, 0, IdleHold::SaverRunning};
  return kNoWake;
}

void IdleWatch::setIdleTime(int64_t idleTime) {
  if (idleTime == policy_.idleTime()) return;
  policy_.setIdleTime(idleTime);
  log("Idle watcher: the screensaver now starts after " + seconds(policy_.idleTime()) + " without input");
}

void IdleWatch::inhibitedChanged(bool inhibited) {
  if (inhibited == suspended_) return;
  // While a program keeps the screen on, the X server must not blank it or
  // power the monitor down either.
  deps_.sensor->suspendServerSaver(inhibited);
  suspended_ = inhibited;
  log(inhibited ? "Idle watcher: held off, a program asks the screen to stay on"
                : "Idle watcher: no program asks the screen to stay on any more");
}

void IdleWatch::userActivity() { policy_.userActivity(deps_.now()); }

void IdleWatch::saverEnded(const std::string& how) {
  if (!saverRunning_) return;
  saverRunning_ = false;
  const int64_t now = deps_.now();
  policy_.saverEnded(now);
  if (deps_.inhibitors != nullptr) deps_.inhibitors->setActive(false);
  log("Idle watcher: the screensaver " + how + " after " + seconds(now - saverStartedAt_));
}

void IdleWatch::stop() {
  if (suspended_) deps_.sensor->suspendServerSaver(false);
  suspended_ = false;
  if (saverRunning_ && deps_.inhibitors != nullptr) deps_.inhibitors->setActive(false);
}

}  // namespace brivane
