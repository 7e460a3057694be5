#include "saver/popup_panel.h"

#include <QCloseEvent>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>
#include <algorithm>

#include "desktop/compositor.h"

namespace brivane {

PopupPanel::PopupPanel(QWidget* owner, QColor background, bool hasFadeOut)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint),
      background_(background),
      hasFadeOut_(hasFadeOut) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  fadeTimer_.setInterval(kFadeMs);
  connect(&fadeTimer_, &QTimer::timeout, this, &PopupPanel::fadeTick);
}

void PopupPanel::setTag(int tag) { tag_ = std::clamp(tag, 0, 255); }

namespace {
// Window-less platforms (offscreen rendering, tests) have no window opacity
// and complain on every call.
bool hasRealWindows() {
  static const bool real = QGuiApplication::platformName() != QLatin1String("offscreen") &&
                           QGuiApplication::platformName() != QLatin1String("minimal");
  return real;
}
}  // namespace

void PopupPanel::applyOpacity() {
  if (!isWindow()) {
    // A panel inside another window (the saver run in a host's window) has
    // no window opacity: it is painted with its opacity instead.
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(graphicsEffect());
    if (effect == nullptr) setGraphicsEffect(effect = new QGraphicsOpacityEffect(this));
    effect->setOpacity(opacity_ / 255.0);
    return;
  }
  if (!hasRealWindows()) return;
  if (!setCompositorOpacity(this, opacity_)) setWindowOpacity(opacity_ / 255.0);
}

void PopupPanel::closeWithFade() {
  fadeBeforeClosing_ = true;
  close();
}

void PopupPanel::fadeTick() {
  if (!fadingOut_) {
    if (opacity_ >= tag_) {
      fadeTimer_.stop();
      return;
    }
    opacity_ = fadeAtOnce_ ? tag_ : std::min(opacity_ + kFadeInStep, tag_);
  } else {
    if (opacity_ <= 0) {
      fadeTimer_.stop();
      close();  // granted: the fade-out is running
      return;
    }
    opacity_ = fadeAtOnce_ ? 0 : std::max(opacity_ - kFadeOutStep, 0);
  }
  applyOpacity();
}

void PopupPanel::startFade() {
  fadeAtOnce_ = isWindow() && !(opacityShown_ ? opacityShown_() : compositorRunning());
  fadeTimer_.start();
}

void PopupPanel::setVisible(bool visible) {
  if (!visible) {
    fadeTimer_.stop();
    fadingOut_ = false;
    QWidget::setVisible(false);
    return;
  }
  bool restart = !isVisible() || fadingOut_;
  if (restart) {
    fadeBeforeClosing_ = false;
    fadingOut_ = false;
    opacity_ = 0;
    applyOpacity();
    startFade();
    updateMask();
  }
  QWidget::setVisible(true);
  // The native window may be new after the show: give it the current opacity.
  if (restart) applyOpacity();
  if (hasRealWindows()) raise();  // above the saver after every show
}

void PopupPanel::closeEvent(QCloseEvent* event) {
  if (hasFadeOut_ && fadeBeforeClosing_ && !fadingOut_ && isVisible()) {
    // Refused for now: fade out first, then close from the last tick.
    event->ignore();
    fadingOut_ = true;
    opacity_ = tag_;
    applyOpacity();
    startFade();
    return;
  }
  fadeTimer_.stop();
  event->accept();
}

void PopupPanel::setPanelSize(QSize size) {
  resize(size);
  layoutChildren();
}

void PopupPanel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutChildren();
  updateMask();
}

void PopupPanel::updateMask() {
  // Without a compositor the transparent corners would show black: cut them
  // with a window mask instead. A child panel's corners show its parent.
  if (!isWindow() || compositorRunning()) {
    clearMask();
    return;
  }
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void PopupPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (isWindow()) {  // a child panel is painted over its parent's pixels
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  }
  p.setRenderHint(QPainter::Antialiasing);
  QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  p.setPen(QPen(QColor(255, 255, 255, 40), 1));
  p.setBrush(background_);
  p.drawRoundedRect(r, kCornerRadius - 0.5, kCornerRadius - 0.5);
}

}  // namespace brivane
