#pragma once
#include <chrono>
#include <string>

#include "platform/message_target.h"

namespace brivane {

// The update check: a worker thread that posts WM_UPDATECHECKDONE when it ends.
class UpdateStarter {
 public:
  virtual ~UpdateStarter() = default;
  // Starts a check; its done message goes to `target`.
  virtual void start(MessageTarget& target) = 0;
  // The latest version the check found ("a.b.c.d"), empty when none.
  virtual std::string latestVersion() = 0;
  // Asks a running check to stop; waits until it ended or the deadline
  // passed (true when no check is running any more).
  virtual void requestStop() = 0;
  virtual bool waitFor(std::chrono::steady_clock::time_point deadline) = 0;
  // Opens the download page in the user's browser.
  virtual void openDownloadPage() = 0;
};

}  // namespace brivane
