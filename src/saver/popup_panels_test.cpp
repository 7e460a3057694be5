#include <gtest/gtest.h>

#include <QApplication>

#include "markup/markup_parser.h"
#include "saver/pop_date_time.h"
#include "saver/pop_messages.h"
#include "saver/pop_update.h"

namespace brivane {
namespace {

// Ticks the fade timer by hand until it stops (or a safety limit).
int tickUntilStopped(PopupPanel& panel, QTimer* timer, int limit = 1000) {
  int ticks = 0;
  while (timer->isActive() && ticks < limit) {
    panel.fadeTick();
    ++ticks;
  }
  return ticks;
}

TEST(PopupPanel, FadeInStopsExactlyAtTag) {
  struct Case {
    int tag;
    int expected;
    int ticks;  // ticks that change the opacity, plus the one that stops
  } cases[] = {{180, 180, 61}, {255, 255, 86}, {100, 100, 35}, {0, 0, 1}, {300, 255, 86},
               {-5, 0, 1}};
  for (const Case& c : cases) {
    TpopMessages panel;
    panel.setTag(c.tag);
    panel.show();
    EXPECT_EQ(panel.opacity(), 0);
    EXPECT_TRUE(panel.tmrFade->isActive());
    EXPECT_EQ(tickUntilStopped(panel, panel.tmrFade), c.ticks) << c.tag;
    EXPECT_EQ(panel.opacity(), c.expected) << c.tag;
    EXPECT_TRUE(panel.isVisible());
  }
}

TEST(PopupPanel, CloseWithFadeFadesOutThenCloses) {
  TpopUpdate panel;
  panel.setTag(180);
  panel.show();
  tickUntilStopped(panel, panel.tmrFade);
  panel.closeWithFade();
  EXPECT_TRUE(panel.isVisible()) << "the first close is refused";
  EXPECT_TRUE(panel.fadingOut());
  EXPECT_EQ(panel.opacity(), 180);
  int ticks = tickUntilStopped(panel, panel.tmrFade);
  EXPECT_EQ(ticks, 36 + 1);  // 180 / 5 steps, then the tick that closes
  EXPECT_FALSE(panel.isVisible());
  EXPECT_EQ(panel.opacity(), 0);
}

TEST(PopupPanel, CloseDuringFadeOutClosesAtOnce) {
  TpopMessages panel;
  panel.setTag(255);
  panel.show();
  tickUntilStopped(panel, panel.tmrFade);
  panel.closeWithFade();
  panel.fadeTick();
  panel.fadeTick();
  ASSERT_TRUE(panel.isVisible());
  panel.close();
  EXPECT_FALSE(panel.isVisible());
  EXPECT_FALSE(panel.tmrFade->isActive());
}

TEST(PopupPanel, ShowDuringFadeOutRestartsAtZero) {
  TpopMessages panel;
  panel.setTag(180);
  panel.show();
  tickUntilStopped(panel, panel.tmrFade);
  panel.closeWithFade();
  for (int i = 0; i < 5; ++i) panel.fadeTick();
  EXPECT_EQ(panel.opacity(), 155);
  panel.show();
  EXPECT_EQ(panel.opacity(), 0);
  EXPECT_FALSE(panel.fadingOut());
  EXPECT_FALSE(panel.fadeBeforeClosing());
  tickUntilStopped(panel, panel.tmrFade);
  EXPECT_EQ(panel.opacity(), 180);
  EXPECT_TRUE(panel.isVisible());
  // Showing a steady panel again changes nothing.
  panel.show();
  EXPECT_EQ(panel.opacity(), 180);
}

TEST(PopupPanel, CloseWithoutFlagOrWhileHiddenClosesAtOnce) {
  TpopMessages panel;
  panel.show();
  panel.close();
  EXPECT_FALSE(panel.isVisible());
  panel.closeWithFade();  // hidden: nothing to fade
  EXPECT_FALSE(panel.isVisible());
  EXPECT_FALSE(panel.tmrFade->isActive());
  // Hiding (the saver ends) stops a running fade at once.
  panel.show();
  panel.hide();
  EXPECT_FALSE(panel.tmrFade->isActive());
}

TEST(PopupPanel, DateTimePanelHasNoFadeOut) {
  TpopDateTime panel;
  panel.setTag(180);
  panel.show();
  EXPECT_TRUE(panel.tmrFadeIn->isActive());
  tickUntilStopped(panel, panel.tmrFadeIn);
  EXPECT_EQ(panel.opacity(), 180);
  panel.closeWithFade();
  EXPECT_FALSE(panel.isVisible());
}

TEST(PopupPanel, WindowNeverTakesFocus) {
  TpopMessages panel;
  EXPECT_TRUE(panel.windowFlags() & Qt::WindowDoesNotAcceptFocus);
  EXPECT_TRUE(panel.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(panel.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(panel.testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_EQ(panel.size(), QSize(350, 400));
  EXPECT_EQ(panel.lstMessages->geometry(), QRect(8, 8, 334, 384));
  EXPECT_EQ(panel.lstMessages->focusPolicy(), Qt::NoFocus);
}

class DateTime : public ::testing::Test {
 protected:
  DateTime() {
    panel.setLocale(QLocale(QLocale::English, QLocale::UnitedKingdom));
    panel.setScreenSize(QSize(1920, 1080));
    panel.setClock([this] { return now; });
  }
  QDateTime now{QDate(2026, 12, 6), QTime(21, 5, 10)};
  TpopDateTime panel;
};

TEST_F(DateTime, RedrawsOnlyWhenTheMinuteChanges) {
  panel.setShowTime(true);
  panel.setShowDate(true);
  panel.updateDateTime();
  EXPECT_EQ(panel.redrawCount(), 1);
  EXPECT_EQ(panel.tmrUpdateDateTime->interval(), 1000);
  now = now.addSecs(40);  // 21:05:50
  panel.updateDateTime();
  EXPECT_EQ(panel.redrawCount(), 1);
  now = now.addSecs(15);  // 21:06:05
  panel.updateDateTime();
  EXPECT_EQ(panel.redrawCount(), 2);
  EXPECT_NE(panel.lblDateTime->text().find("21:06"), std::string::npos);
  now = now.addDays(1);  // same hour and minute a day later: no redraw
  panel.updateDateTime();
  EXPECT_EQ(panel.redrawCount(), 2);
}

TEST_F(DateTime, TimeAndDateTextAndPlacement) {
  panel.setShowTime(true);
  panel.setShowDate(true);
  panel.updateDateTime();
  std::string date = QLocale(QLocale::English, QLocale::UnitedKingdom)
                         .toString(now.date(), QLocale::LongFormat)
                         .toStdString();
  EXPECT_EQ(panel.lblDateTime->text(), "<p align=\"right\"><font size=\"24\">21:05</font><br>"
                                       "<font size=\"12\">" + date + "</font></p>");
  const TextMetrics& m = panel.lblDateTime->textMetrics();
  FontSpec f = panel.lblDateTime->defaultFont();
  f.points = 24;
  int w = m.width("21:05", f) + 15;
  int h = m.lineHeight(f) + 5;
  f.points = 12;
  w = std::max(w, m.width(date, f) + 15);
  h += m.lineHeight(f) + 5;
  EXPECT_EQ(panel.size(), QSize(w + 20, h + 20));
  EXPECT_EQ(panel.pos(), QPoint(1920 - 20 - w, 1080 - 20 - h));
  EXPECT_EQ(panel.lblDateTime->geometry(), QRect(0, 8, w, h));
  // Both lines end at the label's right edge.
  for (const LaidOutText& t : panel.lblDateTime->layout().texts) EXPECT_EQ(t.x + t.width, w);
}

TEST_F(DateTime, DateOnlyIsOneTwelvePointLine) {
  panel.setShowDate(true);
  panel.updateDateTime();
  const RowLayout& r = panel.lblDateTime->layout();
  ASSERT_EQ(r.lines.size(), 1u);
  ASSERT_EQ(r.texts.size(), 1u);
  EXPECT_EQ(r.texts[0].font.points, 12);
  FontSpec f = panel.lblDateTime->defaultFont();
  f.points = 12;
  EXPECT_EQ(panel.height(), panel.lblDateTime->textMetrics().lineHeight(f) + 5 + 20);
}

TEST(DateTimeFormat, ShortTimeHasNoSeconds) {
  for (const QLocale& l : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates),
                           QLocale(QLocale::German, QLocale::Germany)}) {
    QString text = l.toString(QTime(21, 5, 42), shortTimeFormat(l));
    EXPECT_FALSE(text.contains(QLatin1String("42"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QLatin1String("05"))) << text.toStdString();
  }
}

TEST(UpdatePanel, LayoutAndRow) {
  TpopUpdate panel;
  EXPECT_EQ(panel.size(), QSize(393, 97));
  EXPECT_EQ(panel.lblUpdateTitle->text(), "an updated version of brivane is available");
  EXPECT_FALSE(panel.lblUpdateTitle->font().bold());
  panel.lstUpdateMessage->add("<B>Version: </B>1.2.0.0<BR><BR>Press <B>U</B> to update now");
  QRect row = panel.lstUpdateMessage->rowRect(0);
  EXPECT_LE(panel.lstUpdateMessage->y() + row.bottom(), 97) << "the row fits the panel";
  EXPECT_GT(panel.lstUpdateMessage->y(), panel.lblUpdateTitle->geometry().bottom());
}

}  // namespace
}  // namespace brivane
