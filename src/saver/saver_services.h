#pragma once
#include <chrono>
#include <string>

#include "platform/message_target.h"

// What the saver window starts besides its checkers: the background
// screensaver and the update check. The saver only sees these interfaces;
// the real ones and the recording fakes of the tests implement them.
namespace brivane {

// The background screensaver, a program of its own behind the panels.
class BackgroundLauncher {
 public:
  virtual ~BackgroundLauncher() = default;
  // Starts the program at `path`, drawing into the X11 window `window`
  // (or in a full-screen window of its own with `fullScreen`). True when the
  // program runs.
  virtual bool start(const std::string& path, unsigned long window, bool fullScreen) = 0;
  // True when a started program has ended, waiting at most `wait`.
  virtual bool hasEnded(std::chrono::milliseconds wait) = 0;
  // Ends the program and everything it started (asks first, then forces).
  virtual void terminate() = 0;
  // Ends the program at once: the saver is about to end the process.
  virtual void kill() = 0;
};

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

// No background program can be started (the saver shows its plain colour).
class NoBackground : public BackgroundLauncher {
 public:
  bool start(const std::string&, unsigned long, bool) override { return false; }
  bool hasEnded(std::chrono::milliseconds) override { return false; }
  void terminate() override {}
  void kill() override {}
};

// No update address is configured: the check ends at once with nothing found.
class NoUpdateCheck : public UpdateStarter {
 public:
  void start(MessageTarget& target) override;
  std::string latestVersion() override { return {}; }
  void requestStop() override {}
  bool waitFor(std::chrono::steady_clock::time_point) override { return true; }
  void openDownloadPage() override {}
};

}  // namespace brivane
