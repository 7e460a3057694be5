#include "platform/secret_command.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string_view>
#include <thread>
#include <vector>

#include "common/text.h"

extern char** environ;

namespace brivane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kOutputLimit = 64 * 1024;
constexpr size_t kErrorLimit = 2 * 1024;
constexpr size_t kErrorLineChars = 200;
// How often the stop flag and the time limit are looked at.
constexpr milliseconds kTick{100};
// How long the group has to end after SIGTERM before it gets SIGKILL.
constexpr milliseconds kTermGrace{1000};
// What is still read once the command has ended: what it wrote is in the
// pipes already; a background process that keeps writing is not waited for.
constexpr size_t kDrainLimit = 1024 * 1024;

std::string strerrorText(int err) { return std::strerror(err); }

// ---- The settings store must be the user's own --------------------------------

std::string checkOwnership(const std::string& storePath) {
  if (storePath.empty()) return {};
  const std::string shown = escapeControl(storePath);
  const auto refused = [&](const char* why) {
    return "the settings file " + shown + " can be changed by other users (" + why + ")";
  };
  struct stat file {};
  if (lstat(storePath.c_str(), &file) != 0) {
    return "the settings file " + shown + " cannot be checked: " + strerrorText(errno);
  }
  if (!S_ISREG(file.st_mode)) return "the settings file " + shown + " is not a regular file";
  if (file.st_uid != getuid()) return refused("it belongs to another user");
  if (file.st_mode & (S_IWGRP | S_IWOTH)) return refused("others may write it");
  // The folder decides who can replace the file. A folder reached through a
  // link (a linked ~/.config) is judged by the folder the link leads to.
  std::string folder = std::filesystem::path(storePath).parent_path().string();
  if (folder.empty()) folder = ".";
  struct stat dir {};
  if (stat(folder.c_str(), &dir) != 0) {
    return "the settings file " + shown + " cannot be checked: its folder: " + strerrorText(errno);
  }
  if (dir.st_uid != getuid()) return refused("its folder belongs to another user");
  if (dir.st_mode & (S_IWGRP | S_IWOTH)) return refused("others may write its folder");
  return {};
}

// ---- Starting the command -------------------------------------------------------

// Our environment without stale values of the three names, then the three.
std::vector<std::string> commandEnvironment(const SecretCommand& request) {
  static constexpr std::string_view kOwn[] = {"BRIVANE_ACCOUNT=", "BRIVANE_USER=", "BRIVANE_SERVER="};
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    if (std::none_of(std::begin(kOwn), std::end(kOwn), [&](std::string_view own) { return entry.starts_with(own); }))
      env.emplace_back(entry);
  }
  env.push_back(std::string(kOwn[0]) + request.account);
  env.push_back(std::string(kOwn[1]) + request.user);
  env.push_back(std::string(kOwn[2]) + request.server);
  return env;
}

