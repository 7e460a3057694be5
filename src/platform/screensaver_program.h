#pragma once
#include <string>
#include <vector>

// What a screensaver program is and how it is started: the one rule shared
// by the saver's background and the settings dialog's preview.
//
// Programs of the hack collections' folders (the path resolved through its
// links lies directly in one of them, itself resolved) draw into a given X11
// window with `--window-id <id>`. They always get the window, also when a
// full-screen background is asked for: their `--root` would draw on the root
// window, which the saver window covers. Any other program gets the
// screensaver switches: `-p <decimal id>` to draw into the window, `-s` to
// run full screen in a window of its own.
namespace brivane {

enum class ScreensaverKind { CollectionHack, Standard };

// /usr/libexec/xscreensaver, /usr/lib/xscreensaver, /usr/lib64/xscreensaver.
const std::vector<std::string>& defaultHackFolders();

ScreensaverKind screensaverKind(const std::string& path,
                                const std::vector<std::string>& hackFolders = defaultHackFolders());

// The argument vector that runs `path` (argv[0] is `path` as given).
std::vector<std::string> screensaverCommand(const std::string& path, unsigned long window, bool fullScreen,
                                            const std::vector<std::string>& hackFolders = defaultHackFolders());

}  // namespace brivane
