#pragma once
#include <QPaintEngine>
#include <QWidget>

// A child window that another program draws into (a screensaver run with
// our window id): Qt never paints it (no paint engine), and its native
// window is not covered by Qt's backing store. Shared by the saver window
// and the settings dialog's preview.
namespace brivane {

class ForeignDrawnWidget : public QWidget {
 public:
  using QWidget::QWidget;
  QPaintEngine* paintEngine() const override { return nullptr; }

 protected:
  void paintEvent(QPaintEvent*) override {}
};

}  // namespace brivane
