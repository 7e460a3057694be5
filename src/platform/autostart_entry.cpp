#include "platform/autostart_entry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "common/xdg_paths.h"
#include "platform/idle_lock.h"

namespace brivane {

namespace {

constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool setWhy(std::string* why, const std::string& what) {
  if (why) *why = what;
  return false;
}

bool writeAllTo(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// A string value of a desktop entry: \\, tab, newline and CR escaped.
std::string desktopStringValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string autostartEntryPath() {
  const std::string config = xdgConfigHome();
  return config.empty() ? std::string() : config + "/autostart/" + std::string(kAutostartFileName);
}

std::string desktopExecArgument(std::string_view argument) {
  if (!isValidUtf8(argument)) return {};
  bool quote = argument.empty();
  for (const char c : argument) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F) return {};
    if (kReserved.find(c) != std::string_view::npos || c == '\r') quote = true;
  }
  // The quoting rule first, then '%' for the field codes...
  std::string quoted;
  if (quote) quoted += '"';
  for (const char c : argument) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  if (quote) quoted += '"';
  // ...then the escapes of a string value, which a reader undoes first.
  return desktopStringValue(quoted);
}

std::string execProgramName(const std::string& programPath, const std::string& pathVariable) {
  const std::string name = programPath.substr(programPath.rfind('/') + 1);
  struct stat self {};
  if (name.empty() || ::stat(programPath.c_str(), &self) != 0) return programPath;
  // The first match is the one a launcher runs: only that one may stand for us.
  for (size_t pos = 0; pos <= pathVariable.size();) {
    size_t end = pathVariable.find(':', pos);
    if (end == std::string::npos) end = pathVariable.size();
    const std::string dir = pathVariable.substr(pos, end - pos);
    pos = end + 1;
    if (dir.empty() || dir[0] != '/') continue;  // a relative entry depends on the current folder
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(candidate.c_str(), X_OK) != 0)
      continue;
    return st.st_dev == self.st_dev && st.st_ino == self.st_ino ? name : programPath;
  }
  return programPath;
}

std::optional<std::string> autostartEntryContent(const std::string& program) {
  const std::string exec = desktopExecArgument(program);
  if (exec.empty()) return std::nullopt;
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Brivane\n"
         "Comment=Starts the Brivane mail screensaver when the computer is idle\n"
         "Exec=" + exec + " --idle\n"
         "TryExec=" + desktopStringValue(program) + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool writeAutostartEntry(const std::string& path, const std::string& content, std::string* why) {
  if (path.empty() || path[0] != '/') return setWhy(why, "no configuration folder is known (no home folder)");
  const std::string folder = folderOf(path), name = path.substr(path.rfind('/') + 1);
  std::string folderWhy;
  const Fd dir{openUserFolder(folder, 0, true, &folderWhy)};
  if (dir.fd < 0) return setWhy(why, "cannot use the folder " + folder + " (" + folderWhy + ")");
  const std::string tmp = "." + name + ".tmp";
  ::unlinkat(dir.fd, tmp.c_str(), 0);  // a leftover of an interrupted write
  const int fd = ::openat(dir.fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return setWhy(why, "cannot create " + folder + "/" + tmp + ": " + std::strerror(errno));
  const auto fail = [&](const std::string& what) {
    const int saved = errno;
    ::close(fd);
    ::unlinkat(dir.fd, tmp.c_str(), 0);
    return setWhy(why, what + ": " + std::strerror(saved));
  };
  if (::fchmod(fd, 0644) != 0) return fail("cannot set the mode of " + tmp);
  if (!writeAllTo(fd, content)) return fail("cannot write " + folder + "/" + tmp);
  if (::fsync(fd) != 0) return fail("cannot sync " + folder + "/" + tmp);
  if (::close(fd) != 0) {
    ::unlinkat(dir.fd, tmp.c_str(), 0);
    return setWhy(why, "cannot close " + folder + "/" + tmp + ": " + std::strerror(errno));
  }
  if (::renameat(dir.fd, tmp.c_str(), dir.fd, name.c_str()) != 0) {
    const int saved = errno;
    ::unlinkat(dir.fd, tmp.c_str(), 0);
    return setWhy(why, "cannot rename " + tmp + " to " + path + ": " + std::strerror(saved));
  }
  ::fsync(dir.fd);  // the rename made durable; the entry is in place already
  return true;
}

bool removeAutostartEntry(const std::string& path, std::string* why) {
  if (path.empty() || path[0] != '/') return true;  // no home: nothing was written either
  const std::string folder = folderOf(path), name = path.substr(path.rfind('/') + 1);
  const Fd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) return errno == ENOENT || setWhy(why, "cannot open " + folder + ": " + std::strerror(errno));
  if (::unlinkat(dir.fd, name.c_str(), 0) != 0 && errno != ENOENT)
    return setWhy(why, "cannot remove " + path + ": " + std::strerror(errno));
  ::fsync(dir.fd);
  return true;
}

bool autostartEntryPresent(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool startIdleWatcherDetached(const std::string& programPath, std::string* why) {
  // The grandchild reports a failed exec through this pipe; a successful
  // exec closes it (close-on-exec), which the parent reads as end of file.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return setWhy(why, std::string("cannot create a pipe: ") + std::strerror(errno));
  const pid_t child = ::fork();
  if (child < 0) {
    const int saved = errno;
    ::close(report[0]), ::close(report[1]);
    return setWhy(why, std::string("cannot start a process: ") + std::strerror(saved));
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    ::close(report[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    // No hold on the dialog's folder (a mount point, say).
    if (::chdir("/") != 0) ::_exit(127);
    // Every other descriptor goes; the report pipe only at exec (close-on-exec).
    for (int fd = 3; fd < report[1]; ++fd) ::close(fd);
    ::close_range(static_cast<unsigned>(report[1]) + 1, ~0U, 0);
    const char* argv[] = {programPath.c_str(), "--idle", nullptr};
    ::execv(programPath.c_str(), const_cast<char* const*>(argv));
    const int err = errno;
    ssize_t ignored = ::write(report[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  size_t got = 0;
  pollfd p{report[0], POLLIN, 0};
  // Bounded: the exec happens at once, or the grandchild reports why not.
  while (got < sizeof err && ::poll(&p, 1, 2000) == 1) {
    const ssize_t n = ::read(report[0], reinterpret_cast<char*>(&err) + got, sizeof err - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(report[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return setWhy(why, "cannot start a process");
  if (got == sizeof err) return setWhy(why, "cannot run " + programPath + ": " + std::strerror(err));
  return true;
}

bool applyStartAtLogin(bool on, const std::string& programPath, std::string* why) {
  const char* display = std::getenv("DISPLAY");
  const std::string lock = idleLockPath(display ? display : "");
  const std::string path = autostartEntryPath();
  if (!on) {
    stopIdleWatcher(lock);
    return removeAutostartEntry(path, why);
  }
  const char* pathVariable = std::getenv("PATH");
  const std::optional<std::string> content =
      autostartEntryContent(execProgramName(programPath, pathVariable ? pathVariable : ""));
  bool ok = content ? writeAutostartEntry(path, *content, why)
                    : setWhy(why, "the program's location " + programPath + " cannot be written into an entry");
  std::string startWhy;
  if (runningIdleWatcher(lock) == 0 && !startIdleWatcherDetached(programPath, &startWhy)) {
    if (ok && why) *why = startWhy;
    ok = false;
  }
  return ok;
}

}  // namespace brivane
