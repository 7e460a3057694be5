#pragma once
#include <QAbstractScrollArea>
#include <QColor>
#include <QTimer>
#include <string>
#include <vector>

#include "markup/markup_layout.h"
#include "markup/row_list.h"
#include "widgets/qt_text_metrics.h"
#include "widgets/rich_graphics.h"

namespace brivane {

// A list whose rows are mark-up strings. With automatic row height (the
// default) each row is as tall as its laid-out lines, less 2 pixels, at most
// 249; otherwise every row is `itemHeight` tall. Drawing can be suspended
// while the rows are rebuilt, so a half-built list never shows.
class RichListBox : public QAbstractScrollArea, public RowList {
  Q_OBJECT

 public:
  explicit RichListBox(QWidget* parent = nullptr);

  // The default font, restored at the start of every row, and its colour.
  void setDefaultFont(const FontSpec& font, const QColor& color);
  const FontSpec& defaultFont() const { return style_.font; }
  // Background of the rows; an invalid colour leaves it transparent.
  void setBackground(const QColor& color);
  void setAutoRowHeight(bool on);
  void setItemHeight(int height);
  void setScrollBarShown(bool shown);
  // Rows can be selected by a mouse press (a press outside clears it) and
  // with the keyboard: the list takes the focus, draws a focus mark, moves
  // its current row with the arrows, Page Up/Down, Home and End (keeping it
  // in view), and reports Enter and double-clicks (rowActivated) and the
  // Delete key (deleteRequested) on the current row.
  void setSelectable(bool on);

  // The image list and picture container; call graphicsChanged() after
  // changing them so that rows are measured again.
  RichGraphics& graphics() { return graphics_; }
  void graphicsChanged();
  // Measures text exactly as the rows are drawn.
  const QtTextMetrics& textMetrics() const { return metrics_; }

  int count() const override { return static_cast<int>(rows_.size()); }
  int add(std::string text);
  // Inserts before `index` (clamped to 0..count), with tag 0.
  void insert(int index, std::string text);
  void remove(int index) override;
  void clear() override;
  const std::string& text(int index) const override;
  void setText(int index, std::string text);

  // The row list of a model: rows with tags, geometry without scrolling.
  int tag(int index) const override;
  void insert(int index, std::string text, int tag) override;
  void replace(int index, std::string text, int tag) override;
  int rowBottom(int index) const override;
  int rowHeight(int index) const override;
  int measureRow(std::string_view text) override;
  int clientWidth() const override { return viewportSize().width(); }
  const RowLayout& rowLayout(int index) const;

  // The row's rectangle in viewport coordinates (scrolled), or an empty
  // rectangle for an index out of range.
  QRect rowRect(int index) const;
  // Height of all rows together.
  int contentHeight() const;
  int rowAt(QPoint viewportPos) const;
  void scrollToRow(int index);

  // Nested; drawing and scroll-range updates wait until the last end.
  void beginUpdate() override;
  void endUpdate() override;
  bool isUpdating() const { return updating_ > 0; }

  int currentRow() const { return current_; }
  void setCurrentRow(int index);

  // Whether the frame timer of animated pictures runs: only while an
  // animated picture is in view and the list is visible. Each frame
  // repaints those pictures alone.
  bool animating() const { return animation_.isActive(); }

 signals:
  void currentRowChanged(int row);
  void rowPressed(int row);
  // Selectable lists only.
  void rowActivated(int row);
  void deleteRequested(int row);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct Row {
    std::string text;
    RowLayout layout;
    int height = 0;
    int tag = 0;
  };
  void measure(Row& row);
  void relayoutAll();
  void ensureTops() const;
  void changed();
  void updateScrollRange();
  double pictureScale() const;
  QSize viewportSize() const;
  void nextFrame();

  QtTextMetrics metrics_;
  RichGraphics graphics_;
  LayoutStyle style_;
  PictureCatalog catalog_;
  QColor background_;
  std::vector<Row> rows_;
  mutable std::vector<int> tops_;
  mutable bool topsDirty_ = true;
  bool autoRowHeight_ = true;
  int itemHeight_ = 16;
  bool selectable_ = false;
  int current_ = -1;
  int updating_ = 0;
  bool widthCheckedInBatch_ = false;
  int layoutWidth_ = -1;
  QTimer animation_;
};

}  // namespace brivane
