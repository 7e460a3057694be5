#pragma once
#include <functional>
#include <string>

#include "platform/display_power.h"

struct _XDisplay;  // Xlib's Display

namespace brivane {

// Monitor power on X11.
// - holdScreenSaver() and resetIdleTimer() suspend the X server's screen
//   saver and DPMS timers (MIT-SCREEN-SAVER's suspend request) until
//   restore() or destruction: the monitor stays on, nothing blanks it over
//   the saver, and the server's idle time, which screen lockers and idle
//   tools read, is left alone. The server keeps one suspension per client,
//   given back also when the connection closes; when the last one is given
//   back while its saver is not active, the server starts the idle time
//   afresh (as after input).
// - monitorOn() forces DPMS level On, but only when the monitor is in a
//   low-power level (see the .cpp: forcing On also ends an active X screen
//   saver, which an idle tool such as xss-lock reads as the user's return).
// - monitorLowPower() forces DPMS level Standby.
// The screen saver and the user's DPMS settings are never switched or reset.
// DPMS requests are sent only when the server has the extension, is
// DPMS-capable and has DPMS enabled (checked at every request, since
// `xset -dpms` may change it during a run); otherwise they are skipped and
// the reason is logged once per object. Without an X display every call is
// skipped (also logged once). UI thread only.
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
  void holdScreenSaver() override { suspendTimers(); }
  void resetIdleTimer() override { suspendTimers(); }
  void restore() override;

  bool timersSuspended() const { return suspended_; }

 private:
  void suspendTimers();
  void forceLevel(unsigned short level);
  // True when DPMS requests can be sent now; logs the reason once when not.
  bool dpmsUsable();
  void logOnce(const std::string& line);

  _XDisplay* display_;
  bool ownDisplay_ = false;
  Log log_;
  bool logged_ = false;
  bool suspended_ = false;  // this object holds one suspension of the server's saver timers
};

}  // namespace brivane
