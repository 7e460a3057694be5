#pragma once
#include <QPoint>
#include <optional>

class QWidget;

namespace brivane {

// A dialog opened for a foreign X11 window (the window id a desktop's
// screensaver settings pass on the command line): the top-left corner of
// that window in root coordinates, and making `dialog` transient for it.
// Both do nothing off X11 or for a window that does not exist. UI thread.
std::optional<QPoint> X11WindowOrigin(unsigned long window);
void X11SetTransientFor(QWidget* dialog, unsigned long window);

}  // namespace brivane
