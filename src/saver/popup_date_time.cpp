#include "saver/popup_date_time.h"

#include <QRegularExpression>
#include <QScreen>

#include "markup/markup_parser.h"
#include "widgets/qt_text_metrics.h"

namespace brivane {

QString shortTimeFormat(const QLocale& locale) {
  // Some locales (the C locale among them) put seconds into their short
  // format; the panel changes only once a minute, so they are left out.
  QString format = locale.timeFormat(QLocale::ShortFormat);
  format.remove(QRegularExpression(QStringLiteral("[:.]?s+")));
  return format.trimmed();
}

TpopDateTime::TpopDateTime(QWidget* owner)
    : PopupPanel(owner, Qt::black, false), clock_([] { return QDateTime::currentDateTime(); }),
      locale_(QLocale::system()) {
  setObjectName(QStringLiteral("popDateTime"));
  lblDateTime = new RichLabel(this);
  lblDateTime->setObjectName(QStringLiteral("lblDateTime"));
  lblDateTime->setDefaultFont({uiFontFamily().toStdString(), 9, false, false},
                              QColor(128, 128, 128));
  tmrUpdateDateTime = &updateTimer_;
  tmrFadeIn = fadeTimer();
  updateTimer_.setInterval(1);
  connect(&updateTimer_, &QTimer::timeout, this, &TpopDateTime::updateDateTime);
  updateTimer_.start();
  setPanelSize({kDesignWidth, kDesignHeight});
}

void TpopDateTime::setShowDate(bool on) {
  showDate_ = on;
  shownHour_ = shownMinute_ = -1;  // the next tick rebuilds the text
}

void TpopDateTime::setShowTime(bool on) {
  showTime_ = on;
  shownHour_ = shownMinute_ = -1;
}

QSize TpopDateTime::screenSize() const {
  if (!screenSize_.isEmpty()) return screenSize_;
  QScreen* s = screen();
  return s != nullptr ? s->geometry().size() : QSize(kDesignWidth, kDesignHeight);
}

void TpopDateTime::place() {
  const QSize screen = screenSize();
  move(screenOrigin_ + QPoint(screen.width() - kScreenMargin - width(), screen.height() - kScreenMargin - height()));
}

void TpopDateTime::layoutChildren() {
  lblDateTime->setGeometry(0, kBorderTop, std::max(0, width() - kBorderRight),
                           std::max(0, height() - kBorderTop - kBorderBottom));
}

void TpopDateTime::updateDateTime() {
  QDateTime now = clock_();
  QTime t = now.time();
  // The text shows minutes: the next tick comes just after the next minute
  // starts instead of every second (a saver idling for hours wakes 60 times
  // less). A clock set meanwhile shows within a minute.
  const int intoMinute = t.second() * 1000 + t.msec();
  updateTimer_.setInterval(60000 - intoMinute + kPastMinuteMs);
  if (t.hour() == shownHour_ && t.minute() == shownMinute_) return;
  shownHour_ = t.hour();
  shownMinute_ = t.minute();
  std::string date = EscapeMarkup(locale_.toString(now.date(), QLocale::LongFormat).toStdString());
  std::string time = EscapeMarkup(locale_.toString(t, shortTimeFormat(locale_)).toStdString());

  const TextMetrics& m = lblDateTime->textMetrics();
  FontSpec font = lblDateTime->defaultFont();
  int w = 0;
  int h = 0;
  if (showTime_) {
    font.points = 24;
    w = m.width(decodeEntities(time), font) + 15;
    h = m.lineHeight(font) + 5;
  }
  if (showDate_) {
    font.points = 12;
    w = std::max(w, m.width(decodeEntities(date), font) + 15);
    h += m.lineHeight(font) + 5;
  }
  if (QSize(w, h) != lblDateTime->size()) {
    setPanelSize({w + 20, h + 20});
    place();
  }

  std::string text = "<p align=\"right\">";
  if (showTime_) {
    text += "<font size=\"24\">" + time + "</font>";
    if (showDate_) text += "<br>";
  }
  if (showDate_) text += "<font size=\"12\">" + date + "</font>";
  text += "</p>";
  lblDateTime->setText(std::move(text));
  ++redraws_;
}

}  // namespace brivane
