#pragma once
#include <string>
#include <vector>

// `brivane --idle`: the idle watcher. A background process without a window
// that starts `brivane /s` as its child once the X display has seen no
// keyboard or pointer input for the time set in the settings
// (startAfterMinutes; $BRIVANE_IDLE_SECONDS, a positive number of seconds,
// replaces it for tests), and waits for it to end. One runs per X display
// (platform/idle_lock.h); a second one says so on standard error and ends
// with status 0. It refuses in a Wayland session and without $DISPLAY
// (status 1). SIGTERM, SIGINT and SIGHUP end it and its saver. The rules of
// when the saver starts are platform/idle_policy.h's.
namespace brivane {

int idleModeMain(const std::vector<std::string>& args);

}  // namespace brivane
