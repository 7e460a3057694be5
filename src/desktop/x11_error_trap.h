#pragma once

struct _XDisplay;  // Xlib's Display, without pulling Xlib's macros into every includer

namespace brivane {

// Catches the X protocol errors of one stretch of Xlib calls instead of
// letting Xlib's default handler end the process (a foreign window that
// disappears gives BadWindow, a DPMS request the server refuses BadMatch).
// Installs a process-wide handler for its lifetime and restores the previous
// one; use it on one thread, around calls on `display`.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(_XDisplay* display);
  ~X11ErrorTrap();
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  // Waits until the server has processed every request sent so far and
  // returns the first error code caught since the trap was set or last
  // checked (0: none), clearing it.
  int sync();

 private:
  _XDisplay* display_;
  void* previous_;
};

}  // namespace brivane
