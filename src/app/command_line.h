#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The screensaver command line: /s (full screen), /p or /l with a window id
// (preview), /c with an optional ":" and window id (settings dialog).
namespace brivane {

inline constexpr uint8_t kRunPreview = 0;
inline constexpr uint8_t kRunSettings = 1;
inline constexpr uint8_t kRunFullScreen = 2;

// Set once by ParseCommandLine before any window exists, read-only afterwards.
extern uint8_t RunMode;       // 0 preview, 1 settings dialog, 2 full screen
extern int32_t ParentWindow;  // window id from the command line, 0 when none

struct CommandLine {
  uint8_t runMode = kRunSettings;
  int32_t parentWindow = 0;
};

// The mode and window of the arguments (without the program name).
CommandLine parseCommandLine(const std::vector<std::string>& args);

// Sets RunMode and ParentWindow from the process arguments.
void ParseCommandLine(int argc, const char* const* argv);

// The switches screensaver hosts on X11 give their programs, recognised
// before the one-letter switches (which would read "-root" as "r"):
// "--window-id ID" or "-window-id ID" (ID decimal or 0x hexadecimal, not 0),
// and "--root" or "-root": the window in $XSCREENSAVER_WINDOW when that is
// set (the host's window), else the root window.
struct HostSwitch {
  bool matched = false;      // the first argument is one of these switches
  std::string error;         // set: one line for a usage error
  unsigned long window = 0;  // the window to run in; 0: the root window
};

// `args` without the program name; `hostWindowVariable` is the value of
// $XSCREENSAVER_WINDOW (nullptr when unset).
HostSwitch parseHostSwitch(const std::vector<std::string>& args, const char* hostWindowVariable);

}  // namespace brivane
