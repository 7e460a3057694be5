#pragma once
#include <QAbstractNativeEventFilter>
#include <functional>
#include <string>

struct _XDisplay;  // Xlib's Display

namespace brivane {

// True when the X display named by $DISPLAY can be opened; otherwise `error`
// says why (Qt would abort without one).
bool CanOpenX11Display(std::string& error);

// The application's own X connection, or nullptr on another platform.
_XDisplay* ApplicationX11Display();

// Sends what the application's X connection still buffers (after releasing
// grabs and hiding windows, before a long wait). Nothing without X11.
void FlushX11Display();

// When the application's X connection is lost, `onLoss` runs once (to log a
// line) and the process ends with status 1 after stdio is flushed, by
// _Exit: the library exit handlers never run under live worker threads.
// Both ways of noticing are covered: an Xlib I/O error, and the exit the
// window framework itself makes on a broken connection. Call once, with the
// application's connection open.
void EndOnX11ConnectionLoss(std::function<void()> onLoss);

// While it lives, calls `onMapped` with the id of every top-level window
// that is mapped on the application's screen (a notification bubble, a menu
// of another program): the saver restacks itself above it. Nothing without
// X11. UI thread only.
class X11MapWatch : public QAbstractNativeEventFilter {
 public:
  explicit X11MapWatch(std::function<void(unsigned long window)> onMapped);
  ~X11MapWatch() override;
  X11MapWatch(const X11MapWatch&) = delete;
  X11MapWatch& operator=(const X11MapWatch&) = delete;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  std::function<void(unsigned long)> onMapped_;
  unsigned long root_ = 0;
  uint32_t previousMask_ = 0;
  bool watching_ = false;
};

}  // namespace brivane
