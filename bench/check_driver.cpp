// Runs check cycles of the store's accounts in one process, as the saver
// does (one CheckCycle, so that what a cycle remembers in memory serves the
// next; nothing is kept in a state file, so a run's first cycle starts
// afresh), and prints one JSON line per cycle on standard output:
//   {"cycle":1,"wall":0.84,"cpu":0.21,"rows":2000,"newMail":true,"status":null,"finished":true}
// "wall" and "cpu" are seconds (CPU: user + system of the whole process,
// from getrusage), "rows" counts message rows, "status" is the first status
// row's code word. Between cycles it waits for a line on standard input, so
// that the caller can read what happened on the wire in between; the end of
// the input ends the run. The accounts come from the store as for
// `brivane --check` (BRIVANE_STORE).
//
//   brivane_check_driver [--cycles N] [--timeout SECONDS]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/check_mode.h"
#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "settings/settings.h"

namespace {

using brivane::CheckCycle;
using SteadyClock = std::chrono::steady_clock;

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs one cycle to its end or the deadline, collecting the checkers as
// runCheck does. False when a checker was still running at the deadline.
bool runCycle(CheckCycle& cycle, brivane::MessageQueue& queue, std::chrono::seconds timeout) {
  if (!cycle.Accounts.empty() && !cycle.StartCheckCycle()) return false;
  const auto deadline = SteadyClock::now() + timeout;
  while (cycle.liveCheckers() > 0) {
    const auto m = queue.waitNext(deadline);
    if (!m) return false;
    cycle.onDone(m->message, m->wParam);
  }
  return true;
}

bool parseArguments(int argc, char** argv, int& cycles, int& timeoutSeconds) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--cycles" || arg == "--timeout") && i + 1 < argc) {
      const int value = std::atoi(argv[++i]);
      if (value < 1 || value > 86400) return false;
      (arg == "--cycles" ? cycles : timeoutSeconds) = value;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 2;
  int timeoutSeconds = 600;
  if (!parseArguments(argc, argv, cycles, timeoutSeconds)) {
    std::cerr << "usage: brivane_check_driver [--cycles N] [--timeout SECONDS]\n";
    return 2;
  }
  brivane::AccountList accounts;
  brivane::SaverSettings settings;
  if (!brivane::readStoredAccounts(accounts, std::cerr, &settings)) return 1;

  brivane::MessageQueue queue;
  // Heap-held and never destroyed after a time-out: a checker thread may
  // still run (as in runCheck, the process then ends with _exit).
  auto* cycle = new CheckCycle(queue);
  cycle->Accounts = accounts;
  cycle->displayMsgPreview = settings.displayMsgPreview;
  cycle->memory = std::make_shared<brivane::CheckMemory>();  // in memory only

  for (int n = 1; n <= cycles; ++n) {
    if (n > 1) {
      std::string go;
      if (!std::getline(std::cin, go)) break;
    }
    const double cpuBefore = cpuSeconds();
    const auto start = SteadyClock::now();
    const bool finished = runCycle(*cycle, queue, std::chrono::seconds(timeoutSeconds));
    const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;

    size_t rows = 0;
    nlohmann::json status = nullptr;
    cycle->readResults([&](const auto& list) {
      for (const brivane::MessageSummary& row : list) {
        if (!row.isStatus())
          ++rows;
        else if (status.is_null())
          status = row.subject;
      }
      return 0;
    });
    const nlohmann::ordered_json line = {{"cycle", n},       {"wall", wall},
                                         {"cpu", cpu},       {"rows", rows},
                                         {"newMail", cycle->newMailArrived.load() != 0},
                                         {"status", status}, {"finished", finished}};
    std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    if (!finished) {
      std::cerr << "brivane_check_driver: cycle " << n << " did not finish within " << timeoutSeconds
                << " seconds\n";
      cycle->requestStopAll();
      std::fflush(nullptr);
      ::_exit(1);
    }
  }
  delete cycle;
  return 0;
}
