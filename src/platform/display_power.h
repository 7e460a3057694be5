#pragma once

namespace brivane {

// The monitor's power as the saver drives it. The real implementation
// (saver/x11_display_power.h) speaks DPMS to the X server; tests use
// FakeDisplayPower (platform/power_sound_fakes.h). All calls come from the UI
// thread and never fail: what the display cannot do is skipped.
class DisplayPower {
 public:
  virtual ~DisplayPower() = default;
  // Wakes the monitor (full power).
  virtual void monitorOn() = 0;
  // Puts the monitor into its low-power state.
  virtual void monitorLowPower() = 0;
  // Restarts the display's idle countdown, as user input would, so that it
  // does not blank or power down while mail is waiting.
  virtual void resetIdleTimer() = 0;
};

}  // namespace brivane
