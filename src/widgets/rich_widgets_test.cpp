#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>

#include "markup/markup_parser.h"
#include "widgets/rich_check_list.h"
#include "widgets/rich_graphics.h"
#include "widgets/rich_label.h"
#include "widgets/rich_list_box.h"

namespace brivane {
namespace {

const char kHeader[] =
    "<IMG src=\"idx:0\" align=\"middle\"><FONT size=\"11\"><B>  Home</B></FONT><BR>"
    "<IMG src=\"hrfullwide\" align=\"middle\"><BR>";
const char kStatus[] = "<I></I><B></B><B></B><IMG src=\"throbbersml\" align=\"middle\">  Retrieving status...";

// Measured with the painting font (size and weight count, entities decoded);
// Qt's grapheme rules decide where a row may be cut.
TEST(QtTextMetrics, MeasuresWithThePaintingFontAndCutsBetweenGraphemes) {
  QtTextMetrics m;
  const std::string family = uiFontFamily().toStdString();
  const FontSpec small{family, 8, false, false}, big{family, 24, false, false}, bold{family, 8, true, false};
  EXPECT_TRUE(m.width("Brivane", small) > 0 && m.width("Brivane", big) > 2 * m.width("Brivane", small));
  EXPECT_TRUE(m.width("WWWW", bold) > m.width("WWWW", small) && m.lineHeight(big) > 2 * m.lineHeight(small));
  EXPECT_EQ(m.width("a&b", small), m.width(decodeEntities("a&amp;b"), small));
  // A combining accent, two flags (code points beyond 16 bits) and a stray byte.
  EXPECT_EQ(m.graphemeEnds("e\xCC\x81x"), (std::vector<size_t>{3, 4}));
  EXPECT_EQ(m.graphemeEnds("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"),
            (std::vector<size_t>{8, 16}));
  EXPECT_EQ(m.graphemeEnds("a\xFF" "b"), (std::vector<size_t>{1, 2, 3}));
}

// Rows are measured by their layout and stacked; the rule stretches to the
// list's width, also for a width set within a batch (no resize event).
TEST(RichListBox, RowsAreMeasuredByLayoutAndStack) {
  RichListBox list;
  list.resize(334, 300);
  setupMessageListGraphics(list.graphics());
  list.graphicsChanged();
  list.setDefaultFont({"", 9, false, false}, Qt::white);
  EXPECT_EQ(list.add(kHeader), 0);
  EXPECT_EQ(list.add(kStatus), 1);
  const std::string inbox = "<IMG src=\"idx:1\" align=\"middle\"> Inbox (3)";
  list.insert(1, inbox);
  ASSERT_EQ(std::pair(list.count(), list.text(1)), std::pair(3, inbox));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::tuple(list.rowHeight(i), list.rowRect(i).top(), list.rowRect(i).width()),
              std::tuple(list.rowLayout(i).listRowHeight(), i == 0 ? 0 : list.rowRect(i - 1).bottom() + 1, 334)) << i;
  EXPECT_EQ(list.contentHeight(), list.rowRect(2).bottom() + 1);
  EXPECT_TRUE(list.rowLayout(0).pictures.size() == 2 && list.rowLayout(0).pictures[1].width == 334);
  list.remove(0);
  EXPECT_EQ(std::pair(list.count(), list.rowRect(0).top()), std::pair(2, 0));
  list.remove(2);  // out of range: ignored
  EXPECT_TRUE(list.count() == 2 && list.text(2).empty() && list.rowRect(-1).isEmpty());
  list.setAutoRowHeight(false);
  EXPECT_EQ(list.rowRect(1).height(), 16);
  list.setAutoRowHeight(true);
  list.beginUpdate();
  list.add(kHeader);
  list.resize(250, 300);
  list.add(kHeader);
  list.endUpdate();
  for (int r : {list.count() - 2, list.count() - 1}) EXPECT_EQ(list.rowLayout(r).pictures[1].width, 250) << r;
}

// Batches nest and an unbalanced end is harmless; the selection follows a
// press and the rows inserted or removed before it.
TEST(RichListBox, BatchesNestAndTheSelectionFollowsPressesAndRemovals) {
  RichListBox list;
  list.resize(200, 100);
  list.beginUpdate();
  list.beginUpdate();
  for (int i = 0; i < 50; ++i) list.add("row " + std::to_string(i));
  list.endUpdate();
  EXPECT_TRUE(list.isUpdating() && list.rowRect(49).top() == 49 * list.rowRect(0).height());
  list.endUpdate();
  list.endUpdate();
  EXPECT_FALSE(list.isUpdating());
  list.scrollToRow(49);
  EXPECT_EQ(std::pair(list.rowRect(49).bottom(), list.rowAt(QPoint(5, 99))), std::pair(99, 49));
  list.scrollToRow(0);
  list.setSelectable(true);
  int changes = 0;
  QObject::connect(&list, &RichListBox::currentRowChanged, [&](int) { ++changes; });
  const QPoint inRow1 = list.rowRect(1).center();
  QMouseEvent press(QEvent::MouseButtonPress, inRow1, list.viewport()->mapToGlobal(inRow1), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list.viewport(), &press);
  EXPECT_EQ(list.currentRow(), 1);
  list.insert(0, "z");
  EXPECT_EQ(list.currentRow(), 2);
  list.remove(2);
  EXPECT_EQ(std::pair(list.currentRow(), changes), std::pair(-1, 2));
}

// Counts the pixels brighter than `grey` above and from row `y`.
std::pair<int, int> litAboveAndFrom(const QImage& img, int y0, int grey) {
  std::pair<int, int> lit;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) (y < y0 ? lit.first : lit.second) += qGray(img.pixel(x, y)) > grey;
  return lit;
}

