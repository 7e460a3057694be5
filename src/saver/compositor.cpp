#include "saver/compositor.h"

#include <QGuiApplication>
#include <cstdio>

// Xlib last: its macros (None, Bool, Status) clash with Qt's names.
#include <X11/Xlib.h>

namespace brivane {

bool compositorRunning() {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return true;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 != nullptr ? x11->display() : nullptr;
  if (display == nullptr) return false;
  char name[32];
  std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", DefaultScreen(display));
  Atom selection = XInternAtom(display, name, False);
  return XGetSelectionOwner(display, selection) != 0;
}

}  // namespace brivane
