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

// Ticks the fade timer by hand until it stops (or a safety limit); the ticks.
int ticks(PopupPanel& panel, QTimer* timer) {
  int n = 0;
  for (; timer->isActive() && n < 1000; ++n) panel.fadeTick();
  return n;
}
void show(PopupPanel& panel, int tag) { panel.setTag(tag), panel.show(); }

TEST(PopupPanel, FadeInStopsExactlyAtTag) {
  // Tag, the opacity reached, and the ticks: those that change the opacity plus the one that stops.
  const std::array<int, 3> cases[] = {{180, 180, 61}, {255, 255, 86}, {100, 100, 35},
                                      {0, 0, 1},      {300, 255, 86}, {-5, 0, 1}};
  for (auto [tag, reached, n] : cases) {
    TpopMessages panel;
    show(panel, tag);
    EXPECT_EQ(std::pair(panel.opacity(), panel.tmrFade->isActive()), std::pair(0, true)) << tag;
    const int made = ticks(panel, panel.tmrFade);
    EXPECT_EQ(std::tuple(made, panel.opacity(), panel.isVisible()), std::tuple(n, reached, true)) << tag;
  }
}

// closeWithFade fades out, then closes; a show during the fade-out starts
// again at zero; a close during it, or while hidden, closes at once, and
// hiding stops a running fade.
TEST(PopupPanel, FadeOutCloseAndShowAgain) {
  TpopUpdate panel;
  show(panel, 180);
  ticks(panel, panel.tmrFade);
  panel.closeWithFade();  // refused at first: visible, fading out from 180
  EXPECT_EQ(std::tuple(panel.isVisible(), panel.fadingOut(), panel.opacity()), std::tuple(true, true, 180));
  for (int i = 0; i < 5; ++i) panel.fadeTick();
  EXPECT_EQ(panel.opacity(), 155);
  panel.show();
  EXPECT_EQ(std::tuple(panel.opacity(), panel.fadingOut(), panel.fadeBeforeClosing()), std::tuple(0, false, false));
  ticks(panel, panel.tmrFade);
  panel.show();  // a steady panel shown again: unchanged
  EXPECT_EQ(std::pair(panel.isVisible(), panel.opacity()), std::pair(true, 180));
  panel.closeWithFade();
  EXPECT_EQ(ticks(panel, panel.tmrFade), 36 + 1);  // 180 / 5 steps, then the tick that closes
  EXPECT_EQ(std::pair(panel.isVisible(), panel.opacity()), std::pair(false, 0));
  panel.show();
  panel.closeWithFade();
  panel.fadeTick();
  panel.close();
  EXPECT_FALSE(panel.isVisible() || panel.tmrFade->isActive());
  panel.closeWithFade();  // hidden: nothing to fade
  EXPECT_FALSE(panel.isVisible() || panel.tmrFade->isActive());
  panel.show();
  panel.hide();
  EXPECT_FALSE(panel.tmrFade->isActive());
}

// Without a compositor a fade takes one step: the target at the first tick,
// stopped (or closed) at the second; one that starts later gets the steps.
TEST(PopupPanel, UnseenFadeTakesOneStep) {
  TpopMessages panel;
  bool shown = false;
  panel.setOpacityShown([&] { return shown; });
  show(panel, 180);
  EXPECT_EQ((std::pair{ticks(panel, panel.tmrFade), panel.opacity()}), std::pair(2, 180));
  panel.closeWithFade();
  EXPECT_EQ((std::tuple{ticks(panel, panel.tmrFade), panel.isVisible(), panel.opacity()}), std::tuple(2, false, 0));
  panel.show();
  ticks(panel, panel.tmrFade);
  shown = true;
  panel.closeWithFade();
  EXPECT_EQ(ticks(panel, panel.tmrFade), 36 + 1);
}

// No panel ever takes the focus from the saver.
TEST(PopupPanel, NeverTakesFocus) {
  TpopMessages panel;
  const auto flags = Qt::WindowDoesNotAcceptFocus | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
  EXPECT_EQ(std::tuple(panel.windowFlags() & flags, panel.testAttribute(Qt::WA_ShowWithoutActivating),
                       panel.lstMessages->focusPolicy()), std::tuple(flags, true, Qt::NoFocus));
}

