#include "common/log_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace brivane {

namespace {

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

// Creates `path` if missing; true when it is (now) a directory.
bool ensureDirectory(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (mkdir(path.c_str(), 0700) == 0) return true;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool GetLogDirectory(std::string& dir) {
  std::string base;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') {
    base = state;
  } else {
    const std::string home = homeDirectory();
    if (home.empty()) return false;
    base = home + "/.local/state";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();

  // Create every level from the root down, so that a missing ~/.local is made too.
  std::string path;
  size_t pos = 0;
  const std::string full = base + "/Torvex/Brivane";
  while (pos != std::string::npos) {
    const size_t next = full.find('/', pos + 1);
    path = full.substr(0, next);
    pos = next;
    if (path.empty()) continue;
    if (!ensureDirectory(path)) return false;
  }
  dir = full + "/";
  return true;
}

}  // namespace brivane
