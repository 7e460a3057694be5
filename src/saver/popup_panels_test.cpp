#include <gtest/gtest.h>

#include <QApplication>
#include <array>
#include <tuple>

#include "markup/markup_parser.h"
#include "saver/popup_date_time.h"
#include "saver/popup_messages.h"
#include "saver/popup_update.h"

namespace brivane {
namespace {

// Ticks the fade timer by hand until it stops (or a safety limit).
int tickUntilStopped(PopupPanel& panel, QTimer* timer) {
  int ticks = 0;
  for (; timer->isActive() && ticks < 1000; ++ticks) panel.fadeTick();
  return ticks;
}

// Shows the panel and lets it fade in to `tag`.
template <class Panel>
void fadeIn(Panel& panel, int tag) {
  panel.setTag(tag);
  panel.show();
  tickUntilStopped(panel, panel.tmrFade);
}

TEST(PopupPanel, FadeInStopsExactlyAtTag) {
  // Tag, the opacity reached, and the ticks: those that change the opacity plus the one that stops.
  const std::array<int, 3> cases[] = {{180, 180, 61}, {255, 255, 86}, {100, 100, 35},
                                      {0, 0, 1},      {300, 255, 86}, {-5, 0, 1}};
  for (auto [tag, reached, ticks] : cases) {
    SCOPED_TRACE(tag);
    TpopMessages panel;
    panel.setTag(tag);
    panel.show();
    EXPECT_EQ(std::pair(panel.opacity(), panel.tmrFade->isActive()), std::pair(0, true));
    EXPECT_EQ(tickUntilStopped(panel, panel.tmrFade), ticks);
    EXPECT_EQ(std::pair(panel.opacity(), panel.isVisible()), std::pair(reached, true));
  }
}

TEST(PopupPanel, CloseWithFadeFadesOutThenCloses) {
  TpopUpdate panel;
  fadeIn(panel, 180);
  panel.closeWithFade();  // refused at first: visible, fading out from 180
  EXPECT_EQ(std::tuple(panel.isVisible(), panel.fadingOut(), panel.opacity()), std::tuple(true, true, 180));
  EXPECT_EQ(tickUntilStopped(panel, panel.tmrFade), 36 + 1);  // 180 / 5 steps, then the tick that closes
  EXPECT_EQ(std::pair(panel.isVisible(), panel.opacity()), std::pair(false, 0));
}

TEST(PopupPanel, CloseDuringFadeOutOrWithoutFlagClosesAtOnce) {
  TpopMessages panel;
  fadeIn(panel, 255);
  panel.closeWithFade();
  panel.fadeTick();
  ASSERT_TRUE(panel.isVisible());
  panel.close();
  EXPECT_EQ(std::pair(panel.isVisible(), panel.tmrFade->isActive()), std::pair(false, false));
  // A close without the fade flag, or while hidden, closes at once too.
  panel.show();
  panel.close();
  EXPECT_FALSE(panel.isVisible());
  panel.closeWithFade();  // hidden: nothing to fade
  EXPECT_EQ(std::pair(panel.isVisible(), panel.tmrFade->isActive()), std::pair(false, false));
  // Hiding (the saver ends) stops a running fade at once.
  panel.show();
  panel.hide();
  EXPECT_FALSE(panel.tmrFade->isActive());
}

TEST(PopupPanel, ShowDuringFadeOutRestartsAtZero) {
  TpopMessages panel;
  fadeIn(panel, 180);
  panel.closeWithFade();
  for (int i = 0; i < 5; ++i) panel.fadeTick();
  EXPECT_EQ(panel.opacity(), 155);
  panel.show();
  EXPECT_EQ(std::tuple(panel.opacity(), panel.fadingOut(), panel.fadeBeforeClosing()), std::tuple(0, false, false));
  tickUntilStopped(panel, panel.tmrFade);
  EXPECT_EQ(std::pair(panel.isVisible(), panel.opacity()), std::pair(true, 180));
  // Showing a steady panel again changes nothing.
  panel.show();
  EXPECT_EQ(panel.opacity(), 180);
}

TEST(PopupPanel, UnseenFadeTakesOneStep) {
  // Without a compositor: the target at the first tick, stopped (or closed) at the second.
  TpopMessages panel;
  bool shown = false;
  panel.setOpacityShown([&] { return shown; });
  fadeIn(panel, 180);
  EXPECT_EQ(panel.opacity(), 180);
  panel.closeWithFade();
  EXPECT_EQ(tickUntilStopped(panel, panel.tmrFade), 2);
  EXPECT_EQ(std::pair(panel.isVisible(), panel.opacity()), std::pair(false, 0));
  panel.show();
  panel.fadeTick();
  EXPECT_EQ(std::pair(panel.opacity(), panel.tmrFade->isActive()), std::pair(180, true));
  // A compositor that starts meanwhile gets the stepped fade from the next fade on.
  shown = true;
  panel.closeWithFade();
  EXPECT_EQ(tickUntilStopped(panel, panel.tmrFade), 36 + 1);
}

TEST(PopupPanel, DateTimePanelHasNoFadeOut) {
  TpopDateTime panel;
  panel.setTag(180);
  panel.show();
  tickUntilStopped(panel, panel.tmrFadeIn);
  EXPECT_EQ(panel.opacity(), 180);
  panel.closeWithFade();
  EXPECT_FALSE(panel.isVisible());
}

TEST(PopupPanel, WindowNeverTakesFocus) {
  TpopMessages panel;
  const auto flags = Qt::WindowDoesNotAcceptFocus | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
  EXPECT_EQ(panel.windowFlags() & flags, flags);
  EXPECT_TRUE(panel.testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_EQ(panel.lstMessages->focusPolicy(), Qt::NoFocus);
}

class DateTime : public ::testing::Test {
 protected:
  DateTime() {
    panel.setLocale(QLocale(QLocale::English, QLocale::UnitedKingdom));
    panel.setScreenSize(QSize(1920, 1080));
    panel.setClock([this] { return now; });
  }
  // The room one line of the label takes: text width + 15 by line height + 5.
  QSize box(const std::string& text, double points) {
    FontSpec f = panel.lblDateTime->defaultFont();
    f.points = points;
    const TextMetrics& m = panel.lblDateTime->textMetrics();
    return QSize(m.width(text, f) + 15, m.lineHeight(f) + 5);
  }
  QDateTime now{QDate(2026, 12, 6), QTime(21, 5, 10)};
  TpopDateTime panel;
};

TEST_F(DateTime, RedrawsOnlyWhenTheMinuteChanges) {
  panel.setShowTime(true);
  panel.setShowDate(true);
  // From 21:05:10: 21:05:50, 21:06:05, then the same hour and minute a day later.
  const std::pair<qint64, int> steps[] = {{0, 1}, {40, 1}, {15, 2}, {86400, 2}};
  for (auto [secs, redraws] : steps) {
    now = now.addSecs(secs);
    panel.updateDateTime();
    EXPECT_EQ(panel.redrawCount(), redraws) << now.toString().toStdString();
  }
  EXPECT_NE(panel.lblDateTime->text().find("21:06"), std::string::npos);
  // 21:06:05 a day later: the next tick 55 s on, just past 21:07:00.
  EXPECT_EQ(panel.tmrUpdateDateTime->interval(), 55000 + TpopDateTime::kPastMinuteMs);
  now = QDateTime(now.date(), QTime(21, 6, 59, 990));
  panel.updateDateTime();
  EXPECT_EQ(panel.tmrUpdateDateTime->interval(), 10 + TpopDateTime::kPastMinuteMs);
}

TEST_F(DateTime, TimeAndDateTextAndPlacement) {
  panel.setShowTime(true);
  panel.setShowDate(true);
  panel.updateDateTime();
  const std::string date =
      QLocale(QLocale::English, QLocale::UnitedKingdom).toString(now.date(), QLocale::LongFormat).toStdString();
  EXPECT_EQ(panel.lblDateTime->text(), "<p align=\"right\"><font size=\"24\">21:05</font><br>"
                                       "<font size=\"12\">" + date + "</font></p>");
  const QSize time = box("21:05", 24), day = box(date, 12);
  const int w = std::max(time.width(), day.width()), h = time.height() + day.height();
  EXPECT_EQ(panel.size(), QSize(w + 20, h + 20));
  // Its frame keeps 20 pixels from the screen's right and bottom edges,
  // and it follows the screen when the resolution changes.
  EXPECT_EQ(panel.geometry(), QRect(1920 - 40 - w, 1080 - 40 - h, w + 20, h + 20));
  panel.setScreenSize(QSize(1280, 720));
  EXPECT_EQ(panel.pos(), QPoint(1280 - 40 - w, 720 - 40 - h));
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
  EXPECT_EQ(panel.height(), box("", 12).height() + 20);
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
  TpopUpdate panel;  // its 393 x 97 size is checked on the rendered image
  EXPECT_EQ(panel.lblUpdateTitle->text(), "an updated version of brivane is available");
  EXPECT_FALSE(panel.lblUpdateTitle->font().bold());
  panel.lstUpdateMessage->add("<B>Version: </B>1.2.0.0<BR><BR>Press <B>U</B> to update now");
  EXPECT_LE(panel.lstUpdateMessage->y() + panel.lstUpdateMessage->rowRect(0).bottom(), 97) << "the row fits";
  EXPECT_GT(panel.lstUpdateMessage->y(), panel.lblUpdateTitle->geometry().bottom());
}

}  // namespace
}  // namespace brivane
