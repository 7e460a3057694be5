#include "saver/power_sound_steps.h"

namespace brivane {

PowerSoundSteps::PowerSoundSteps(const SaverSettings& settings, DisplayPower& power, NotificationSound& sound,
                                 TimerSwitch keepDisplayOn)
    : playNotification_(settings.playNotification),
      notificationPath_(settings.notificationPath),
      monitorOff_(settings.monitorOff),
      monitorOn_(settings.monitorOn),
      monitorStayOn_(settings.monitorStayOn),
      lookedUp_(settings.monitorOn || settings.monitorStayOn),
      power_(power),
      sound_(sound),
      keepDisplayOn_(std::move(keepDisplayOn)) {}

void PowerSoundSteps::endOfCycle(bool newMailArrived, bool hasMessages) {
  if (newMailArrived) {
    if (playNotification_) sound_.play(notificationPath_);
    if (monitorOn_) wake();
  }
  const bool keep = hasMessages && monitorStayOn_;
  if (keepDisplayOn_) keepDisplayOn_(keep);
  // No restore() when there is no more reason to keep the monitor on: the
  // display's saver stays held off for the whole run (holdScreenSaver), and
  // its settings come back when the window is hidden.
  if (monitorOff_) {
    if (!hasMessages) {
      monitorLowered_ = true;
      power_.monitorLowPower();
    } else {
      // Both this and the new-mail step may wake the monitor in one cycle; a
      // second "on" is harmless.
      if (monitorLowered_) wake();
      monitorLowered_ = false;
    }
  }
}

void PowerSoundSteps::wake() {
  power_.monitorOn();
  resetIdleTimer();
}

void PowerSoundSteps::resetIdleTimer() {
  if (lookedUp_) power_.resetIdleTimer();
}

}  // namespace brivane
