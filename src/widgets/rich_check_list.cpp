#include "widgets/rich_check_list.h"

#include <QDateTime>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QFontMetrics>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <algorithm>

#include "widgets/markup_painter.h"

namespace brivane {

namespace {
const std::string kEmpty;
constexpr int kMargin = 4;
}  // namespace

RichCheckList::RichCheckList(QWidget* parent) : QAbstractScrollArea(parent), metrics_(this) {
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  style_.font = {uiFontFamily().toStdString(), 9, false, false};
  style_.color = toRgb(palette().color(QPalette::Text));
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  animation_.setInterval(art::kThrobberFrameMs);
  connect(&animation_, &QTimer::timeout, this, &RichCheckList::nextFrame);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
}

void RichCheckList::setDefaultFont(const FontSpec& font, const QColor& color) {
  style_.font = font;
  if (style_.font.family.empty()) style_.font.family = uiFontFamily().toStdString();
  style_.color = toRgb(color);
  relayoutAll();
}

void RichCheckList::graphicsChanged() { relayoutAll(); }

void RichCheckList::setSelectionHidden(bool hidden) {
  selectionHidden_ = hidden;
  viewport()->update();
}

int RichCheckList::viewportWidth() const {
  // The viewport's own geometry lags behind while the list is hidden.
  int w = maximumViewportSize().width();
  if (verticalScrollBar()->isVisible()) w -= verticalScrollBar()->width();
  return std::max(0, w);
}

QRect RichCheckList::checkRect(int index) const {
  QRect row = rowRect(index);
  int w = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this);
  int h = style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this);
  return QRect(kMargin, row.top() + (rowHeight_ - h) / 2, w, h);
}

int RichCheckList::textLeft(int index) const {
  if (isHeader(index)) return kMargin;
  return kMargin + style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this) + kMargin;
}

void RichCheckList::measure(int index) {
  Item& item = items_[static_cast<size_t>(index)];
  item.layout = layoutMarkup(item.text, style_, catalog_, metrics_);
  int left = textLeft(index);
  elideRow(item.layout, std::max(0, viewportWidth() - left - kMargin), metrics_);
}

void RichCheckList::relayoutAll() {
  int dpi = logicalDpiX();
  style_.pictureScale = dpi > 0 ? dpi / 96.0 : 1.0;
  layoutWidth_ = viewportWidth();
  // Rows grow with a large default font, never below the classic 22 pixels.
  rowHeight_ = std::max(kRowHeight, QFontMetrics(toQFont(style_.font), this).height() + 6);
  catalog_ = graphics_.catalog(layoutWidth_, style_.pictureScale);
  metrics_.reset();
  for (int i = 0; i < count(); ++i) measure(i);
  updateScrollRange();
  viewport()->update();
}

void RichCheckList::updateScrollRange() {
  QScrollBar* bar = verticalScrollBar();
  int h = maximumViewportSize().height();
  bar->setRange(0, std::max(0, count() * rowHeight_ - h));
  bar->setPageStep(std::max(1, h));
  bar->setSingleStep(rowHeight_);
}

int RichCheckList::add(std::string text, bool header, bool checked) {
  if (items_.empty() || viewportWidth() != layoutWidth_) relayoutAll();
  Item item;
  item.text = std::move(text);
  item.header = header;
  item.checked = checked && !header;
  items_.push_back(std::move(item));
  measure(count() - 1);
  updateScrollRange();
  viewport()->update();
  return count() - 1;
}

void RichCheckList::remove(int index) {
  if (index < 0 || index >= count()) return;
  items_.erase(items_.begin() + index);
  if (current_ == index) {
    current_ = -1;
    emit currentRowChanged(-1);
  } else if (current_ > index) {
    --current_;
  }
  relayoutAll();
}

void RichCheckList::clear() {
  items_.clear();
  if (current_ != -1) {
    current_ = -1;
    emit currentRowChanged(-1);
  }
  updateScrollRange();
  viewport()->update();
}

const std::string& RichCheckList::text(int index) const {
  return index >= 0 && index < count() ? items_[static_cast<size_t>(index)].text : kEmpty;
}

bool RichCheckList::isHeader(int index) const {
  return index >= 0 && index < count() && items_[static_cast<size_t>(index)].header;
}

bool RichCheckList::isChecked(int index) const {
  return index >= 0 && index < count() && items_[static_cast<size_t>(index)].checked;
}

void RichCheckList::setChecked(int index, bool checked) {
  if (index < 0 || index >= count() || isHeader(index)) return;
  Item& item = items_[static_cast<size_t>(index)];
  if (item.checked == checked) return;
  item.checked = checked;
  viewport()->update();
  emit checkChanged(index, checked);
}

const RowLayout& RichCheckList::rowLayout(int index) const {
  static const RowLayout empty;
  return index >= 0 && index < count() ? items_[static_cast<size_t>(index)].layout : empty;
}

QRect RichCheckList::rowRect(int index) const {
  if (index < 0 || index >= count()) return {};
  return QRect(0, index * rowHeight_ - verticalScrollBar()->value(), viewportWidth(), rowHeight_);
}

int RichCheckList::rowAt(QPoint pos) const {
  int y = pos.y() + verticalScrollBar()->value();
  if (y < 0) return -1;
  int row = y / rowHeight_;
  return row < count() ? row : -1;
}

