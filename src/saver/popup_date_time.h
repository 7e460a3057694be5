#pragma once
#include <QDateTime>
#include <QLocale>
#include <QTimer>
#include <functional>
#include <string>

#include "widgets/rich_label.h"
#include "saver/popup_panel.h"

namespace brivane {

// The locale's short time format without seconds.
QString shortTimeFormat(const QLocale& locale);

// The date and time panel: the time at 24 points over the date at 12 points,
// right-aligned, in the user's locale formats, in the bottom-right corner of
// the screen. It fades in and has no fade-out; it wakes and redraws only
// when the minute changes.
class TpopDateTime : public PopupPanel {
  Q_OBJECT

 public:
  static constexpr int kDesignWidth = 333;
  static constexpr int kDesignHeight = 133;
  static constexpr int kBorderTop = 8;
  static constexpr int kBorderRight = 20;
  static constexpr int kBorderBottom = 12;
  // The gap between the panel's frame and the screen's right and bottom edges.
  static constexpr int kScreenMargin = 20;
  // How long after a minute starts the timer ticks.
  static constexpr int kPastMinuteMs = 20;

  explicit TpopDateTime(QWidget* owner = nullptr);

  void setShowDate(bool on);
  void setShowTime(bool on);
  bool showDate() const { return showDate_; }
  bool showTime() const { return showTime_; }

  // For tests: the clock, the locale and the screen size used for placement
  // (an empty size means the panel's screen).
  void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
  void setLocale(const QLocale& locale) { locale_ = locale; }
  void setScreenSize(QSize size) {
    screenSize_ = size;
    place();
  }
  // Where the screen starts in the virtual desktop (the corner is placed from it).
  void setScreenOrigin(QPoint origin) {
    screenOrigin_ = origin;
    place();
  }

  // One tick of `tmrUpdateDateTime`.
  void updateDateTime();
  // How many times the text was rebuilt.
  int redrawCount() const { return redraws_; }

  RichLabel* lblDateTime;          // grey 9-point, bottom-aligned
  QTimer* tmrUpdateDateTime;       // first tick after 1 ms, then just after each minute starts
  QTimer* tmrFadeIn;               // 10 ms fade steps

 protected:
  void layoutChildren() override;

 private:
  QSize screenSize() const;
  // Into the screen's bottom-right corner, its frame 20 pixels from both edges.
  void place();

  QPoint screenOrigin_;
  bool showDate_ = false;
  bool showTime_ = false;
  int shownHour_ = -1;
  int shownMinute_ = -1;
  int redraws_ = 0;
  std::function<QDateTime()> clock_;
  QLocale locale_;
  QSize screenSize_;
  QTimer updateTimer_;
};

}  // namespace brivane