class DateTime : public ::testing::Test {
 protected:
  DateTime() {
    panel.setLocale(QLocale(QLocale::English, QLocale::UnitedKingdom));
    panel.setScreenSize(QSize(1920, 1080));
    panel.setClock([this] { return now; });
    panel.setShowTime(true);
    panel.setShowDate(true);
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

// The clock redraws only when the minute changes, and ticks just past the next
// minute; the short time format of any locale has no seconds.
TEST_F(DateTime, RedrawsOnlyWhenTheMinuteChanges) {
  // From 21:05:10: 21:05:50, 21:06:05, then the same hour and minute a day later.
  for (auto [secs, redraws] : {std::pair<qint64, int>{0, 1}, {40, 1}, {15, 2}, {86400, 2}}) {
    now = now.addSecs(secs);
    panel.updateDateTime();
    EXPECT_EQ(panel.redrawCount(), redraws) << now.toString().toStdString();
  }
  EXPECT_NE(panel.lblDateTime->text().find("21:06"), std::string::npos);
  EXPECT_EQ(panel.tmrUpdateDateTime->interval(), 55000 + TpopDateTime::kPastMinuteMs);  // to 21:07:00
  now = QDateTime(now.date(), QTime(21, 6, 59, 990));
  panel.updateDateTime();
  EXPECT_EQ(panel.tmrUpdateDateTime->interval(), 10 + TpopDateTime::kPastMinuteMs);
  for (const QLocale& l : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::German)}) {
    const QString text = l.toString(QTime(21, 5, 42), shortTimeFormat(l));
    EXPECT_TRUE(!text.contains(QLatin1String("42")) && text.contains(QLatin1String("05"))) << text.toStdString();
  }
}

TEST_F(DateTime, TimeAndDateTextAndPlacement) {
  panel.updateDateTime();
  const std::string date =
      QLocale(QLocale::English, QLocale::UnitedKingdom).toString(now.date(), QLocale::LongFormat).toStdString();
  EXPECT_EQ(panel.lblDateTime->text(), "<p align=\"right\"><font size=\"24\">21:05</font><br>"
                                       "<font size=\"12\">" + date + "</font></p>");
  const QSize time = box("21:05", 24), day = box(date, 12);
  const int w = std::max(time.width(), day.width()), h = time.height() + day.height();
  // Its frame keeps 20 pixels from the screen's right and bottom edges, also
  // when the resolution changes; both lines end at the label's right edge.
  EXPECT_EQ(std::pair(panel.geometry(), panel.lblDateTime->geometry()),
            std::pair(QRect(1920 - 40 - w, 1080 - 40 - h, w + 20, h + 20), QRect(0, 8, w, h)));
  panel.setScreenSize(QSize(1280, 720));
  EXPECT_EQ(panel.pos(), QPoint(1280 - 40 - w, 720 - 40 - h));
  for (const LaidOutText& t : panel.lblDateTime->layout().texts) EXPECT_EQ(t.x + t.width, w);
}

// The date alone is one 12-point line; the clock fades in, but has no fade-out.
TEST_F(DateTime, DateOnlyIsOneTwelvePointLineAndClosesAtOnce) {
  panel.setShowTime(false);
  panel.updateDateTime();
  const RowLayout& r = panel.lblDateTime->layout();
  ASSERT_EQ(std::pair(r.lines.size(), r.texts.size()), std::pair(size_t{1}, size_t{1}));
  EXPECT_EQ(std::pair(r.texts[0].font.points, panel.height()), std::pair(12.0, box("", 12).height() + 20));
  show(panel, 180);
  ticks(panel, panel.tmrFadeIn);
  panel.closeWithFade();
  EXPECT_EQ(std::pair(panel.opacity(), panel.isVisible()), std::pair(180, false));
}

TEST(UpdatePanel, TitleAndTheRowFit) {
  TpopUpdate panel;  // its 393 x 97 size is checked on the rendered image
  EXPECT_EQ(std::pair(panel.lblUpdateTitle->text(), panel.lblUpdateTitle->font().bold()),
            std::pair(QString("an updated version of brivane is available"), false));
  panel.lstUpdateMessage->add("<B>Version: </B>1.2.0.0<BR><BR>Press <B>U</B> to update now");
  EXPECT_LE(panel.lstUpdateMessage->y() + panel.lstUpdateMessage->rowRect(0).bottom(), 97) << "the row fits";
  EXPECT_GT(panel.lstUpdateMessage->y(), panel.lblUpdateTitle->geometry().bottom());
}

}  // namespace
}  // namespace brivane
