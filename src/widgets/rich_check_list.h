#pragma once
#include <QAbstractScrollArea>
#include <QTimer>
#include <string>
#include <vector>

#include "markup/markup_layout.h"
#include "widgets/qt_text_metrics.h"
#include "widgets/rich_graphics.h"

namespace brivane {

// A list of mark-up rows with check boxes: rows of one height (22 pixels, or
// more when the default font needs it), header rows without a check box,
// rows cut with "..." to the list's width. The current row moves with the
// arrows, Page Up/Down, Home and End and is kept in view; Space ticks it;
// the focused list marks its current row (or itself, with none).
class RichCheckList : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr int kRowHeight = 22;  // the least row height

  explicit RichCheckList(QWidget* parent = nullptr);

  void setDefaultFont(const FontSpec& font, const QColor& color);
  RichGraphics& graphics() { return graphics_; }
  void graphicsChanged();
  // Measures text exactly as the rows are drawn.
  const QtTextMetrics& textMetrics() const { return metrics_; }
  // Hides the highlight of the current row.
  void setSelectionHidden(bool hidden);

  int count() const { return static_cast<int>(items_.size()); }
  int add(std::string text, bool header = false, bool checked = false);
  void remove(int index);
  void clear();
  const std::string& text(int index) const;
  bool isHeader(int index) const;
  bool isChecked(int index) const;
  void setChecked(int index, bool checked);
  QRect rowRect(int index) const;
  int rowAt(QPoint viewportPos) const;
  int rowHeight() const { return rowHeight_; }
  int currentRow() const { return current_; }
  void setCurrentRow(int index);
  // Where a row's mark-up starts (after the check box, if any).
  int textLeft(int index) const;
  // The row as drawn: laid out and cut to the width.
  const RowLayout& rowLayout(int index) const;
  // Whether the frame timer of animated pictures runs: only while one is in
  // view and the list is visible; each frame repaints those pictures alone.
  bool animating() const { return animation_.isActive(); }

 signals:
  void checkChanged(int row, bool checked);
  void currentRowChanged(int row);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct Item {
    std::string text;
    bool header = false;
    bool checked = false;
    RowLayout layout;
  };
  QRect checkRect(int index) const;
  void measure(int index);
  void relayoutAll();
  void updateScrollRange();
  int viewportWidth() const;
  // Where row `index`'s mark-up is drawn from, in viewport coordinates.
  QPointF rowOrigin(int index, const RowLayout& layout) const;
  void nextFrame();

  void scrollToRow(int index);

  QtTextMetrics metrics_;
  RichGraphics graphics_;
  int rowHeight_ = kRowHeight;
  LayoutStyle style_;
  PictureCatalog catalog_;
  std::vector<Item> items_;
  int current_ = -1;
  bool selectionHidden_ = false;
  int layoutWidth_ = -1;
  QTimer animation_;
};

}  // namespace brivane
