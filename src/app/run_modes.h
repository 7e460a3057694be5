#pragma once
#include <cstdint>

// Runs what the command line chose: the windows of the mode and their
// message loop. Returns the process exit status.
namespace brivane {

// Exit status of a mode whose windows this build does not have yet.
inline constexpr int kExitModeNotAvailable = 3;

int RunSelectedMode(uint8_t runMode, int32_t parentWindow, int argc, char** argv);

// The saver inside the X11 window `window` (0: the root window), which a
// screensaver host made and owns. Takes the instance guard itself: the
// copy that gets it runs the whole saver there; a copy started while it is
// held (the host runs one per monitor) fills its window with the background
// colour, checking no mail. Ends on SIGTERM or when the window is destroyed
// (0); 1 when there is no X display or no such window.
int RunHostedMode(unsigned long window);

}  // namespace brivane
