#include "desktop/x11_display_power.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

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

void X11DisplayPower::monitorOn() { forceLevel(DPMSModeOn); }

void X11DisplayPower::monitorLowPower() {
  restore();  // a level can be forced only with DPMS on
  forceLevel(DPMSModeStandby);
}

void X11DisplayPower::resetIdleTimer() {
  // Already off (by us, or never on): nothing to do.
  if (dpmsSwitchedOff_ || !dpmsUsable()) return;
  X11ErrorTrap trap(display_);
  DPMSDisable(display_);  // the monitor comes on and stays on
  dpmsSwitchedOff_ = trap.sync() == 0;
}

void X11DisplayPower::restore() {
  if (!dpmsSwitchedOff_) return;
  dpmsSwitchedOff_ = false;
  X11ErrorTrap trap(display_);
  DPMSEnable(display_);
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
