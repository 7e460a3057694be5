#include <malloc.h>

#include <csignal>

#include "app/command_line.h"
#include "app/instance_guard.h"
#include "app/long_options.h"
#include "app/run_modes.h"

int main(int argc, char** argv) {
  // Before any thread exists: a write to a closed socket must be an error,
  // never a dead process.
  std::signal(SIGPIPE, SIG_IGN);
  // Two malloc arenas for all threads instead of one per thread that ever
  // allocated (checkers, Qt's painting and X threads): each arena keeps its
  // freed pages, and the few threads here seldom allocate at once.
  mallopt(M_ARENA_MAX, 2);
  // Our own "--" options come first and never take the instance guard.
  if (const auto status = brivane::handleLongOption(argc, argv)) return *status;

  // Another instance runs: end at once, before any window, silently.
  if (!brivane::TakeInstanceGuard()) return 0;

  brivane::ParseCommandLine(argc, argv);
  const int status = brivane::RunSelectedMode(brivane::RunMode, brivane::ParentWindow, argc, argv);
  brivane::ReleaseInstanceGuard();
  return status;
}
