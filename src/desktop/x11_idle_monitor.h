#pragma once
#include <functional>
#include <optional>
#include <string>

#include "platform/idle_watch.h"

struct _XDisplay;  // Xlib's Display

// The idle watcher's view of the X server, over a connection of its own:
// the idle time and the state of the server's own saver (MIT-SCREEN-SAVER
// extension), whether the active window is full screen (the window
// manager's _NET_ACTIVE_WINDOW and _NET_WM_STATE), and the suspension and
// reset of the server's saver. Every reply is bounded and every X error is
// trapped: a window that vanished between two requests is "not full screen".
namespace brivane {

class X11IdleMonitor : public IdleSensor {
 public:
  X11IdleMonitor() = default;
  ~X11IdleMonitor() override;
  X11IdleMonitor(const X11IdleMonitor&) = delete;
  X11IdleMonitor& operator=(const X11IdleMonitor&) = delete;

  // Connects to $DISPLAY. False, with `error` saying why, when the display
  // cannot be opened or has no MIT-SCREEN-SAVER extension.
  bool open(std::string& error);
  // The connection's descriptor: readable when the server sends something
  // or the connection is lost (call checkConnection() then); -1 if closed.
  int connectionFd() const;
  // Reads what the server sent. A lost connection runs `onLoss` once and
  // ends the process with status 1 (Xlib allows nothing else).
  void checkConnection();
  static void setConnectionLossHandler(std::function<void()> onLoss);

  std::optional<IdleReading> read() override;
  bool activeWindowFullScreen() override;
  void suspendServerSaver(bool suspend) override;
  void resetServerSaver() override;

 private:
  _XDisplay* display_ = nullptr;
  unsigned long root_ = 0;
  unsigned long activeAtom_ = 0, stateAtom_ = 0, fullScreenAtom_ = 0;
};

}  // namespace brivane
