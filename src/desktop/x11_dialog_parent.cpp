// Xlib is included here alone: its macros (Bool, Status, None, ...) clash
// with Qt's names in the dialogs' own files.
#include "desktop/x11_dialog_parent.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>
#include <X11/Xlib.h>

#include "desktop/x11_error_trap.h"

namespace brivane {

namespace {

Display* appDisplay() {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr ? x11->display() : nullptr;
}

}  // namespace

std::optional<QPoint> X11WindowOrigin(unsigned long window) {
  Display* d = appDisplay();
  if (d == nullptr || window == 0) return std::nullopt;
  // The id may name no window, or one that goes away meanwhile: the trap
  // keeps Xlib's default handler from ending the program.
  X11ErrorTrap trap(d);
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(d, window, &attributes) == 0 || trap.sync() != 0) return std::nullopt;
  int x = 0, y = 0;
  Window child = 0;
  if (!XTranslateCoordinates(d, window, attributes.root, 0, 0, &x, &y, &child) || trap.sync() != 0)
    return std::nullopt;
  // Qt places in device-independent pixels.
  const qreal ratio = qGuiApp->devicePixelRatio();
  return QPoint(static_cast<int>(x / ratio), static_cast<int>(y / ratio));
}

void X11SetTransientFor(QWidget* dialog, unsigned long window) {
  if (appDisplay() == nullptr || window == 0) return;
  // Qt writes WM_TRANSIENT_FOR itself each time it maps a dialog (the client
  // leader when the dialog has no transient parent), which would replace a
  // hint set here with XSetTransientForHint. So the foreign window becomes the
  // dialog's transient parent, and Qt writes that window's id on every map.
  QWindow* foreign = QWindow::fromWinId(static_cast<WId>(window));
  if (foreign == nullptr) return;
  static_cast<QObject*>(foreign)->setParent(dialog);  // freed with the dialog; the X window stays
  dialog->winId();  // the dialog's own native window, so that it has a handle
  dialog->windowHandle()->setTransientParent(foreign);
}

}  // namespace brivane
