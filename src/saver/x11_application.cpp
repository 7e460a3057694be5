#include "saver/x11_application.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <X11/Xlib.h>

#include <cstdlib>

namespace brivane {

bool CanOpenX11Display(std::string& error) {
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) {
    const char* name = std::getenv("DISPLAY");
    error = name != nullptr && *name != '\0' ? std::string("cannot open the X display ") + name
                                             : "cannot open the X display (DISPLAY is not set)";
    return false;
  }
  XCloseDisplay(d);
  return true;
}

_XDisplay* ApplicationX11Display() {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr ? x11->display() : nullptr;
}

void FlushX11Display() {
  if (Display* d = ApplicationX11Display()) XFlush(d);
}

}  // namespace brivane
