#pragma once
#include <QLayout>
#include <QWidget>
#include <algorithm>

namespace brivane {

// For a window whose layout holds wrapped text: makes its minimum height
// the height the texts need at its narrowest, so that nothing smaller (the
// window system's cap at a share of a small screen, a user's resize)
// squeezes a control. Qt's own minimum leaves wrapped text out. Call it
// again whenever a wrapped text or a row's visibility changes.
inline void FitMinimumHeight(QWidget& window) {
  QLayout* layout = window.layout();
  if (layout == nullptr) return;
  layout->activate();
  const QSize least = layout->totalMinimumSize();
  const int width = std::max(window.minimumWidth(), least.width());
  const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : least.height();
  window.setMinimumHeight(std::max(height, least.height()));
}

}  // namespace brivane
