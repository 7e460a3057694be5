#include "desktop/x11_idle_monitor.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "desktop/x11_error_trap.h"

namespace brivane {

namespace {

std::function<void()>& lossHandler() {
  static std::function<void()> handler;
  return handler;
}

int onIoError(Display*) {
  static bool reported = false;
  if (!reported && lossHandler()) {
    reported = true;
    lossHandler()();
  }
  std::fflush(nullptr);
  _exit(1);
}

// The window manager's state lists are short; more than this is not read.
constexpr long kMostStateAtoms = 64;

// One 32-bit property of `window` with `type`, at most `most` items; empty
// on any error, a missing property or another type or format.
std::vector<unsigned long> readProperty(Display* d, Window window, Atom property, Atom type, long most) {
  std::vector<unsigned long> items;
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  X11ErrorTrap trap(d);
  const int status = XGetWindowProperty(d, window, property, 0, most, False, type, &actualType, &format, &count,
                                        &after, &data);
  const bool failed = trap.sync() != 0;
  if (status == Success && !failed && actualType == type && format == 32 && data != nullptr) {
    // Xlib hands 32-bit items over as longs.
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    items.assign(values, values + count);
  }
  if (data != nullptr) XFree(data);
  return items;
}

}  // namespace

X11IdleMonitor::~X11IdleMonitor() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

void X11IdleMonitor::setConnectionLossHandler(std::function<void()> onLoss) { lossHandler() = std::move(onLoss); }

bool X11IdleMonitor::open(std::string& error) {
  display_ = XOpenDisplay(nullptr);
  if (display_ == nullptr) {
    const char* name = std::getenv("DISPLAY");
    error = std::string("cannot open the X display \"") + (name ? name : "") + "\"";
    return false;
  }
  int eventBase = 0, errorBase = 0;
  if (!XScreenSaverQueryExtension(display_, &eventBase, &errorBase)) {
    error = "the X server has no MIT-SCREEN-SAVER extension, so its idle time is unknown";
    XCloseDisplay(display_);
    display_ = nullptr;
    return false;
  }
  XSetIOErrorHandler(onIoError);
  root_ = DefaultRootWindow(display_);
  activeAtom_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
  stateAtom_ = XInternAtom(display_, "_NET_WM_STATE", False);
  fullScreenAtom_ = XInternAtom(display_, "_NET_WM_STATE_FULLSCREEN", False);
  return true;
}

int X11IdleMonitor::connectionFd() const { return display_ != nullptr ? ConnectionNumber(display_) : -1; }

void X11IdleMonitor::checkConnection() {
  if (display_ == nullptr) return;
  // Nothing is selected, so nothing but a lost connection (which XPending
  // reports to the I/O error handler) or a stray event arrives.
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
  }
}

std::optional<IdleReading> X11IdleMonitor::read() {
  if (display_ == nullptr) return std::nullopt;
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  if (info == nullptr) return std::nullopt;
  std::optional<IdleReading> reading;
  X11ErrorTrap trap(display_);
  const Status ok = XScreenSaverQueryInfo(display_, root_, info);
  if (trap.sync() == 0 && ok != 0)
    reading = IdleReading{static_cast<int64_t>(info->idle), info->state == ScreenSaverOn};
  XFree(info);
  return reading;
}

bool X11IdleMonitor::activeWindowFullScreen() {
  if (display_ == nullptr) return false;
  const std::vector<unsigned long> active = readProperty(display_, root_, activeAtom_, XA_WINDOW, 1);
  if (active.size() != 1 || active[0] == None) return false;
  for (unsigned long atom : readProperty(display_, active[0], stateAtom_, XA_ATOM, kMostStateAtoms))
    if (atom == fullScreenAtom_) return true;
  return false;
}

void X11IdleMonitor::suspendServerSaver(bool suspend) {
  if (display_ == nullptr) return;
  X11ErrorTrap trap(display_);
  XScreenSaverSuspend(display_, suspend ? True : False);
  trap.sync();
}

void X11IdleMonitor::resetServerSaver() {
  if (display_ == nullptr) return;
  X11ErrorTrap trap(display_);
  XForceScreenSaver(display_, ScreenSaverReset);
  trap.sync();
}

}  // namespace brivane
