#pragma once

namespace brivane {

// The monitor's power as the saver drives it. The real implementation
// (desktop/x11_display_power.h) speaks DPMS to the X server; tests use
// FakeDisplayPower (platform/power_sound_fakes.h). All calls come from the UI
// thread and never fail: what the display cannot do is skipped.
class DisplayPower {
 public:
  virtual ~DisplayPower() = default;
  // Wakes the monitor (full power).
  virtual void monitorOn() = 0;
  // Puts the monitor into its low-power state.
  virtual void monitorLowPower() = 0;
  // Holds the display's own screen saver and its power-saving timers off
  // for the whole run, so that nothing blanks or powers down the monitor over
  // the saver; called when the saver window is shown.
  virtual void holdScreenSaver() = 0;
  // Keeps the display from blanking or powering down while mail is waiting,
  // without touching the idle time that screen lockers read (no fake input).
  virtual void resetIdleTimer() = 0;
  // Gives back what holdScreenSaver() and resetIdleTimer() changed (the
  // user's own power settings); called when the window is hidden, on every
  // way out of the run.
  virtual void restore() = 0;
};

// Leaves the monitor alone: the saver runs inside another program's window
// and that program owns display power.
class NoDisplayPower : public DisplayPower {
 public:
  void monitorOn() override {}
  void monitorLowPower() override {}
  void holdScreenSaver() override {}
  void resetIdleTimer() override {}
  void restore() override {}
};

}  // namespace brivane