// Moves a descriptor above 0..2 (when ours were closed, a pipe may get one of
// them, and the child's /dev/null or dup2 would overwrite it).
int above2(int fd) {
  if (fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// A pipe whose both ends close on exec; the child gets the write end by dup2.
bool makePipe(int ends[2]) {
  ends[0] = ends[1] = -1;
  int raw[2];
  if (pipe2(raw, O_CLOEXEC) != 0) return false;
  ends[0] = above2(raw[0]);
  ends[1] = above2(raw[1]);
  if (ends[0] < 0 || ends[1] < 0) {
    for (int i : {0, 1}) {
      if (ends[i] >= 0) close(ends[i]);
      ends[i] = -1;
    }
    return false;
  }
  // Only our end: the write end is the child's, and must block as usual.
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  return true;
}

// Spawns /bin/sh -c COMMAND in a new process group. posix_spawn does what the
// child must do before exec without running our code there: the program has
// other threads, so a plain fork could deadlock on their locks.
int spawnShell(const SecretCommand& request, int outFd, int errFd, pid_t& pid) {
  std::vector<std::string> env = commandEnvironment(request);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string sh = "/bin/sh", dashC = "-c", endOfOptions = "--", command = request.command;
  char* argv[] = {sh.data(), dashC.data(), endOfOptions.data(), command.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  // Descriptors opened elsewhere in the program without close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // A new group, so that the command and whatever it starts end together;
  // signals as a fresh program has them (we ignore SIGPIPE, for one).
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc;
}

// ---- Reading its output ---------------------------------------------------------

enum class Cut { None, Stopped, TimedOut, NoLineEnd };

struct Reader {
  int out = -1, err = -1;
  std::string line;  // standard output up to its first LF
  bool haveLine = false;
  std::string errors;

  // The whole room at once: no copy of the secret is left behind by a reallocation.
  Reader() { line.reserve(kOutputLimit); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    closeFd(out);
    closeFd(err);
    explicit_bzero(line.data(), line.size());
  }
  static void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Keeps the first line of standard output; past it, output is read and dropped.
  void takeOutput(const char* data, size_t size) {
    if (haveLine) return;
    const size_t room = kOutputLimit - line.size();
    const char* lf = static_cast<const char*>(memchr(data, '\n', std::min(size, room)));
    line.append(data, lf ? static_cast<size_t>(lf - data) : std::min(size, room));
    haveLine = lf != nullptr;
  }
  void takeErrors(const char* data, size_t size) {
    errors.append(data, std::min(size, kErrorLimit - errors.size()));
  }
  bool lineTooLong() const { return !haveLine && line.size() >= kOutputLimit; }

  // Reads what is there now from one pipe, at most `budget` bytes; closes it at its end.
  void readSome(int& fd, bool isOutput, size_t budget) {
    char buffer[16384];
    while (fd >= 0 && budget > 0) {
      const ssize_t n = read(fd, buffer, std::min(sizeof buffer, budget));
      if (n > 0) {
        if (isOutput) takeOutput(buffer, static_cast<size_t>(n));
        else takeErrors(buffer, static_cast<size_t>(n));
        budget -= static_cast<size_t>(n);
        if (isOutput && lineTooLong()) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      closeFd(fd);  // its end, or an error that will not go away
    }
    explicit_bzero(buffer, sizeof buffer);
  }
};

bool hasExited(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT: the child stays a zombie, so its group number cannot be reused
  // before the group has been signalled.
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Reads both pipes until the command ends, the time limit passes, a stop is
// asked for or standard output has 64 KiB without a line end.
Cut readUntilEnd(Reader& reader, pid_t pid, int pidFd, const SecretCommand& request) {
  const auto deadline = Clock::now() + request.timeLimit;
  for (;;) {
    if (request.stop && request.stop->load()) return Cut::Stopped;
    const auto now = Clock::now();
    if (now >= deadline) return Cut::TimedOut;
    if (hasExited(pid)) {
      // What it wrote is in the pipes; a background process still holding
      // them is not waited for.
      reader.readSome(reader.out, true, kDrainLimit);
      reader.readSome(reader.err, false, kDrainLimit);
      return reader.lineTooLong() ? Cut::NoLineEnd : Cut::None;
    }
    pollfd fds[3];
    nfds_t count = 0;
    for (int fd : {reader.out, reader.err, pidFd}) {
      if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
    }
    const auto wait = std::min<Clock::duration>(kTick, deadline - now);
    const int timeout = static_cast<int>(std::chrono::ceil<milliseconds>(wait).count());
    if (poll(fds, count, timeout) < 0 && errno != EINTR) {
      std::this_thread::sleep_for(milliseconds(10));  // should not happen; do not spin
    }
    reader.readSome(reader.out, true, kOutputLimit);
    if (reader.lineTooLong()) return Cut::NoLineEnd;
    reader.readSome(reader.err, false, kOutputLimit);
  }
}

// Ends the command's whole group: SIGTERM, up to a second to end, then
// SIGKILL for whatever is left. The child is not reaped yet (its zombie keeps
// the group number ours).
void endGroup(pid_t pid, int pidFd) {
  ::kill(-pid, SIGTERM);
  const auto deadline = Clock::now() + kTermGrace;
  while (!hasExited(pid) && Clock::now() < deadline) {
    if (pidFd >= 0) {
      pollfd fd{pidFd, POLLIN, 0};
      poll(&fd, 1, 20);
    } else {
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  ::kill(-pid, SIGKILL);
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string describeLimit(milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

// The first non-empty line, control characters escaped, at most 200 characters.
std::string firstLineOf(std::string_view text) {
  std::string_view line;
  while (!text.empty() && line.empty()) {
    const size_t lf = text.find('\n');
    line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  std::string shown = escapeControl(line);
  size_t chars = 0;
  for (size_t i = 0; i < shown.size(); ++i) {
    if ((static_cast<unsigned char>(shown[i]) & 0xC0) != 0x80 && ++chars > kErrorLineChars) {
      shown.resize(i);
      break;
    }
  }
  return shown;
}

// Standard error goes to the connection log: a command that also writes the
// secret there (a verbose helper) must not put it in the log.
void hideSecret(std::string& text, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 3)) {
    text.replace(at, line.size(), "***");
  }
}

}  // namespace

SecretCommandResult runSecretCommand(const SecretCommand& request) {
  SecretCommandResult result;
  try {
    result.failure = checkOwnership(request.storePath);
    if (!result.failure.empty()) return result;

    Reader reader;
    int outPipe[2], errPipe[2] = {-1, -1};
    if (!makePipe(outPipe) || !makePipe(errPipe)) {
      const int err = errno;
      for (int fd : {outPipe[0], outPipe[1]}) {
        if (fd >= 0) close(fd);
      }
      result.failure = "it could not be started: " + strerrorText(err);
      return result;
    }
    reader.out = outPipe[0];
    reader.err = errPipe[0];
    pid_t pid = 0;
    const int rc = spawnShell(request, outPipe[1], errPipe[1], pid);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
      result.failure = "it could not be started: " + strerrorText(rc);
      return result;
    }
    // Readable when the command ends: no need to wait for the next tick.
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));

    const Cut cut = readUntilEnd(reader, pid, pidFd, request);
    if (cut != Cut::None) endGroup(pid, pidFd);
    const int status = reap(pid);
    if (pidFd >= 0) close(pidFd);

    if (!reader.line.empty()) hideSecret(reader.errors, reader.line);
    result.errorOutput = reader.errors;
    result.firstErrorLine = firstLineOf(reader.errors);
    if (cut == Cut::Stopped) result.failure = "it was stopped";
    else if (cut == Cut::TimedOut) result.failure = "it did not finish within " + describeLimit(request.timeLimit);
    else if (cut == Cut::NoLineEnd) result.failure = "it printed 64 KiB without a line end";
    else if (WIFSIGNALED(status)) result.failure = "it was ended by signal " + std::to_string(WTERMSIG(status));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      result.failure = "it exited with status " + std::to_string(WEXITSTATUS(status));
    else if (!reader.haveLine && reader.line.empty()) result.failure = "it printed nothing";
    else {
      if (!reader.line.empty() && reader.line.back() == '\r') reader.line.pop_back();
      if (reader.line.empty()) result.failure = "it printed an empty line";
      else result.secret = reader.line;
    }
    result.ok = result.failure.empty();
  } catch (const std::exception& e) {
    result = SecretCommandResult{};
    result.failure = std::string("it could not be started: ") + e.what();
  }
  return result;
}

}  // namespace brivane
