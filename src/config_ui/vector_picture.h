#pragma once
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "widgets/rich_graphics.h"

namespace brivane {

// One of the kit's vector pictures (art::lockSecure, art::warning, ...) as a
// small square control: drawn at paint time, so it stays sharp at any font
// size and device pixel ratio, and needs no icon theme. Its side is
// `lines` text lines of the control's font.
class VectorPicture : public QWidget {
 public:
  explicit VectorPicture(QWidget* parent = nullptr) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  }

  void setPicture(PictureDraw draw, double lines = 1.0) {
    draw_ = std::move(draw);
    lines_ = lines;
    updateGeometry();
    update();
  }

  QSize sizeHint() const override {
    const int side = std::max(16, static_cast<int>(fontMetrics().height() * lines_));
    return {side, side};
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!draw_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int side = std::min(width(), height());
    draw_(p, QRectF((width() - side) / 2.0, (height() - side) / 2.0, side, side), 0);
  }

 private:
  PictureDraw draw_;
  double lines_ = 1.0;
};

}  // namespace brivane
