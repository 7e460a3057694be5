#include "platform/idle_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <charconv>

#include "common/xdg_paths.h"

namespace brivane {

namespace {

// Opens the lock file with the instance lock's rules; -1 on any failure.
int openLockFile(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int tryFlock(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

}  // namespace

std::string idleDisplayKey(const std::string& display) {
  std::string key = display;
  // ":0.1" -> ":0": the screen number after the last colon's dot.
  if (const size_t colon = key.rfind(':'); colon != std::string::npos)
    if (const size_t dot = key.find('.', colon); dot != std::string::npos) key.erase(dot);
  for (char& c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_' || c == ':';
    if (!plain) c = '_';
  }
  return key;
}

std::string idleLockPath(const std::string& display) {
  const std::string name = "brivane-idle-" + idleDisplayKey(display) + ".lock";
  const std::string runtime = xdgRuntimeDir();
  if (!runtime.empty()) return runtime + "/" + name;
  return "/tmp/" + std::to_string(getuid()) + "-" + name;
}

InstanceLockResult IdleLock::tryAcquire(const std::string& path) {
  release();
  const int fd = openLockFile(path, O_RDWR | O_CREAT);
  if (fd < 0) return InstanceLockResult::Unavailable;
  if (const int err = tryFlock(fd, LOCK_EX); err != 0) {
    ::close(fd);
    return err == EWOULDBLOCK ? InstanceLockResult::AlreadyHeld : InstanceLockResult::Unavailable;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    ::close(fd);
    return InstanceLockResult::Unavailable;
  }
  fd_ = fd;
  return InstanceLockResult::Acquired;
}

void IdleLock::release() {
  if (fd_ < 0) return;
  // An emptied file tells a reader that races the release that no id is
  // there; a failure leaves the old id, which the released lock already
  // makes void.
  if (::ftruncate(fd_, 0) != 0) {
  }
  ::close(fd_);
  fd_ = -1;
}

pid_t runningIdleWatcher(const std::string& path) {
  const int fd = openLockFile(path, O_RDONLY);
  if (fd < 0) return 0;
  // A shared lock we can take means nobody holds the exclusive one.
  if (tryFlock(fd, LOCK_SH) != EWOULDBLOCK) {
    ::close(fd);
    return 0;
  }
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  ::close(fd);
  if (n <= 0) return 0;
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(buf, buf + n, pid);
  if (ec != std::errc() || pid <= 1 || (end != buf + n && *end != '\n')) return 0;
  return pid;
}

bool stopIdleWatcher(const std::string& path) {
  const pid_t pid = runningIdleWatcher(path);
  return pid > 0 && ::kill(pid, SIGTERM) == 0;
}

}  // namespace brivane
