#pragma once
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include "platform/message_target.h"

// The private window messages of worker threads, delivered on the UI thread:
// post() queues a WindowMessageEvent for the receiver (thread-safe, never
// blocks); the receiver handles it in event() or customEvent(). Shared by
// the saver window and the settings dialogs.
namespace brivane {

class WindowMessageEvent : public QEvent {
 public:
  static QEvent::Type type() {
    static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
    return t;
  }
  WindowMessageEvent(uint32_t message, uintptr_t wParam) : QEvent(type()), message(message), wParam(wParam) {}
  uint32_t message;
  uintptr_t wParam;
};

class PostedTarget : public MessageTarget {
 public:
  explicit PostedTarget(QObject* receiver) : receiver_(receiver) {}
  void post(uint32_t message, uintptr_t wParam) override {
    QCoreApplication::postEvent(receiver_, new WindowMessageEvent(message, wParam));
  }

 private:
  QObject* receiver_;
};

}  // namespace brivane
