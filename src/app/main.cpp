#include <csignal>

#include "app/command_line.h"
#include "app/instance_guard.h"
#include "app/long_options.h"
#include "app/run_modes.h"

int main(int argc, char** argv) {
  // Before any thread exists: a write to a closed socket must be an error,
  // never a dead process.
  std::signal(SIGPIPE, SIG_IGN);
  // Our own "--" options come first and never take the instance guard.
  if (const auto status = brivane::handleLongOption(argc, argv)) return *status;

  // Another instance runs: end at once, before any window, silently.
  if (!brivane::TakeInstanceGuard()) return 0;

  brivane::ParseCommandLine(argc, argv);
  const int status = brivane::RunSelectedMode(brivane::RunMode, brivane::ParentWindow, argc, argv);
  brivane::ReleaseInstanceGuard();
  return status;
}
