#include "desktop/x11_error_trap.h"

#include <X11/Xlib.h>

namespace brivane {
namespace {

int caughtError = 0;  // first error code since the last sync(); UI thread only

int recordError(Display*, XErrorEvent* event) {
  if (caughtError == 0) caughtError = event->error_code;
  return 0;
}

}  // namespace

X11ErrorTrap::X11ErrorTrap(_XDisplay* display) : display_(display) {
  XSync(display_, False);  // errors of earlier requests belong to the previous handler
  caughtError = 0;
  previous_ = reinterpret_cast<void*>(XSetErrorHandler(recordError));
}

X11ErrorTrap::~X11ErrorTrap() {
  XSync(display_, False);
  XSetErrorHandler(reinterpret_cast<XErrorHandler>(previous_));
  caughtError = 0;
}

int X11ErrorTrap::sync() {
  XSync(display_, False);
  const int code = caughtError;
  caughtError = 0;
  return code;
}

}  // namespace brivane
