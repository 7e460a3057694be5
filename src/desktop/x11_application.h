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

// While it lives, the keyboard of the application's screen is held by the
// application without a window of its own being shown, and `onKey` is
// called on every key press (a screen-capturing background keeps the saver
// window hidden at first; the keys must still end the run). Nothing without
// X11, or when another program holds the keyboard. UI thread only.
class X11KeyWatch : public QAbstractNativeEventFilter {
 public:
  explicit X11KeyWatch(std::function<void()> onKey);
  ~X11KeyWatch() override;
  X11KeyWatch(const X11KeyWatch&) = delete;
  X11KeyWatch& operator=(const X11KeyWatch&) = delete;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  std::function<void()> onKey_;
  bool grabbed_ = false;
};

}  // namespace brivane
