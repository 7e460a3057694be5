#include "desktop/x11_application.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

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

namespace {

std::function<void()>& lossHandler() {
  static std::function<void()> handler;
  return handler;
}

[[noreturn]] void endAfterLoss() {
  static bool ending = false;  // the handler may itself touch the dead connection
  if (!ending) {
    ending = true;
    if (lossHandler()) lossHandler()();
  }
  std::fflush(nullptr);
  std::_Exit(1);
}

int onXlibIoError(Display*) { endAfterLoss(); }

xcb_connection_t* applicationXcbConnection() {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr ? x11->connection() : nullptr;
}

// The framework calls exit(1) when it finds its connection broken; this
// handler, registered late, runs before the earlier ones and the static
// destructors.
void onExit() {
  xcb_connection_t* c = applicationXcbConnection();
  if (c != nullptr && xcb_connection_has_error(c) != 0) endAfterLoss();
}

}  // namespace

void EndOnX11ConnectionLoss(std::function<void()> onLoss) {
  if (ApplicationX11Display() == nullptr) return;
  lossHandler() = std::move(onLoss);
  XSetIOErrorHandler(onXlibIoError);
  std::atexit(onExit);
}

X11MapWatch::X11MapWatch(std::function<void(unsigned long)> onMapped) : onMapped_(std::move(onMapped)) {
  Display* display = ApplicationX11Display();
  xcb_connection_t* c = applicationXcbConnection();
  if (display == nullptr || c == nullptr) return;
  root_ = DefaultRootWindow(display);
  const auto root = static_cast<xcb_window_t>(root_);
  // The framework has its own selection on the root window: added to, not replaced.
  std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr), &std::free);
  if (!attributes) return;
  previousMask_ = attributes->your_event_mask;
  const uint32_t mask = previousMask_ | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  watching_ = true;
  qGuiApp->installNativeEventFilter(this);
}

X11MapWatch::~X11MapWatch() {
  if (!watching_) return;
  if (qGuiApp != nullptr) qGuiApp->removeNativeEventFilter(this);
  if (xcb_connection_t* c = applicationXcbConnection(); c != nullptr && xcb_connection_has_error(c) == 0) {
    xcb_change_window_attributes(c, static_cast<xcb_window_t>(root_), XCB_CW_EVENT_MASK, &previousMask_);
    xcb_flush(c);
  }
}

bool X11MapWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY) return false;
  const auto* map = static_cast<const xcb_map_notify_event_t*>(message);
  if (map->event == root_ && onMapped_) onMapped_(map->window);
  return false;  // the framework sees it too
}

X11KeyWatch::X11KeyWatch(std::function<void()> onKey) : onKey_(std::move(onKey)) {
  Display* display = ApplicationX11Display();
  if (display == nullptr) return;
  grabbed_ = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync, CurrentTime) ==
             GrabSuccess;
  if (grabbed_) qGuiApp->installNativeEventFilter(this);
}

X11KeyWatch::~X11KeyWatch() {
  if (!grabbed_) return;
  if (qGuiApp != nullptr) qGuiApp->removeNativeEventFilter(this);
  if (xcb_connection_t* c = applicationXcbConnection(); c != nullptr && xcb_connection_has_error(c) == 0) {
    XUngrabKeyboard(ApplicationX11Display(), CurrentTime);
    XFlush(ApplicationX11Display());
  }
}

bool X11KeyWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
  if (onKey_) onKey_();
  return true;  // for no window of the framework's
}

}  // namespace brivane
