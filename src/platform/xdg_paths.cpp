#include "platform/xdg_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

std::string xdgRuntimeDir() { return absoluteVariable("XDG_RUNTIME_DIR"); }

bool makeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  size_t pos = 0;
  while (true) {
    const size_t next = dir.find('/', pos + 1);
    const std::string level = dir.substr(0, next);
    if (!level.empty() && level != "/") {
      struct stat st {};
      if (stat(level.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return false;
      } else if (mkdir(level.c_str(), 0700) == 0) {
        chmod(level.c_str(), 0700);  // exactly 0700 whatever the umask
      } else if (!(errno == EEXIST && stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return false;
      }
    }
    if (next == std::string::npos) return true;
    pos = next;
  }
}

}  // namespace brivane
