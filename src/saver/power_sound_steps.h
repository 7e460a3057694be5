#pragma once
#include <functional>

#include "platform/display_power.h"
#include "platform/notification_sound.h"
#include "settings/settings.h"

namespace brivane {

// The saver's monitor power and notification sound, without a window: the
// power and sound steps at the end of a check cycle, the show and hide
// steps, and the tick of `tmrKeepDisplayOn`. The saver window owns one,
// calls it on the UI thread and starts or stops `tmrKeepDisplayOn` when
// `keepDisplayOn` is called with true or false.
//
// The idle-timer reset stands for an entry point the saver "looks up" at
// creation only when monitorOn or monitorStayOn is on; when it was not
// looked up, every reset is skipped and only the power requests remain.
class PowerSoundSteps {
 public:
  using TimerSwitch = std::function<void(bool run)>;

  // `power` and `sound` must outlive this object.
  PowerSoundSteps(const SaverSettings& settings, DisplayPower& power, NotificationSound& sound,
                  TimerSwitch keepDisplayOn);

  bool executionStateLookedUp() const { return lookedUp_; }
  bool monitorLowered() const { return monitorLowered_; }

  // The power and sound steps of EndOfCycle, run when the last checker of a
  // cycle has been collected, with the cycle's two flags.
  void endOfCycle(bool newMailArrived, bool hasMessages);
  // The saver window was shown: monitorLowered := false, and the display's
  // own saver is held off until the window is hidden.
  void windowShown() {
    monitorLowered_ = false;
    power_.holdScreenSaver();
  }
  // The saver window is hidden at the end of the run: monitor on, and the
  // user's power settings back.
  void windowHidden() {
    power_.monitorOn();
    power_.restore();
  }
  // One tick of `tmrKeepDisplayOn`: reset the display idle timer.
  void keepDisplayOnTick() { resetIdleTimer(); }

 private:
  void wake();  // monitor on, then the idle-timer reset
  void resetIdleTimer();

  bool playNotification_;
  std::string notificationPath_;
  bool monitorOff_;
  bool monitorOn_;
  bool monitorStayOn_;
  bool lookedUp_;
  bool monitorLowered_ = false;
  DisplayPower& power_;
  NotificationSound& sound_;
  TimerSwitch keepDisplayOn_;
};

}  // namespace brivane
