#include "widgets/rich_list_box.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QKeyEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>

#include "widgets/markup_painter.h"

namespace brivane {

namespace {
const std::string kEmpty;
}

RichListBox::RichListBox(QWidget* parent) : QAbstractScrollArea(parent), metrics_(this) {
  setFrameShape(QFrame::NoFrame);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::NoFocus);
  style_.font = {uiFontFamily().toStdString(), 9, false, false};
  style_.color = toRgb(palette().color(QPalette::Text));
  background_ = palette().color(QPalette::Base);
  viewport()->setAutoFillBackground(false);
  animation_.setInterval(art::kThrobberFrameMs);
  connect(&animation_, &QTimer::timeout, this, &RichListBox::nextFrame);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
}

void RichListBox::setDefaultFont(const FontSpec& font, const QColor& color) {
  style_.font = font;
  if (style_.font.family.empty()) style_.font.family = uiFontFamily().toStdString();
  style_.color = toRgb(color);
  relayoutAll();
}

void RichListBox::setBackground(const QColor& color) {
  background_ = color;
  viewport()->update();
}

void RichListBox::setAutoRowHeight(bool on) {
  autoRowHeight_ = on;
  relayoutAll();
}

void RichListBox::setItemHeight(int height) {
  itemHeight_ = std::max(1, height);
  relayoutAll();
}

void RichListBox::setScrollBarShown(bool shown) {
  setVerticalScrollBarPolicy(shown ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
}

void RichListBox::setSelectable(bool on) {
  selectable_ = on;
  setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus);
  if (!on) setCurrentRow(-1);
}

void RichListBox::graphicsChanged() { relayoutAll(); }

QSize RichListBox::viewportSize() const {
  // The viewport's own geometry lags behind while the list is hidden, so
  // rows are laid out for the size the viewport will have.
  QSize s = maximumViewportSize();
  if (verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff && verticalScrollBar()->isVisible()) {
    s.rwidth() -= verticalScrollBar()->width();
  }
  return s.expandedTo(QSize(0, 0));
}

double RichListBox::pictureScale() const {
  int dpi = logicalDpiX();
  return dpi > 0 ? dpi / 96.0 : 1.0;
}

void RichListBox::measure(Row& row) {
  row.layout = layoutMarkup(row.text, style_, catalog_, metrics_);
  row.height = autoRowHeight_ ? row.layout.listRowHeight() : itemHeight_;
}

int RichListBox::measureRow(std::string_view text) {
  // The width as insert() would lay the row out at.
  if (!widthCheckedInBatch_) {
    if (viewportSize().width() != layoutWidth_) relayoutAll();
    widthCheckedInBatch_ = updating_ > 0;
  }
  return autoRowHeight_ ? layoutMarkup(text, style_, catalog_, metrics_).listRowHeight() : itemHeight_;
}

void RichListBox::relayoutAll() {
  layoutWidth_ = viewportSize().width();
  style_.width = layoutWidth_;
  style_.pictureScale = pictureScale();
  catalog_ = graphics_.catalog(layoutWidth_, style_.pictureScale);
  metrics_.reset();
  for (Row& r : rows_) measure(r);
  changed();
}

void RichListBox::changed() {
  topsDirty_ = true;
  if (updating_ > 0) return;
  updateScrollRange();
  viewport()->update();
}

void RichListBox::ensureTops() const {
  if (!topsDirty_) return;
  tops_.resize(rows_.size() + 1);
  int y = 0;
  for (size_t i = 0; i < rows_.size(); ++i) {
    tops_[i] = y;
    y += rows_[i].height;
  }
  tops_[rows_.size()] = y;
  topsDirty_ = false;
}

void RichListBox::updateScrollRange() {
  QScrollBar* bar = verticalScrollBar();
  int h = viewportSize().height();
  bar->setRange(0, std::max(0, contentHeight() - h));
  bar->setPageStep(std::max(1, h));
  bar->setSingleStep(16);
}

int RichListBox::add(std::string text) {
  insert(count(), std::move(text));
  return count() - 1;
}

void RichListBox::insert(int index, std::string text) { insert(index, std::move(text), 0); }

void RichListBox::insert(int index, std::string text, int tag) {
  index = std::clamp(index, 0, count());
  // Within a batch the width is looked at once (asking the scroll bar for
  // its size on every row is a good part of a rebuild); endUpdate looks again.
  if (!widthCheckedInBatch_) {
    if (viewportSize().width() != layoutWidth_) relayoutAll();
    widthCheckedInBatch_ = updating_ > 0;
  }
  Row row;
  row.text = std::move(text);
  row.tag = tag;
  measure(row);
  rows_.insert(rows_.begin() + index, std::move(row));
  if (current_ >= index) ++current_;
  changed();
}

