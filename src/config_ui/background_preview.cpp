#include "config_ui/background_preview.h"

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <algorithm>
#include <cmath>

#include "desktop/foreign_drawn_widget.h"
#include "platform/screensaver_program.h"

// Xlib last: its macros (None, Bool, Status) clash with Qt's names.
#include <X11/Xlib.h>

namespace brivane {
namespace {

// The miniatures: drawn, at any scale, on black.
class Miniature : public QWidget {
 public:
  enum Kind { Mail, DateTime, Date, Time };
  Miniature(QWidget* parent, Kind kind) : QWidget(parent), kind_(kind) {
    setAttribute(Qt::WA_NativeWindow);  // stacked above the native screen
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
  }
  void setKind(Kind kind) {
    kind_ = kind;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = height() / double(kind_ == Mail ? 40 : designHeight());
    p.scale(s, s);
    if (kind_ == Mail) paintMail(p);
    else paintDateTime(p);
  }

 private:
  int designHeight() const { return kind_ == DateTime ? 15 : kind_ == Date ? 8 : 7; }

  // The message panel in small: a framed box, a heading bar and three mail rows.
  static void paintMail(QPainter& p) {
    p.setPen(QPen(QColor(0x8a, 0xa4, 0xc8), 1));
    p.setBrush(QColor(0x1c, 0x26, 0x36));
    p.drawRoundedRect(QRectF(0.5, 0.5, 48, 39), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x4a, 0x7c, 0xc4));
    p.drawRoundedRect(QRectF(4, 4, 41, 6), 2, 2);
    for (int row = 0; row < 3; ++row) {
      const double y = 14 + row * 8.5;
      p.setBrush(QColor(0xf0, 0xc0, 0x40));
      p.drawRect(QRectF(5, y, 6, 4.5));  // the envelope
      p.setBrush(QColor(0xe8, 0xe8, 0xe8));
      p.drawRect(QRectF(14, y, 28 - row * 5, 2));
      p.setBrush(QColor(0x90, 0x98, 0xa4));
      p.drawRect(QRectF(14, y + 3, 22 + row * 3, 1.5));
    }
  }

  // Date above time, as the saver shows them; each a light bar of "text".
  void paintDateTime(QPainter& p) const {
    p.setPen(Qt::NoPen);
    double y = 1;
    if (kind_ == DateTime || kind_ == Date) {
      p.setBrush(QColor(0xb0, 0xb8, 0xc4));
      for (int i = 0; i < 4; ++i) p.drawRect(QRectF(3 + i * 7.5, y + 1, 6, 4));
      y += 8;
    }
    if (kind_ == DateTime || kind_ == Time) {
      p.setBrush(QColor(0xff, 0xff, 0xff));
      for (int i = 0; i < 3; ++i) p.drawRect(QRectF(9 + i * 6.5, y, 5, 5));
    }
  }

  Kind kind_;
};

}  // namespace

BackgroundPreview::BackgroundPreview(QWidget* parent, std::chrono::milliseconds previewInterval)
    : QWidget(parent) {
  setObjectName(QStringLiteral("previewMonitor"));
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  pnlPreview = new ForeignDrawnWidget(this);
  pnlPreview->setObjectName(QStringLiteral("pnlPreview"));
  pnlPreview->setAttribute(Qt::WA_NativeWindow);
  pnlPreview->setAttribute(Qt::WA_PaintOnScreen);
  pnlPreview->setAttribute(Qt::WA_NoSystemBackground);
  pnlPreview->setAttribute(Qt::WA_TransparentForMouseEvents);
  pnlPreview->setUpdatesEnabled(false);
  pnlPrevMail = new Miniature(this, Miniature::Mail);
  pnlPrevMail->setObjectName(QStringLiteral("pnlPrevMail"));
  pnlPrevDT = new Miniature(this, Miniature::DateTime);
  pnlPrevDT->setObjectName(QStringLiteral("pnlPrevDT"));
  pnlPrevDT->hide();
  random_ = [](int bound) { return bound > 0 ? static_cast<int>(QRandomGenerator::global()->bounded(bound)) : 0; };
  tmrPreview.setInterval(previewInterval);
  connect(&tmrPreview, &QTimer::timeout, this, &BackgroundPreview::tmrPreviewTimer);
  placeScreen();
  pnlPrevMail->move(screen_.topLeft());
  tmrPreview.start();
  reap_.setInterval(kReapInterval);
  connect(&reap_, &QTimer::timeout, this, [this] {
    if (launcher_.pid() != 0 && !launcher_.hasEnded(std::chrono::milliseconds(0))) return;
    stopProgram();  // reaps what is left of its group
  });
}

BackgroundPreview::~BackgroundPreview() { launcher_.kill(); }

