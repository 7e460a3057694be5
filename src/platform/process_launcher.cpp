#include "platform/process_launcher.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

extern char** environ;

namespace brivane {
namespace {

using Clock = std::chrono::steady_clock;

// Closes every descriptor above 2 except `keep` (the exec-status pipe, which
// closes itself at execve). Runs in the forked child: system calls only.
void closeDescriptorsAbove2(int keep) {
  bool done = true;
  if (keep > 3 && close_range(3, keep - 1, 0) != 0) done = false;
  if (done && close_range(keep + 1, ~0U, 0) != 0) done = false;
  if (done) return;
  // Kernels without close_range: close one by one up to the descriptor limit.
  rlimit limit{};
  int max = 65536;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 1u << 20) {
    max = static_cast<int>(limit.rlim_cur);
  }
  for (int fd = 3; fd < max; ++fd) {
    if (fd != keep) close(fd);
  }
}

// The forked child: only async-signal-safe calls, no allocation.
[[noreturn]] void runChild(char* const* argv, int statusFd, pid_t parent) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have ended before the request took effect.
  if (getppid() != parent) _exit(127);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) {
    if (s != SIGKILL && s != SIGSTOP) sigaction(s, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  closeDescriptorsAbove2(statusFd);
  execve(argv[0], argv, environ);
  const int err = errno;
  ssize_t ignored = write(statusFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

bool groupGone(pid_t pgid) { return ::kill(-pgid, 0) != 0 && errno == ESRCH; }

}  // namespace

bool ProcessLauncher::start(const std::vector<std::string>& argv) {
  kill();
  error_.clear();
  if (argv.empty() || argv[0].empty()) {
    error_ = "no program given";
    return false;
  }
  // Everything the child needs is built before fork: it may not allocate.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    close(status[0]);
    close(status[1]);
    return false;
  }
  if (pid == 0) runChild(args.data(), status[1], parent);

  close(status[1]);
  // The pipe reaches its end when execve succeeded (close-on-exec) or brings
  // the child's errno when it failed.
  int childErrno = 0;
  ssize_t n;
  do {
    n = read(status[0], &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  close(status[0]);
  pgid_ = pid;
  reaped_ = false;
  endReason_.clear();
  if (n == static_cast<ssize_t>(sizeof childErrno)) {
    error_ = "cannot run " + argv[0] + ": " + std::strerror(childErrno);
    kill();
    return false;
  }
  // Readable once the program ends, so an owner with an event loop notices
  // at once instead of asking again and again.
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  return true;
}

bool ProcessLauncher::reap(Duration wait) {
  if (pgid_ == 0) return false;
  const auto deadline = Clock::now() + wait;
  while (!reaped_) {
    int st = 0;
    const pid_t r = waitpid(pgid_, &st, WNOHANG);
    if (r == pgid_ || (r < 0 && errno == ECHILD)) {
      reaped_ = true;
      if (r == pgid_ && WIFEXITED(st)) endReason_ = "ended with status " + std::to_string(WEXITSTATUS(st));
      else if (r == pgid_ && WIFSIGNALED(st)) endReason_ = "was ended by signal " + std::to_string(WTERMSIG(st));
      else endReason_ = "ended";
      break;
    }
    if (r < 0 && errno == EINTR) continue;
    const auto now = Clock::now();
    if (now >= deadline) break;
    std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(1)));
  }
  return reaped_;
}

// Members of the program's group that became this process's children (when
// it is a child subreaper) are reaped too, by the group id.
void ProcessLauncher::reapGroupChildren() {
  int st = 0;
  while (waitpid(-pgid_, &st, WNOHANG) > 0) {
  }
}

bool ProcessLauncher::hasEnded(Duration wait) { return reap(wait); }

void ProcessLauncher::terminate() {
  if (pgid_ == 0) return;
  ::kill(-pgid_, SIGTERM);
  const auto deadline = Clock::now() + grace_;
  for (;;) {
    reap(Duration(0));
    reapGroupChildren();
    if (reaped_ && groupGone(pgid_)) break;
    const auto now = Clock::now();
    if (now >= deadline) break;
    std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(5)));
  }
  kill();
}

void ProcessLauncher::kill() {
  if (pgid_ == 0) return;
  // An empty group is left alone: its number may already belong to another.
  if (!(reaped_ && groupGone(pgid_))) ::kill(-pgid_, SIGKILL);
  reap(std::chrono::seconds(1));
  // Let the killed members end before their group children are reaped.
  const auto deadline = Clock::now() + std::chrono::milliseconds(200);
  do {
    reapGroupChildren();
    if (groupGone(pgid_)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (Clock::now() < deadline);
  forget();
}

void ProcessLauncher::forget() {
  pgid_ = 0;
  reaped_ = false;
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = -1;
}

}  // namespace brivane
