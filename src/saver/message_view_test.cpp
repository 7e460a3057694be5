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
    TEmlAccount a;
    a.name = "Home";
    a.folders = {"INBOX;Inbox"};
    cycle.Accounts = {a, a};
    cycle.Accounts[1].name = "Work";
    cycle.Accounts[1].server = "imap.example.org";
  }
  MessageQueue target;
  CheckCycle cycle{target};
  TpopMessages panel;
  int moves = 0;
  MessageView view{panel, [] { return QRect(0, 0, 1024, 768); }, [this] { ++moves; }};
};

bool hasLitPixel(const QImage& img, QRect r) {
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x)
      if (qGray(img.pixel(x, y)) > 100) return true;
  return false;
}

TEST(MessageView, PanelFitsAndShowsTheLastRow) {
  PanelRig rig;
  rig.view.model.FillInitialList(rig.cycle.Accounts);
  for (int k = 0; k < 4; ++k) {
    MessageSummary m;
    m.sender = "Sender " + std::to_string(k % 2);
    m.subject = "Subject number " + std::to_string(k);
    m.folder = "INBOX";
    rig.cycle.resultList.push_back(m);
  }
  rig.cycle.resultList.push_back(statusRow("ERRCONN", RowKind::Error, 1));
  rig.cycle.listChanged = 1;
  ASSERT_TRUE(rig.view.model.RebuildList(rig.cycle));
  RichListBox& list = *rig.panel.lstMessages;
  ASSERT_EQ(list.count(), 8);
  EXPECT_EQ(rig.panel.height(), list.rowBottom(7) + 2 + 2 * TpopMessages::kBorder);
  EXPECT_EQ(rig.moves, 0);

  rig.panel.show();
  QApplication::processEvents();
  QImage img = rig.panel.grab().toImage();
  // The last row (the server's name on the error row's second line) is drawn
  // inside the panel, within its borders.
  QRect last = list.rowRect(7).translated(list.geometry().topLeft());
  last.setBottom(last.top() + list.rowHeight(7) - 1);
  ASSERT_LE(last.bottom(), rig.panel.height() - TpopMessages::kBorder);
  EXPECT_TRUE(hasLitPixel(img, last));
}

// Counts the paint events the list's viewport receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST(MessageView, NoPaintBetweenBeginAndEndOfARebuild) {
  PanelRig rig;
  rig.panel.show();
  QApplication::processEvents();
  PaintCounter counter;
  RichListBox& list = *rig.panel.lstMessages;
  list.viewport()->installEventFilter(&counter);
  list.beginUpdate();
  rig.view.model.FillInitialList(rig.cycle.Accounts);  // nested inside the outer update
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
