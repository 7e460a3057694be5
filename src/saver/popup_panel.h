#pragma once
#include <QColor>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace brivane {

// A floating panel over the saver: borderless, always on top, never taking
// the keyboard focus, rounded corners with real alpha (or a window mask
// without a compositor). It fades in to its target opacity `Tag` when shown
// (+3 every 10 ms) and, when asked to fade before closing, fades out
// (-5 every 10 ms) and then closes itself. Where window opacity does not
// reach the screen (X11 without a compositing manager) a fade would only
// wake the program a hundred times for nothing: it jumps to its end on its
// first tick and stops (or closes) on the second.
class PopupPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kFadeMs = 10;
  static constexpr int kFadeInStep = 3;
  static constexpr int kFadeOutStep = 5;
  static constexpr int kCornerRadius = 8;

  // `owner`: the saver window (the panel stays above it and goes with it).
  PopupPanel(QWidget* owner, QColor background, bool hasFadeOut);

  // The target opacity of the fade-in, clamped to 0..255.
  int tag() const { return tag_; }
  void setTag(int tag);
  // Current opacity, 0..255.
  int opacity() const { return opacity_; }
  bool fadingOut() const { return fadingOut_; }
  bool fadeBeforeClosing() const { return fadeBeforeClosing_; }
  void setFadeBeforeClosing(bool on) { fadeBeforeClosing_ = on; }
  // Sets the fade-before-closing flag and closes: the panel fades out first.
  void closeWithFade();
  // One tick of the fade timer (called by the timer every 10 ms).
  void fadeTick();
  // For tests: whether window opacity is seen (asked when a fade starts;
  // default: a compositor runs).
  void setOpacityShown(std::function<bool()> probe) { opacityShown_ = std::move(probe); }

  // Resizes and places the children at once, also while the panel is
  // hidden (Qt delivers a hidden window's resize event only when it shows).
  void setPanelSize(QSize size);

  // Showing restarts the fade-in from opacity 0 (also during a fade-out);
  // showing a panel that is already steady changes nothing.
  void setVisible(bool visible) override;

 protected:
  QTimer* fadeTimer() { return &fadeTimer_; }
  // Places the children for the current size.
  virtual void layoutChildren() {}
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void applyOpacity();
  void updateMask();
  void startFade();

  QColor background_;
  bool hasFadeOut_;
  int tag_ = 255;
  int opacity_ = 0;
  bool fadingOut_ = false;
  bool fadeBeforeClosing_ = false;
  bool fadeAtOnce_ = false;  // the running fade is not seen: one step
  std::function<bool()> opacityShown_;
  QTimer fadeTimer_;
};

}  // namespace brivane