int BackgroundPreview::scaled(int v) const {
  const double s = std::max(1.0, logicalDpiY() / 96.0);
  return static_cast<int>(std::lround(v * s));
}

QSize BackgroundPreview::sizeHint() const {
  const int bezel = scaled(10);
  return {scaled(kScreenWidth) + 2 * bezel, scaled(kScreenHeight) + 2 * bezel + scaled(22)};
}

void BackgroundPreview::placeScreen() {
  const int bezel = scaled(10);
  const int w = scaled(kScreenWidth), h = scaled(kScreenHeight);
  screen_ = QRect((width() - w - 2 * bezel) / 2 + bezel, bezel, w, h);
  pnlPreview->setGeometry(screen_);
  pnlPrevMail->resize(scaled(kMailWidth), scaled(kMailHeight));
  if (!screen_.contains(pnlPrevMail->geometry())) pnlPrevMail->move(screen_.topLeft());
  setDateTimeMode(mode_);
  pnlPrevMail->raise();
  pnlPrevDT->raise();
}

void BackgroundPreview::resizeEvent(QResizeEvent*) { placeScreen(); }

void BackgroundPreview::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (launcher_.pid() == 0) paintScreenBlack();
}

void BackgroundPreview::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const int bezel = scaled(10);
  const QRectF frame = QRectF(screen_).adjusted(-bezel, -bezel, bezel, bezel);
  // The stand: a neck and a foot below the bezel.
  const double neckW = scaled(28), footW = scaled(80), bottom = height() - 0.5;
  QLinearGradient metal(0, frame.bottom(), 0, bottom);
  metal.setColorAt(0, QColor(0x50, 0x54, 0x5c));
  metal.setColorAt(1, QColor(0x2a, 0x2c, 0x30));
  p.setPen(Qt::NoPen);
  p.setBrush(metal);
  p.drawRect(QRectF(frame.center().x() - neckW / 2, frame.bottom() - 1, neckW, bottom - frame.bottom() - scaled(4)));
  p.drawRoundedRect(QRectF(frame.center().x() - footW / 2, bottom - scaled(6), footW, scaled(6)), scaled(3), scaled(3));
  // The bezel.
  QLinearGradient shell(0, frame.top(), 0, frame.bottom());
  shell.setColorAt(0, QColor(0x4a, 0x4e, 0x56));
  shell.setColorAt(1, QColor(0x22, 0x24, 0x28));
  p.setBrush(shell);
  p.setPen(QPen(QColor(0x14, 0x15, 0x18), 1));
  p.drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), scaled(6), scaled(6));
  p.fillRect(screen_, Qt::black);  // under the native screen, for platforms without one
}

bool BackgroundPreview::startProgram(const std::string& path, const std::vector<std::string>& hackFolders) {
  stopProgram();
  const auto window = static_cast<unsigned long>(pnlPreview->winId());
  const bool started = launcher_.start(screensaverCommand(path, window, false, hackFolders));
  if (started) reap_.start();
  pnlPrevMail->raise();
  pnlPrevDT->raise();
  return started;
}

void BackgroundPreview::stopProgram() {
  reap_.stop();
  launcher_.kill();
  paintScreenBlack();
}

// The screen's window gets a black background that the X server paints on
// every exposure, so it is black whenever no program draws into it.
void BackgroundPreview::paintScreenBlack() {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr || x11->display() == nullptr) return;
  Display* dpy = x11->display();
  const auto window = static_cast<Window>(pnlPreview->winId());
  XSetWindowBackground(dpy, window, BlackPixel(dpy, DefaultScreen(dpy)));
  XClearWindow(dpy, window);
  XFlush(dpy);
}

void BackgroundPreview::tmrPreviewTimer() {
  const int dx = random_(std::max(1, screen_.width() - pnlPrevMail->width()));
  const int dy = random_(std::max(1, screen_.height() - pnlPrevMail->height()));
  pnlPrevMail->hide();
  if (launcher_.pid() == 0) paintScreenBlack();
  pnlPrevMail->move(screen_.left() + dx, screen_.top() + dy);
  pnlPrevMail->show();
  pnlPrevMail->raise();
}

void BackgroundPreview::setDateTimeMode(DateTimeMode mode) {
  mode_ = mode;
  if (mode == dtNone) {
    pnlPrevDT->hide();
    return;
  }
  const int h = mode == dtDateTime ? 15 : mode == dtDate ? 8 : 7;
  static_cast<Miniature*>(pnlPrevDT)->setKind(mode == dtDateTime ? Miniature::DateTime
                                              : mode == dtDate   ? Miniature::Date
                                                                 : Miniature::Time);
  pnlPrevDT->setGeometry(screen_.right() + 1 - scaled(34), screen_.bottom() + 1 - scaled(h), scaled(34), scaled(h));
  pnlPrevDT->show();
  pnlPrevDT->raise();
}

}  // namespace brivane