void RichListBox::remove(int index) {
  if (index < 0 || index >= count()) return;
  rows_.erase(rows_.begin() + index);
  if (current_ == index) {
    current_ = -1;
    emit currentRowChanged(-1);
  } else if (current_ > index) {
    --current_;
  }
  changed();
}

void RichListBox::clear() {
  rows_.clear();
  if (current_ != -1) {
    current_ = -1;
    emit currentRowChanged(-1);
  }
  changed();
}

const std::string& RichListBox::text(int index) const {
  if (index < 0 || index >= count()) return kEmpty;
  return rows_[static_cast<size_t>(index)].text;
}

void RichListBox::setText(int index, std::string text) {
  if (index < 0 || index >= count()) return;
  Row& row = rows_[static_cast<size_t>(index)];
  row.text = std::move(text);
  measure(row);
  changed();
}

int RichListBox::tag(int index) const {
  if (index < 0 || index >= count()) return -1;
  return rows_[static_cast<size_t>(index)].tag;
}

void RichListBox::replace(int index, std::string text, int tag) {
  if (index < 0 || index >= count()) return;
  rows_[static_cast<size_t>(index)].tag = tag;
  setText(index, std::move(text));
}

int RichListBox::rowBottom(int index) const {
  if (index < 0 || index >= count()) return 0;
  ensureTops();
  return tops_[static_cast<size_t>(index) + 1];
}

int RichListBox::rowHeight(int index) const {
  if (index < 0 || index >= count()) return 0;
  return rows_[static_cast<size_t>(index)].height;
}

const RowLayout& RichListBox::rowLayout(int index) const {
  static const RowLayout empty;
  if (index < 0 || index >= count()) return empty;
  return rows_[static_cast<size_t>(index)].layout;
}

QRect RichListBox::rowRect(int index) const {
  if (index < 0 || index >= count()) return {};
  ensureTops();
  int top = tops_[static_cast<size_t>(index)] - verticalScrollBar()->value();
  return QRect(0, top, viewportSize().width(), rows_[static_cast<size_t>(index)].height);
}

int RichListBox::contentHeight() const {
  ensureTops();
  return tops_.back();
}

int RichListBox::rowAt(QPoint pos) const {
  ensureTops();
  int y = pos.y() + verticalScrollBar()->value();
  if (y < 0 || y >= tops_.back()) return -1;
  auto it = std::upper_bound(tops_.begin(), tops_.end(), y);
  return static_cast<int>(it - tops_.begin()) - 1;
}

void RichListBox::scrollToRow(int index) {
  if (index < 0 || index >= count()) return;
  ensureTops();
  QScrollBar* bar = verticalScrollBar();
  int top = tops_[static_cast<size_t>(index)];
  int bottom = top + rows_[static_cast<size_t>(index)].height;
  if (top < bar->value()) bar->setValue(top);
  else if (bottom > bar->value() + viewportSize().height()) bar->setValue(bottom - viewportSize().height());
}

void RichListBox::beginUpdate() {
  if (updating_++ == 0) viewport()->setUpdatesEnabled(false);
  widthCheckedInBatch_ = false;
}

void RichListBox::endUpdate() {
  if (updating_ == 0 || --updating_ > 0) return;
  viewport()->setUpdatesEnabled(true);
  widthCheckedInBatch_ = false;
  if (viewportSize().width() != layoutWidth_) relayoutAll();
  updateScrollRange();
  viewport()->update();
}

void RichListBox::setCurrentRow(int index) {
  if (index < -1 || index >= count()) index = -1;
  if (index == current_) return;
  current_ = index;
  viewport()->update();
  emit currentRowChanged(index);
}

void RichListBox::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  widthCheckedInBatch_ = false;
  if (viewportSize().width() != layoutWidth_) relayoutAll();
  else updateScrollRange();
}

void RichListBox::mousePressEvent(QMouseEvent* event) {
  int row = rowAt(event->position().toPoint());
  if (selectable_) setCurrentRow(row);
  if (row >= 0) emit rowPressed(row);
  QAbstractScrollArea::mousePressEvent(event);
}

void RichListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  const int row = rowAt(event->position().toPoint());
  if (selectable_ && row >= 0 && event->button() == Qt::LeftButton) {
    setCurrentRow(row);
    emit rowActivated(row);
    return;
  }
  QAbstractScrollArea::mouseDoubleClickEvent(event);
}

