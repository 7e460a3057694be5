#include "widgets/markup_painter.h"

#include <QFontMetricsF>
#include <QPainter>

#include "widgets/qt_text_metrics.h"
#include "widgets/rich_graphics.h"

namespace brivane {

void paintRow(QPainter& painter, const RowLayout& row, QPointF origin,
              const QtTextMetrics& metrics, RichGraphics& graphics, qint64 nowMs) {
  for (const LaidOutPicture& p : row.pictures) graphics.paint(painter, p, origin, nowMs);
  for (const LaidOutText& t : row.texts) {
    const QFontMetrics& fm = metrics.fontMetrics(t.font);
    painter.setFont(toQFont(t.font));
    painter.setPen(toQColor(t.color));
    const QString text = QString::fromStdString(t.text);
    double x = t.x;
    // A run after a right tab ends where the layout put its end: measured
    // in whole pixels its start may be a fraction off, which would leave a
    // column of times ragged.
    if (t.rightTab) x = t.x + t.width - QFontMetricsF(painter.font(), painter.device()).horizontalAdvance(text);
    painter.drawText(origin + QPointF(x, t.y + fm.ascent()), text);
  }
}

bool rowIsAnimated(const RowLayout& row, const RichGraphics& graphics) {
  for (const LaidOutPicture& p : row.pictures) {
    if (graphics.isAnimated(p)) return true;
  }
  return false;
}

QRegion animatedRegion(const RowLayout& row, const RichGraphics& graphics, QPointF origin) {
  QRegion region;
  for (const LaidOutPicture& p : row.pictures) {
    if (graphics.isAnimated(p)) {
      region += QRectF(origin + QPointF(p.x, p.y), QSizeF(p.width, p.height)).toAlignedRect();
    }
  }
  return region;
}

}  // namespace brivane
