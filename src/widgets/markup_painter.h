#pragma once
#include <QColor>
#include <QPointF>
#include <QRegion>

#include "markup/markup_layout.h"

class QPainter;

namespace brivane {

class QtTextMetrics;
class RichGraphics;

inline QColor toQColor(Rgb c) { return QColor(c.r, c.g, c.b); }
inline Rgb toRgb(const QColor& c) {
  return {static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()),
          static_cast<uint8_t>(c.blue())};
}

// Paints a laid-out row with its top-left corner at `origin`; `nowMs` picks
// the frame of animated pictures. Runs after a right tab are drawn to end at
// their laid-out end.
void paintRow(QPainter& painter, const RowLayout& row, QPointF origin,
              const QtTextMetrics& metrics, RichGraphics& graphics, qint64 nowMs);

// True when the row shows an animated picture.
bool rowIsAnimated(const RowLayout& row, const RichGraphics& graphics);

// Where the row's animated pictures are when its top-left corner is at
// `origin` (whole pixels around them): what a new frame has to repaint.
QRegion animatedRegion(const RowLayout& row, const RichGraphics& graphics, QPointF origin);

}  // namespace brivane
