#include "app/run_modes.h"

#include <cstdio>

#include "app/command_line.h"

namespace brivane {

namespace {

int notAvailable(const char* what) {
  std::fprintf(stderr, "brivane: the %s is not available in this build yet\n", what);
  return kExitModeNotAvailable;
}

// One entry per run mode; each becomes the mode's real start as its windows arrive.
int runPreview(int32_t /*parentWindow*/, int /*argc*/, char** /*argv*/) { return notAvailable("preview"); }
int runSettingsDialog(int32_t /*parentWindow*/, int /*argc*/, char** /*argv*/) {
  return notAvailable("settings dialog");
}
int runFullScreen(int32_t /*parentWindow*/, int /*argc*/, char** /*argv*/) {
  return notAvailable("full-screen saver");
}

}  // namespace

int RunSelectedMode(uint8_t runMode, int32_t parentWindow, int argc, char** argv) {
  switch (runMode) {
    case kRunPreview:
      // No window to draw into: nothing to do.
      if (parentWindow == 0) return 0;
      return runPreview(parentWindow, argc, argv);
    case kRunFullScreen:
      return runFullScreen(parentWindow, argc, argv);
    default:
      return runSettingsDialog(parentWindow, argc, argv);
  }
}

}  // namespace brivane