void RichCheckList::setCurrentRow(int index) {
  if (index < -1 || index >= count()) index = -1;
  if (index == current_) return;
  current_ = index;
  scrollToRow(index);
  viewport()->update();
  emit currentRowChanged(index);
}

void RichCheckList::scrollToRow(int index) {
  if (index < 0 || index >= count()) return;
  QScrollBar* bar = verticalScrollBar();
  const int top = index * rowHeight_;
  const int height = maximumViewportSize().height();
  if (top < bar->value()) bar->setValue(top);
  else if (top + rowHeight_ > bar->value() + height) bar->setValue(top + rowHeight_ - height);
}

void RichCheckList::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void RichCheckList::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

void RichCheckList::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  relayoutAll();
}

void RichCheckList::mousePressEvent(QMouseEvent* event) {
  QPoint pos = event->position().toPoint();
  int row = rowAt(pos);
  setCurrentRow(row);
  if (row >= 0 && event->button() == Qt::LeftButton && !isHeader(row) &&
      pos.x() < textLeft(row)) {
    setChecked(row, !isChecked(row));
  }
  QAbstractScrollArea::mousePressEvent(event);
}

void RichCheckList::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
      if (current_ >= 0) setChecked(current_, !isChecked(current_));
      return;
    case Qt::Key_Up:
      if (current_ > 0) setCurrentRow(current_ - 1);
      else if (current_ < 0 && count() > 0) setCurrentRow(0);
      return;
    case Qt::Key_Down:
      if (current_ + 1 < count()) setCurrentRow(current_ + 1);
      return;
    case Qt::Key_Home:
      if (count() > 0) setCurrentRow(0);
      return;
    case Qt::Key_End:
      if (count() > 0) setCurrentRow(count() - 1);
      return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
      if (count() == 0) return;
      const int page = std::max(1, maximumViewportSize().height() / rowHeight_ - 1);
      const int step = event->key() == Qt::Key_PageUp ? -page : page;
      setCurrentRow(std::clamp(std::max(0, current_) + step, 0, count() - 1));
      return;
    }
    default:
      QAbstractScrollArea::keyPressEvent(event);
  }
}

void RichCheckList::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  QRect area = event->rect();
  qint64 now = QDateTime::currentMSecsSinceEpoch();
  bool animated = false;
  int first = std::max(0, rowAt(QPoint(0, area.top())));
  for (int i = first; i < count(); ++i) {
    QRect r = rowRect(i);
    if (r.top() > area.bottom()) break;
    const Item& item = items_[static_cast<size_t>(i)];
    RowLayout layout = item.layout;
    if (i == current_ && !selectionHidden_) {
      painter.fillRect(r, palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                          QPalette::Highlight));
      for (LaidOutText& t : layout.texts) {
        if (t.color == style_.color) t.color = toRgb(palette().color(QPalette::HighlightedText));
      }
    }
    if (!isEnabled()) {
      for (LaidOutText& t : layout.texts) {
        if (t.color == style_.color) {
          t.color = toRgb(palette().color(QPalette::Disabled, QPalette::Text));
        }
      }
    }
    if (!item.header) {
      QStyleOptionButton opt;
      opt.initFrom(this);
      opt.rect = checkRect(i);
      opt.state |= item.checked ? QStyle::State_On : QStyle::State_Off;
      if (!isEnabled()) opt.state &= ~QStyle::State_Enabled;
      style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &opt, &painter, this);
    }
    painter.save();
    painter.setClipRect(r);
    paintRow(painter, layout, rowOrigin(i, layout), metrics_, graphics_, now);
    painter.restore();
    animated = animated || rowIsAnimated(layout, graphics_);
  }
  // The focus mark: around the current row, or the whole list while none is current.
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    const bool row = current_ >= 0 && !selectionHidden_;
    focus.rect = row ? rowRect(current_) : viewport()->rect();
    focus.backgroundColor = palette().color(row ? QPalette::Highlight : QPalette::Base);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
  }
  // A partial repaint may miss the animated rows: only the frame timer itself
  // finds out that none is left in view.
  if (animated && !animation_.isActive()) animation_.start();
}

QPointF RichCheckList::rowOrigin(int index, const RowLayout& layout) const {
  const QRect r = rowRect(index);
  return QPointF(textLeft(index), r.top() + (rowHeight_ - std::min(rowHeight_, layout.height)) / 2);
}

void RichCheckList::nextFrame() {
  QRegion region;
  const QRect view = viewport()->rect();
  for (int i = std::max(0, rowAt(QPoint(0, 0))); isVisible() && i < count(); ++i) {
    const QRect r = rowRect(i);
    if (r.top() > view.bottom()) break;
    const RowLayout& layout = items_[static_cast<size_t>(i)].layout;
    region += animatedRegion(layout, graphics_, rowOrigin(i, layout)) & r;
  }
  if (region.isEmpty()) {
    animation_.stop();
    return;
  }
  viewport()->update(region);
}

void RichCheckList::hideEvent(QHideEvent* event) {
  animation_.stop();  // a shown list repaints, and its paint starts the frames again
  QAbstractScrollArea::hideEvent(event);
}

bool RichCheckList::event(QEvent* event) {
  const bool result = QAbstractScrollArea::event(event);
  // Measured with the old font, screen or pixel ratio: measure again.
  if (isMetricsChange(event)) {
    relayoutAll();
  }
  return result;
}

}  // namespace brivane
