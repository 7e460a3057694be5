#pragma once
#include <cstdint>

// Runs what the command line chose: the windows of the mode and their
// message loop. Returns the process exit status.
namespace brivane {

// Exit status of a mode whose windows this build does not have yet.
inline constexpr int kExitModeNotAvailable = 3;

int RunSelectedMode(uint8_t runMode, int32_t parentWindow, int argc, char** argv);

}  // namespace brivane
