#pragma once
#include <sys/types.h>

#include <string>

#include "platform/instance_lock.h"

// The idle watcher (`brivane --idle`) runs once per X display. Its lock is an
// exclusive flock on a file in the user's runtime folder named after the
// display; the file holds the watcher's process id as decimal text, so that
// the settings dialog can find the watcher it started and end it.
namespace brivane {

// The display part of $DISPLAY that names one X server: "host:N" without
// the screen number (":0.1" and ":0" are the same server). Characters other
// than letters, digits, '.', '-', '_' and ':' become '_'; empty for "".
std::string idleDisplayKey(const std::string& display);

// <runtime folder>/brivane-idle-<display key>.lock, or the same name in /tmp
// with the user id when there is no runtime folder.
std::string idleLockPath(const std::string& display);

class IdleLock {
 public:
  IdleLock() = default;
  ~IdleLock() { release(); }
  IdleLock(const IdleLock&) = delete;
  IdleLock& operator=(const IdleLock&) = delete;

  // Takes the lock without waiting and writes this process's id into the
  // file. The same rules as the instance lock: O_NOFOLLOW, a regular file
  // of this user, closed on exec.
  InstanceLockResult tryAcquire(const std::string& path);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

// The process id of the watcher holding the lock at `path`, or 0 when no
// process holds it (or the file is not this user's, or holds no id).
pid_t runningIdleWatcher(const std::string& path);

// Sends SIGTERM to the watcher holding the lock at `path`. True when one
// was running and the signal was delivered.
bool stopIdleWatcher(const std::string& path);

}  // namespace brivane
