#include "saver/message_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"

namespace brivane {
namespace {

struct PanelRig {
  PanelRig() {
    panel.setPanelSize({350, 100});
    panel.move(30, 60);
    cycle.Accounts.resize(2);
    for (TEmlAccount& a : cycle.Accounts) a.name = "Home", a.folders = {"INBOX;Inbox"};
    cycle.Accounts[1].name = "Work", cycle.Accounts[1].server = "imap.example.org";
  }
  MessageQueue target;
  CheckCycle cycle{target};
  TpopMessages panel;
  int moves = 0;
  MessageView view{panel, [] { return QRect(0, 0, 1024, 768); }, [this] { ++moves; }};
};

// The panel grows to its rows, and the last one (the server's name on the
// error row's second line) is drawn inside it, within its borders.
TEST(MessageView, PanelFitsAndShowsTheLastRow) {
  PanelRig rig;
  rig.view.model.FillInitialList(rig.cycle.Accounts);
  for (int k = 0; k < 4; ++k) {
    MessageSummary& m = rig.cycle.resultList.emplace_back();
    m.sender = "Sender " + std::to_string(k % 2), m.subject = "Subject number " + std::to_string(k), m.folder = "INBOX";
  }
  rig.cycle.resultList.push_back(statusRow("ERRCONN", RowKind::Error, 1));
  rig.cycle.listChanged = 1;
  ASSERT_TRUE(rig.view.model.RebuildList(rig.cycle));
  RichListBox& list = *rig.panel.lstMessages;
  ASSERT_EQ(list.count(), 8);
  EXPECT_EQ(std::pair(rig.panel.height(), rig.moves), std::pair(list.rowBottom(7) + 2 + 2 * TpopMessages::kBorder, 0));
  rig.panel.show();
  QApplication::processEvents();
  const QImage img = rig.panel.grab().toImage();
  const QRect last = list.rowRect(7).translated(list.geometry().topLeft());
  ASSERT_LE(last.top() + list.rowHeight(7) - 1, rig.panel.height() - TpopMessages::kBorder);
  bool lit = false;
  for (int y = last.top(); y < last.top() + list.rowHeight(7); ++y)
    for (int x = last.left(); x <= last.right(); ++x) lit |= qGray(img.pixel(x, y)) > 100;
  EXPECT_TRUE(lit);
}

// Counts the paint events the list's viewport receives.
struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override { return paints += e->type() == QEvent::Paint, false; }
};

// No paint between the outer begin and end of an update, also when a nested one ends.
TEST(MessageView, NoPaintBetweenBeginAndEndOfARebuild) {
  PanelRig rig;
  rig.panel.show();
  QApplication::processEvents();
  PaintCounter counter;
  RichListBox& list = *rig.panel.lstMessages;
  list.viewport()->installEventFilter(&counter);
  list.beginUpdate();
  rig.view.model.FillInitialList(rig.cycle.Accounts);
  list.viewport()->update();
  rig.panel.update();
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 0);
  list.endUpdate();
  QApplication::processEvents();
  EXPECT_GT(counter.paints, 0);
}

}  // namespace
}  // namespace brivane
