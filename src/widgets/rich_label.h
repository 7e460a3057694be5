#pragma once
#include <QWidget>
#include <string>

#include "markup/markup_layout.h"
#include "widgets/qt_text_metrics.h"
#include "widgets/rich_graphics.h"

namespace brivane {

// A label showing one mark-up text, bottom-aligned, with paragraph
// alignment against its own width. Its background is left transparent.
class RichLabel : public QWidget {
  Q_OBJECT

 public:
  explicit RichLabel(QWidget* parent = nullptr);

  void setDefaultFont(const FontSpec& font, const QColor& color);
  const FontSpec& defaultFont() const { return style_.font; }
  RichGraphics& graphics() { return graphics_; }
  const QtTextMetrics& textMetrics() const { return metrics_; }

  void setText(std::string text);
  const std::string& text() const { return text_; }
  // The laid-out text at the label's current width.
  const RowLayout& layout() const { return layout_; }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void relayout();

  QtTextMetrics metrics_;
  RichGraphics graphics_;
  LayoutStyle style_;
  std::string text_;
  RowLayout layout_;
};

}  // namespace brivane
