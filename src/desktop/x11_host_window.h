#pragma once
#include <QAbstractNativeEventFilter>
#include <QPointer>
#include <QSize>
#include <functional>
#include <string>

class QWidget;

namespace brivane {

// A foreign X11 window that the program runs inside (the window a
// screensaver host made for it, or the root window): the application's own
// connection selects StructureNotify on it, an embedded widget follows its
// size, and `onDestroyed` runs (from the event loop) when it is destroyed.
// The other program owns the window: nothing here changes or destroys it.
// UI thread only; the application's X connection must be open.
class X11HostWindow : public QAbstractNativeEventFilter {
 public:
  // `window` 0: the root window of the display's first screen.
  explicit X11HostWindow(unsigned long window);
  ~X11HostWindow() override;
  X11HostWindow(const X11HostWindow&) = delete;
  X11HostWindow& operator=(const X11HostWindow&) = delete;

  // Starts watching. False, with `error` set to one line, when there is no
  // X11 connection or the window does not exist. The window's events are
  // selected before its size is read, so a window that goes after a true
  // return always reaches `onDestroyed`.
  bool watch(std::string& error);

  unsigned long id() const { return window_; }
  // The size in device pixels, as last reported by the X server.
  QSize size() const { return size_; }
  bool destroyed() const { return destroyed_; }

  // Makes `widget` (a top-level widget, not shown yet) a child window of the
  // foreign window at its origin and of its size, and keeps it that size
  // (a window gone meanwhile gives `onDestroyed`: set that first).
  // The framework still takes it for a top-level window of its own, so that
  // it paints it as one (its backing store serves top-level windows).
  // Native child widgets would become native siblings of their own: the
  // caller sets Qt::AA_DontCreateNativeWidgetSiblings when it has any.
  void embed(QWidget* widget);

  std::function<void()> onDestroyed;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  void fitEmbedded();
  void hostGone();

  unsigned long window_;
  QSize size_;
  uint32_t previousMask_ = 0;
  bool watching_ = false;
  bool destroyed_ = false;
  QPointer<QWidget> embedded_;
};

}  // namespace brivane
