#pragma once
#include <string>
#include <vector>

#include "platform/background_launcher.h"
#include "platform/process_launcher.h"
#include "platform/screensaver_program.h"

namespace brivane {

// The real background screensaver: the program started by the screensaver
// rule (screensaver_program.h) through a ProcessLauncher. terminate() asks
// with SIGTERM and forces with SIGKILL after the grace period (2 s); kill()
// forces at once. Used from the UI thread only (see ProcessLauncher).
class ScreensaverBackground : public BackgroundLauncher {
 public:
  explicit ScreensaverBackground(std::vector<std::string> hackFolders = defaultHackFolders(),
                                 ProcessLauncher::Duration grace = std::chrono::seconds(2))
      : hackFolders_(std::move(hackFolders)), process_(grace) {}

  bool start(const std::string& path, unsigned long window, bool fullScreen) override {
    return process_.start(screensaverCommand(path, window, fullScreen, hackFolders_));
  }
  bool hasEnded(std::chrono::milliseconds wait) override { return process_.hasEnded(wait); }
  void terminate() override { process_.terminate(); }
  void kill() override { process_.kill(); }
  int endDescriptor() const override { return process_.endDescriptor(); }
  std::string error() const override { return process_.error(); }
  std::string endReason() const override { return process_.endReason(); }

 private:
  std::vector<std::string> hackFolders_;
  ProcessLauncher process_;
};

}  // namespace brivane
