#pragma once
#include <string>

// The single-instance lock: an exclusive flock on a per-user lock file. The
// descriptor is opened with O_CLOEXEC so that processes this one starts never
// inherit the lock; the kernel drops it when the process ends.
namespace brivane {

enum class InstanceLockResult {
  Acquired,        // this process now holds the lock
  AlreadyHeld,     // another process holds it
  Unavailable,     // the lock file cannot be used; run without a guard
};

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock() { release(); }
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Pellucine.lock in the user's runtime folder ($XDG_RUNTIME_DIR, else
  // /run/user/<uid> when it is the user's own), so that processes started
  // with and without the variable lock the same file; else
  // /tmp/Pellucine-<uid>.lock.
  static std::string defaultPath();
  // /tmp/Pellucine-<uid>.lock
  static std::string fallbackPath();

  // Tries once, without waiting. In the shared /tmp the file is opened with
  // O_NOFOLLOW and must be a regular file owned by this user.
  InstanceLockResult tryAcquire(const std::string& path = defaultPath());
  bool held() const { return fd_ >= 0; }
  // Closes the descriptor (and with it the lock) if open.
  void release();

 private:
  int fd_ = -1;
};

}  // namespace brivane
