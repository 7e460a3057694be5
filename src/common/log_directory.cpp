#include "common/log_directory.h"

#include <unistd.h>

#include "common/xdg_paths.h"

namespace brivane {

std::string logDirectoryPath() {
  const std::string state = xdgStateHome();
  return state.empty() ? std::string() : state + "/Torvex/Brivane/";
}

bool GetLogDirectory(std::string& dir) {
  const std::string path = logDirectoryPath();
  if (path.empty()) return false;
  const int fd = openUserFolder(path, 2, true);
  if (fd < 0) return false;
  ::close(fd);
  dir = path;
  return true;
}

}  // namespace brivane