// A row laid out taller than the 249-pixel cap paints inside its own rows; a
// label paints its right-aligned paragraph at its bottom.
TEST(RichWidgets, TallRowIsClippedAndALabelSitsAtTheBottomRight) {
  RichListBox list;
  list.resize(200, 400);
  list.setBackground(Qt::black);
  list.setDefaultFont({"", 9, false, false}, Qt::white);
  std::string tall = "WWWW";
  for (int i = 0; i < 40; ++i) tall += "<BR>WWWW";
  list.add(tall);
  ASSERT_EQ(list.rowRect(0).height(), kMaxRowHeight);
  ASSERT_GT(list.rowLayout(0).height, 400);
  QImage img(list.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::black);
  list.viewport()->render(&img);
  const auto [inside, below] = litAboveAndFrom(img, kMaxRowHeight, 60);
  EXPECT_TRUE(inside > 0 && below == 0);

  RichLabel label;
  label.resize(300, 120);
  label.setDefaultFont({"", 9, false, false}, QColor(128, 128, 128));
  label.setText("<p align=\"right\"><font size=\"24\">12:34</font><br><font size=\"12\">Sunday</font></p>");
  for (const LaidOutText& t : label.layout().texts) EXPECT_EQ(t.x + t.width, 300);
  QImage shot(label.size(), QImage::Format_ARGB32_Premultiplied);
  shot.fill(Qt::black);
  label.render(&shot, QPoint(), QRegion(), QWidget::DrawChildren);
  const auto [above, in] = litAboveAndFrom(shot, 120 - label.layout().height, 40);
  EXPECT_TRUE(above == 0 && in > 0);
}

