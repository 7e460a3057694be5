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

}  // namespace brivane
