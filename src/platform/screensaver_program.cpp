#include "platform/screensaver_program.h"

#include <filesystem>
#include <system_error>

namespace brivane {

const std::vector<std::string>& defaultHackFolders() {
  static const std::vector<std::string> folders = {"/usr/libexec/xscreensaver", "/usr/lib/xscreensaver",
                                                   "/usr/lib64/xscreensaver"};
  return folders;
}

ScreensaverKind screensaverKind(const std::string& path, const std::vector<std::string>& hackFolders) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path program = fs::canonical(path, ec);
  if (ec) return ScreensaverKind::Standard;
  for (const std::string& folder : hackFolders) {
    const fs::path dir = fs::canonical(folder, ec);
    if (!ec && program.parent_path() == dir) return ScreensaverKind::CollectionHack;
  }
  return ScreensaverKind::Standard;
}

std::vector<std::string> screensaverCommand(const std::string& path, unsigned long window, bool fullScreen,
                                            const std::vector<std::string>& hackFolders) {
  if (screensaverKind(path, hackFolders) == ScreensaverKind::CollectionHack) {
    return {path, "--window-id", std::to_string(window)};
  }
  if (fullScreen) return {path, "-s"};
  return {path, "-p", std::to_string(window)};
}

}  // namespace brivane