// After a font, screen or pixel-ratio change every widget measures afresh.
TEST(RichWidgets, MetricsChangeMeasuresAgain) {
  RichLabel label;
  RichListBox list;
  RichCheckList check;
  const std::pair<QWidget*, const QtTextMetrics*> widgets[] = {
      {&label, &label.textMetrics()}, {&list, &list.textMetrics()}, {&check, &check.textMetrics()}};
  for (QEvent::Type type : {QEvent::FontChange, QEvent::ScreenChangeInternal}) {
    for (auto [widget, metrics] : widgets) {
      const int before = metrics->resets();
      QEvent event(type);
      QCoreApplication::sendEvent(widget, &event);
      EXPECT_GT(metrics->resets(), before) << widget->metaObject()->className() << " " << type;
    }
  }
}

// Fixed-height rows; a header has no check box; a long name is cut with
// "..." inside the row, after its indent.
TEST(RichCheckList, FixedRowsHeadersAndEllipsis) {
  RichCheckList list;
  list.resize(160, 200);
  setupFolderListGraphics(list.graphics());
  list.graphicsChanged();
  const int h = list.add("Please enter complete account details", true);
  const int f = list.add("<ind x=\"12\"><IMG src=\"idx:0\" align=\"middle\"> " +
                         EscapeMarkup("A very long folder name that cannot fit & more"));
  EXPECT_EQ(std::pair(list.rowRect(f).top(), list.rowRect(f).height()), std::pair(RichCheckList::kRowHeight, 22));
  list.setChecked(h, true);
  EXPECT_TRUE(list.isHeader(h) && !list.isChecked(h));
  int changes = 0;
  QObject::connect(&list, &RichCheckList::checkChanged, [&](int, bool) { ++changes; });
  list.setChecked(f, true);
  EXPECT_EQ(std::pair(list.isChecked(f), changes), std::pair(true, 1));
  const RowLayout& cut = list.rowLayout(f);
  ASSERT_TRUE(!cut.texts.empty() && cut.pictures.size() == 1);
  EXPECT_TRUE(cut.texts.back().text.ends_with("...") && cut.pictures[0].x == 12);
  for (const LaidOutText& t : cut.texts) EXPECT_LE(t.x + t.width, list.rowRect(f).width() - list.textLeft(f));
}

// Both lists move their current row with the keyboard and keep it in view;
// the account list reports Enter and Delete on it and leaves shortcuts to
// the window; the check list's rows grow with a large default font.
TEST(RichWidgets, KeyboardMovesKeepTheCurrentRowInView) {
  const auto key = [](QWidget* w, int k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, k, m);
    QCoreApplication::sendEvent(w, &e);
  };
  RichCheckList checks;
  RichListBox box;
  box.setAutoRowHeight(false);
  box.setItemHeight(20);
  box.setScrollBarShown(true);
  for (int i = 0; i < 30; ++i) {
    checks.add("row " + std::to_string(i));
    box.add("row " + std::to_string(i));
  }
  key(&box, Qt::Key_Down);
  EXPECT_EQ(box.currentRow(), -1) << "not selectable";
  box.setSelectable(true);
  std::vector<int> activated, deleted;
  QObject::connect(&box, &RichListBox::rowActivated, [&](int row) { activated.push_back(row); });
  QObject::connect(&box, &RichListBox::deleteRequested, [&](int row) { deleted.push_back(row); });
  const auto walk = [&](auto& list) {
    SCOPED_TRACE(list.metaObject()->className());
    list.resize(160, 100);
    list.show();
    for (int i = 0; i < 12; ++i) key(&list, Qt::Key_Down);
    EXPECT_TRUE(list.currentRow() == 11 && list.viewport()->rect().contains(list.rowRect(11)));
    key(&list, Qt::Key_End);
    EXPECT_TRUE(list.currentRow() == 29 && list.viewport()->rect().contains(list.rowRect(29)));
    key(&list, Qt::Key_Home);
    EXPECT_EQ(std::pair(list.currentRow(), list.rowRect(0).top()), std::pair(0, 0));
  };
  walk(checks);
  walk(box);
  key(&box, Qt::Key_Down, Qt::ControlModifier);
  key(&box, Qt::Key_Return);
  key(&box, Qt::Key_Delete);
  EXPECT_EQ(std::pair(activated, deleted), std::pair(std::vector<int>{0}, std::vector<int>{0}));
  checks.setDefaultFont({"", 30, false, false}, Qt::black);
  EXPECT_GT(checks.rowHeight(), RichCheckList::kRowHeight);
  EXPECT_EQ(checks.rowRect(1).top() - checks.rowRect(0).top(), checks.rowHeight());
}

