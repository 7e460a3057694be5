#include "common/xdg_paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace brivane {

namespace {

std::string absoluteVariable(const char* name) {
  const char* v = std::getenv(name);
  if (!v || v[0] != '/') return {};
  std::string s = v;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string underHome(const char* rel) {
  const std::string home = homeDirectory();
  return home.empty() ? std::string() : home + rel;
}

// Closes a descriptor at the end of a scope unless released.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

int fail(std::string* why, std::string_view level, const std::string& what) {
  if (why) *why = std::string(level) + ": " + what;
  return -1;
}

// The rules of openUserFolder for one opened level.
bool levelIsSafe(const struct stat& st, bool own, bool last, std::string& what) {
  const uid_t me = ::getuid();
  if (!S_ISDIR(st.st_mode)) {
    what = "not a folder";
    return false;
  }
  const bool mine = st.st_uid == me;
  if ((own || last) && !mine) {
    what = "belongs to someone else";
    return false;
  }
  if ((own || last) && (st.st_mode & (S_IWGRP | S_IWOTH))) {
    what = "writable by group or others";
    return false;
  }
  if (!mine && st.st_uid != 0) {
    what = "belongs to someone else";
    return false;
  }
  const bool sticky = st.st_mode & S_ISVTX;
  if ((st.st_mode & S_IWOTH) && !sticky) {
    what = "writable by others";
    return false;
  }
  if ((st.st_mode & S_IWGRP) && !sticky && st.st_gid != ::getgid()) {
    what = "writable by its group";
    return false;
  }
  return true;
}

}  // namespace

std::string homeDirectory() {
  std::string home = absoluteVariable("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
  return {};
}

std::string xdgConfigHome() {
  std::string v = absoluteVariable("XDG_CONFIG_HOME");
  return v.empty() ? underHome("/.config") : v;
}

std::string xdgStateHome() {
  std::string v = absoluteVariable("XDG_STATE_HOME");
  return v.empty() ? underHome("/.local/state") : v;
}

std::string xdgRuntimeDir(const std::string& systemRoot) {
  std::string v = absoluteVariable("XDG_RUNTIME_DIR");
  if (!v.empty()) return v;
  const std::string own = systemRoot + "/" + std::to_string(::getuid());
  const int fd = openUserFolder(own, 1, false);
  if (fd < 0) return {};
  ::close(fd);
  return own;
}

bool isWaylandSession() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (type != nullptr && std::string_view(type) == "wayland") || (wayland != nullptr && *wayland != '\0');
}

int openUserFolder(std::string_view path, size_t ownLevels, bool create, std::string* why) {
  if (path.empty() || path[0] != '/') return fail(why, path, "not an absolute path");
  std::vector<std::string_view> levels;
  for (size_t pos = 0; pos < path.size();) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    if (end > pos) levels.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  Fd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return fail(why, "/", std::strerror(errno));
  for (size_t i = 0; i < levels.size(); ++i) {
    const std::string name(levels[i]);
    const std::string_view upTo = path.substr(0, static_cast<size_t>(levels[i].data() - path.data()) + name.size());
    const bool own = i + ownLevels >= levels.size();
    const bool last = i + 1 == levels.size();
    int fd = ::openat(dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
      const bool made = ::mkdirat(dir.fd, name.c_str(), 0700) == 0;
      if (!made && errno != EEXIST) return fail(why, upTo, std::strerror(errno));
      fd = ::openat(dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0 && made) ::fchmod(fd, 0700);  // exactly 0700 whatever the umask
    }
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
      // A link: followed only above the program's own levels, and only when
      // this user or root made it.
      struct stat link {};
      if (own || ::fstatat(dir.fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode))
        return fail(why, upTo, own ? "a link or not a folder" : "not a folder");
      if (link.st_uid != ::getuid() && link.st_uid != 0) return fail(why, upTo, "a link made by someone else");
      fd = ::openat(dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) return fail(why, upTo, std::strerror(errno));
    Fd next(fd);
    struct stat st {};
    std::string what;
    if (::fstat(next.fd, &st) != 0) return fail(why, upTo, std::strerror(errno));
    if (!levelIsSafe(st, own, last, what)) return fail(why, upTo, what);
    std::swap(dir.fd, next.fd);
  }
  return dir.release();
}

}  // namespace brivane
