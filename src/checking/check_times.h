#pragma once
#include <cstdint>

namespace brivane {

// When an account's checks of a run ended: stamped by the checker as its
// check completes, read by the panel's headers and `--check --json`.
struct CheckTimes {
  // Wall-clock ends in milliseconds since 1970 (UTC); 0: none in this run.
  int64_t lastSuccessMs = 0;  // the last check that ended without an error
  int64_t latestEndMs = 0;    // the latest check, whatever its outcome
  int64_t latestDurationMs = 0;  // from the checker's creation to its end
  bool latestFailed = false;
  friend bool operator==(const CheckTimes&, const CheckTimes&) = default;
};

}  // namespace brivane
