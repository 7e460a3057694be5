#include "widgets/rich_label.h"

#include <QDateTime>
#include <QPainter>

#include "widgets/markup_painter.h"

namespace brivane {

RichLabel::RichLabel(QWidget* parent) : QWidget(parent), metrics_(this) {
  style_.font = {uiFontFamily().toStdString(), 9, false, false};
  style_.color = toRgb(palette().color(QPalette::WindowText));
  setFocusPolicy(Qt::NoFocus);
}

void RichLabel::setDefaultFont(const FontSpec& font, const QColor& color) {
  style_.font = font;
  if (style_.font.family.empty()) style_.font.family = uiFontFamily().toStdString();
  style_.color = toRgb(color);
  relayout();
}

void RichLabel::setText(std::string text) {
  if (text == text_) return;
  text_ = std::move(text);
  relayout();
}

void RichLabel::relayout() {
  int dpi = logicalDpiX();
  style_.pictureScale = dpi > 0 ? dpi / 96.0 : 1.0;
  style_.width = width();
  layout_ = layoutMarkup(text_, style_, graphics_.catalog(width(), style_.pictureScale), metrics_);
  update();
}

void RichLabel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  relayout();
}

void RichLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  paintRow(painter, layout_, QPointF(0, height() - layout_.height), metrics_, graphics_,
           QDateTime::currentMSecsSinceEpoch());
}

bool RichLabel::event(QEvent* event) {
  const bool result = QWidget::event(event);
  // Measured with the old font, screen or pixel ratio: measure again.
  if (isMetricsChange(event)) {
    metrics_.reset();
    relayout();
  }
  return result;
}

}  // namespace brivane