// Each picture renders sharp at 1x and 2x (opaque in the middle, transparent
// in a corner); the throbber animates; the catalog scales by the ratio.
TEST(RichGraphics, PicturesRenderSharpAtAnyScale) {
  RichGraphics g;
  setupMessageListGraphics(g);
  ASSERT_EQ(g.imageCount(), 6);
  for (qreal dpr : {1.0, 2.0}) {
    for (int i = 0; i < 6; ++i) {
      const QImage img = g.pixmap(LaidOutPicture{.index = i, .name = {}}, QSize(16, 16), dpr, 0).toImage();
      ASSERT_EQ(img.width(), static_cast<int>(16 * dpr)) << i;
      EXPECT_EQ(qAlpha(img.pixel(img.width() / 2, img.height() / 2 + 1)), 255) << i;
      EXPECT_LT(qAlpha(img.pixel(0, 0)), 60) << i;
    }
  }
  const LaidOutPicture throbber{.name = "throbbersml"};
  EXPECT_TRUE(g.isAnimated(throbber));
  EXPECT_NE(g.pixmap(throbber, QSize(16, 16), 1, 0).toImage(), g.pixmap(throbber, QSize(16, 16), 1, 3).toImage());
  PictureCatalog c = g.catalog(500, 2.0);
  EXPECT_TRUE(c.find("HRFULLWIDE")->width == 250 && !c.find("idx:6").has_value());
}

// Lets the event loop run for `ms` milliseconds.
void runFor(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The region a viewport was asked to repaint.
struct PaintLog : QObject {
  QRegion region;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) region += static_cast<QPaintEvent*>(e)->region();
    return false;
  }
};

// An animated picture in view: its frames repaint its own rectangle only,
// also after a partial repaint that missed it; they stop while the list is
// hidden and once the row is gone.
template <class List>
void checkFrames(List& list, int row) {
  const QRect rowRect = list.rowRect(row);
  PaintLog log;
  list.viewport()->installEventFilter(&log);
  list.show();
  runFor(60);
  ASSERT_TRUE(list.animating());
  list.viewport()->repaint(QRect(0, rowRect.bottom() + 2, 10, 4));  // misses the row
  log.region = {};
  runFor(250);
  const QRect painted = log.region.boundingRect();  // the 16-pixel picture, perhaps past a shorter row
  EXPECT_TRUE(list.animating() && !painted.isEmpty() && painted.intersects(rowRect));
  EXPECT_TRUE(painted.width() <= 16 && painted.height() <= 16);
  list.hide();
  log.region = {};
  runFor(200);
  EXPECT_FALSE(list.animating() || !log.region.isEmpty());
  list.show();
  runFor(60);
  EXPECT_TRUE(list.animating()) << "again once shown";
  list.remove(row);
  runFor(200);
  EXPECT_FALSE(list.animating());
}

TEST(RichWidgets, AnimationRepaintsItsPictureWhileShown) {
  RichListBox box;
  box.resize(334, 300);
  setupMessageListGraphics(box.graphics());
  box.graphicsChanged();
  box.add(kHeader);
  checkFrames(box, box.add(kStatus));
  RichCheckList checks;
  checks.resize(200, 200);
  setupFolderListGraphics(checks.graphics());
  checks.graphicsChanged();
  checks.add("Folders", true);
  checkFrames(checks, checks.add("<IMG src=\"throbber\" align=\"middle\"> Loading"));
}

}  // namespace
}  // namespace brivane
