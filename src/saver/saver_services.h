#pragma once
#include <chrono>
#include <string>

#include "platform/background_launcher.h"
#include "platform/message_target.h"
#include "platform/update_starter.h"

// What the saver window starts besides its checkers: the background
// screensaver and the update check. The saver only sees the interfaces
// BackgroundLauncher and UpdateStarter (in platform/); the real ones
// (ScreensaverBackground, UpdateCheckStarter) and the recording fakes of the
// tests implement them. The two below stand in when neither can run.
namespace brivane {

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