void RichListBox::keyPressEvent(QKeyEvent* event) {
  if (!selectable_ || count() == 0 || event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) {
    QAbstractScrollArea::keyPressEvent(event);
    return;
  }
  // Rows that fit in the view, for Page Up and Page Down.
  const int page = std::max(1, viewportSize().height() / std::max(1, rowHeight(std::max(0, current_))));
  int next = current_;
  switch (event->key()) {
    case Qt::Key_Up: next = current_ < 0 ? 0 : std::max(0, current_ - 1); break;
    case Qt::Key_Down: next = std::min(count() - 1, current_ + 1); break;
    case Qt::Key_PageUp: next = std::max(0, current_ - page); break;
    case Qt::Key_PageDown: next = std::min(count() - 1, std::max(0, current_) + page); break;
    case Qt::Key_Home: next = 0; break;
    case Qt::Key_End: next = count() - 1; break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // Taken here, so that Enter on a row never presses the dialog's default button.
      if (current_ >= 0) emit rowActivated(current_);
      else event->ignore();
      return;
    case Qt::Key_Delete:
      if (current_ >= 0) emit deleteRequested(current_);
      return;
    default:
      QAbstractScrollArea::keyPressEvent(event);
      return;
  }
  setCurrentRow(next);
  scrollToRow(next);
}

void RichListBox::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void RichListBox::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

void RichListBox::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  QRect area = event->rect();
  if (background_.isValid()) painter.fillRect(area, background_);
  if (rows_.empty()) {
    animation_.stop();
    return;
  }
  ensureTops();
  int scroll = verticalScrollBar()->value();
  int first = std::max(0, rowAt(QPoint(0, area.top())));
  qint64 now = QDateTime::currentMSecsSinceEpoch();
  bool animated = false;
  for (int i = first; i < count(); ++i) {
    const Row& row = rows_[static_cast<size_t>(i)];
    int top = tops_[static_cast<size_t>(i)] - scroll;
    if (top > area.bottom()) break;
    animated = animated || rowIsAnimated(row.layout, graphics_);
    // A row's lines reach 2 pixels into the next row (the row is its lines
    // less 2), so descenders stay whole; a row cut at the height cap never
    // paints over the rows below.
    const bool capped = !autoRowHeight_ || row.layout.height - 2 > kMaxRowHeight;
    const int clipHeight = capped ? row.height : std::max(row.height, row.layout.height);
    painter.setClipRect(QRect(0, top, viewport()->width(), clipHeight).intersected(area));
    if (selectable_ && i == current_) {
      painter.fillRect(QRect(0, top, viewport()->width(), row.height),
                       palette().color(QPalette::Highlight));
      // Text in the default colour turns to the highlighted-text colour.
      RowLayout selected = row.layout;
      for (LaidOutText& t : selected.texts) {
        if (t.color == style_.color) t.color = toRgb(palette().color(QPalette::HighlightedText));
      }
      paintRow(painter, selected, QPointF(0, top), metrics_, graphics_, now);
      continue;
    }
    paintRow(painter, row.layout, QPointF(0, top), metrics_, graphics_, now);
  }
  // The focus mark: around the current row, or the whole list while none is current.
  if (selectable_ && hasFocus()) {
    painter.setClipRect(area);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = current_ >= 0 ? rowRect(current_) : viewport()->rect();
    focus.backgroundColor = palette().color(current_ >= 0 ? QPalette::Highlight : QPalette::Base);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
  }
  // A partial repaint may miss the animated rows: only the frame timer itself
  // finds out that none is left in view.
  if (animated && !animation_.isActive()) animation_.start();
}

void RichListBox::nextFrame() {
  QRegion region;
  if (isVisible() && !rows_.empty()) {
    ensureTops();
    const int scroll = verticalScrollBar()->value();
    const int bottom = viewport()->height();
    for (int i = std::max(0, rowAt(QPoint(0, 0))); i < count(); ++i) {
      const int top = tops_[static_cast<size_t>(i)] - scroll;
      if (top >= bottom) break;
      if (top + rows_[static_cast<size_t>(i)].height <= 0) continue;
      region += animatedRegion(rows_[static_cast<size_t>(i)].layout, graphics_, QPointF(0, top));
    }
  }
  if (region.isEmpty()) {
    animation_.stop();
    return;
  }
  viewport()->update(region);
}

void RichListBox::hideEvent(QHideEvent* event) {
  animation_.stop();  // a shown list repaints, and its paint starts the frames again
  QAbstractScrollArea::hideEvent(event);
}

bool RichListBox::event(QEvent* event) {
  const bool result = QAbstractScrollArea::event(event);
  // Measured with the old font, screen or pixel ratio: measure again.
  if (isMetricsChange(event)) {
    relayoutAll();
  }
  return result;
}

}  // namespace brivane
