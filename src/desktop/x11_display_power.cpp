#include "desktop/x11_display_power.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

#include "desktop/x11_error_trap.h"

namespace brivane {

X11DisplayPower::X11DisplayPower(_XDisplay* display, Log log) : display_(display), log_(std::move(log)) {
  if (!display_) {
    display_ = XOpenDisplay(nullptr);
    ownDisplay_ = display_ != nullptr;
  }
}

X11DisplayPower::~X11DisplayPower() {
  restore();
  if (ownDisplay_) XCloseDisplay(display_);
}

// Why only from a low-power level: when DPMS is forced On while the X screen
// saver is active, the server also deactivates that saver, as input would.
// An idle tool that started this saver because the X saver activated reads
// that as the user's return: xss-lock then ends its notifier (-n), and a
// tool may end its command. A monitor that is already on needs no wake; one
// in Standby, Suspend or Off can only be woken this way. The X saver's
// timers are suspended for the run, so the monitor is low only when this
// saver lowered it (monitorLowPower) or it was already low when the run
// began.
void X11DisplayPower::monitorOn() {
  if (!dpmsUsable()) return;
  CARD16 level = DPMSModeOn;
  BOOL enabled = False;
  if (DPMSInfo(display_, &level, &enabled) && level == DPMSModeOn) return;
  forceLevel(DPMSModeOn);
}

void X11DisplayPower::monitorLowPower() { forceLevel(DPMSModeStandby); }

void X11DisplayPower::suspendTimers() {
  if (suspended_) return;  // one suspension per object: the server counts them per client
  if (!display_) {
    logOnce("Display power: no X display; monitor power requests skipped");
    return;
  }
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  // The suspend request came with version 1.1 of the extension.
  if (!XScreenSaverQueryExtension(display_, &eventBase, &errorBase) ||
      !XScreenSaverQueryVersion(display_, &major, &minor) || (major < 1 || (major == 1 && minor < 1))) {
    logOnce("Display power: the X server cannot suspend its screen saver; the monitor may blank during the run");
    return;
  }
  X11ErrorTrap trap(display_);
  XScreenSaverSuspend(display_, True);
  suspended_ = trap.sync() == 0;
}

void X11DisplayPower::restore() {
  if (!suspended_) return;
  suspended_ = false;
  X11ErrorTrap trap(display_);
  XScreenSaverSuspend(display_, False);
  trap.sync();
}

void X11DisplayPower::forceLevel(unsigned short level) {
  if (!dpmsUsable()) return;
  // The server may still refuse (DPMS switched off since the check): a
  // trapped BadMatch instead of Xlib's default handler ending the process.
  X11ErrorTrap trap(display_);
  DPMSForceLevel(display_, level);
  if (trap.sync() != 0) logOnce("Display power: the X server refused a DPMS request");
}

bool X11DisplayPower::dpmsUsable() {
  if (!display_) {
    logOnce("Display power: no X display; monitor power requests skipped");
    return false;
  }
  int eventBase = 0, errorBase = 0;
  if (!DPMSQueryExtension(display_, &eventBase, &errorBase) || !DPMSCapable(display_)) {
    logOnce("Display power: the X server has no DPMS; monitor power requests skipped");
    return false;
  }
  CARD16 powerLevel = 0;
  BOOL enabled = False;
  if (!DPMSInfo(display_, &powerLevel, &enabled) || !enabled) {
    logOnce("Display power: DPMS is disabled; monitor power requests skipped");
    return false;
  }
  return true;
}

void X11DisplayPower::logOnce(const std::string& line) {
  if (logged_) return;
  logged_ = true;
  if (log_) log_(line);
}

}  // namespace brivane
