#pragma once
#include <chrono>
#include <string>

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
  // A descriptor that becomes readable when the started program ends; -1
  // when there is none (then hasEnded() must be asked).
  virtual int endDescriptor() const { return -1; }
  // Why the last start failed, or how the ended program ended (for a log line).
  virtual std::string error() const { return {}; }
  virtual std::string endReason() const { return {}; }
};

}  // namespace brivane
