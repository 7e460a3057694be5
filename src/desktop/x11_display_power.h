#pragma once
#include <functional>
#include <string>

#include "platform/display_power.h"

struct _XDisplay;  // Xlib's Display

namespace brivane {

// Monitor power on X11: monitor on = DPMS force level On, low power = DPMS
// force level Standby, idle-timer reset = DPMS switched off until restore()
// (or low power, or destruction) switches it on again: the monitor stays on,
// and the server's idle time, which screen lockers read, is left alone. The DPMS
// requests are sent only when the server has the extension, is DPMS-capable
// and has DPMS enabled (checked at every request, since `xset -dpms` may
// change it during a run); otherwise they are skipped and the reason is
// logged once per object. Without an X display every call is skipped (also
// logged once). UI thread only.
class X11DisplayPower : public DisplayPower {
 public:
  using Log = std::function<void(const std::string& line)>;

  // `display`: a connection of the caller's, not owned, used on this thread;
  // nullptr opens (and later closes) a connection of its own to $DISPLAY.
  explicit X11DisplayPower(_XDisplay* display = nullptr, Log log = {});
  ~X11DisplayPower() override;
  X11DisplayPower(const X11DisplayPower&) = delete;
  X11DisplayPower& operator=(const X11DisplayPower&) = delete;

  void monitorOn() override;
  void monitorLowPower() override;
  void resetIdleTimer() override;
  void restore() override;

 private:
  void forceLevel(unsigned short level);
  // True when DPMS requests can be sent now; logs the reason once when not.
  bool dpmsUsable();
  void logOnce(const std::string& line);

  _XDisplay* display_;
  bool ownDisplay_ = false;
  Log log_;
  bool logged_ = false;
  bool dpmsSwitchedOff_ = false;  // by resetIdleTimer(): the user had it on
};

}  // namespace brivane
