#include "desktop/compositor.h"

#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <cstdio>

// Xlib last: its macros (None, Bool, Status) clash with Qt's names.
#include <X11/Xatom.h>
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

bool setCompositorOpacity(QWidget* window, int opacity) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 != nullptr ? x11->display() : nullptr;
  if (display == nullptr) return false;
  static const Atom property = XInternAtom(display, "_NET_WM_WINDOW_OPACITY", False);
  const unsigned long value = static_cast<unsigned long>(
      static_cast<unsigned long long>(std::clamp(opacity, 0, 255)) * 0xFFFFFFFFull / 255u);
  XChangeProperty(display, static_cast<Window>(window->winId()), property, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&value), 1);
  XFlush(display);
  return true;
}

bool setServerBackground(QWidget* window, unsigned rgb) {
  if (QGuiApplication::platformName() != QLatin1String("xcb") || window->internalWinId() == 0) return false;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 != nullptr ? x11->display() : nullptr;
  if (display == nullptr) return false;
  const auto id = static_cast<Window>(window->internalWinId());
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, id, &attributes) == 0) return false;
  // TrueColor visuals of depth 24 and 32 (the alpha byte opaque).
  const unsigned long pixel = (rgb & 0xFFFFFFu) | (attributes.depth == 32 ? 0xFF000000u : 0u);
  XSetWindowBackground(display, id, pixel);
  XClearWindow(display, id);
  XFlush(display);
  return true;
}

}  // namespace brivane
