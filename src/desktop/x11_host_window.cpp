#include "desktop/x11_host_window.h"

#include "desktop/x11_application.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace brivane {

namespace {

xcb_connection_t* applicationConnection() {
  auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr ? x11->connection() : nullptr;
}

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

std::string hexId(unsigned long window) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", window);
  return text;
}

}  // namespace

X11HostWindow::X11HostWindow(unsigned long window) : window_(window) {}

X11HostWindow::~X11HostWindow() {
  if (qGuiApp != nullptr) qGuiApp->removeNativeEventFilter(this);
  xcb_connection_t* c = applicationConnection();
  if (watching_ && !destroyed_ && c != nullptr && xcb_connection_has_error(c) == 0) {
    // Our selection is given back (the root window keeps the framework's own).
    xcb_change_window_attributes(c, static_cast<xcb_window_t>(window_), XCB_CW_EVENT_MASK, &previousMask_);
    xcb_flush(c);
  }
}

bool X11HostWindow::watch(std::string& error) {
  xcb_connection_t* c = applicationConnection();
  if (c == nullptr) {
    error = "no X11 connection to find window " + hexId(window_) + " on";
    return false;
  }
  if (window_ == 0) window_ = DefaultRootWindow(ApplicationX11Display());  // of the display's default screen
  const auto w = static_cast<xcb_window_t>(window_);
  const std::string gone = "window " + hexId(window_) + " does not exist";
  // Added to what this connection already selects there (the framework
  // selects on the root window).
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr), &std::free);
  if (!attributes) return error = gone, false;
  previousMask_ = attributes->your_event_mask;
  const uint32_t mask = previousMask_ | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  if (xcb_generic_error_t* e = xcb_request_check(c, xcb_change_window_attributes_checked(c, w, XCB_CW_EVENT_MASK, &mask))) {
    std::free(e);
    return error = gone, false;
  }
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr), &std::free);
  if (!geometry) return error = gone, false;
  size_ = QSize(geometry->width, geometry->height);
  watching_ = true;
  qGuiApp->installNativeEventFilter(this);
  return true;
}

void X11HostWindow::embed(QWidget* widget) {
  embedded_ = widget;
  const auto child = static_cast<xcb_window_t>(widget->winId());
  xcb_connection_t* c = applicationConnection();
  if (c == nullptr) return;
  // Refused only when the window went since watch(): as if destroyed now.
  if (xcb_generic_error_t* e = xcb_request_check(
          c, xcb_reparent_window_checked(c, child, static_cast<xcb_window_t>(window_), 0, 0))) {
    std::free(e);
    if (!destroyed_) hostGone();
    return;
  }
  fitEmbedded();
}

void X11HostWindow::fitEmbedded() {
  if (embedded_ == nullptr || size_.isEmpty()) return;
  // Widgets measure in device-independent pixels.
  const qreal ratio = embedded_->devicePixelRatioF() > 0 ? embedded_->devicePixelRatioF() : 1.0;
  embedded_->setGeometry(0, 0, qRound(size_.width() / ratio), qRound(size_.height() / ratio));
}

void X11HostWindow::hostGone() {
  destroyed_ = true;
  // Run from the event loop: the handler may end the run, which must not
  // happen inside the framework's event dispatch.
  if (onDestroyed) QMetaObject::invokeMethod(qGuiApp, [f = onDestroyed] { f(); }, Qt::QueuedConnection);
}

bool X11HostWindow::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || destroyed_) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  switch (event->response_type & 0x7f) {
    case XCB_CONFIGURE_NOTIFY: {
      const auto* configure = static_cast<const xcb_configure_notify_event_t*>(message);
      if (configure->window != window_ || configure->event != window_) break;
      const QSize size(configure->width, configure->height);
      if (size != size_) {
        size_ = size;
        fitEmbedded();
      }
      break;
    }
    case XCB_DESTROY_NOTIFY: {
      const auto* destroy = static_cast<const xcb_destroy_notify_event_t*>(message);
      if (destroy->window != window_) break;
      hostGone();
      break;
    }
    default:
      break;
  }
  return false;  // the framework sees it too
}

}  // namespace brivane
