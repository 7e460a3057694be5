#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/xdg_paths.h"

namespace brivane {

std::string InstanceLock::defaultPath() {
  const std::string runtime = xdgRuntimeDir();
  if (!runtime.empty()) return runtime + "/Pellucine.lock";
  return fallbackPath();
}

std::string InstanceLock::fallbackPath() { return "/tmp/Pellucine-" + std::to_string(getuid()) + ".lock"; }

InstanceLockResult InstanceLock::tryAcquire(const std::string& path) {
  release();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return InstanceLockResult::Unavailable;
  // A file planted by someone else (another user in /tmp) must not decide
  // whether this program runs.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
    ::close(fd);
    return InstanceLockResult::Unavailable;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK ? InstanceLockResult::AlreadyHeld : InstanceLockResult::Unavailable;
  }
  fd_ = fd;
  return InstanceLockResult::Acquired;
}

void InstanceLock::release() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace brivane
