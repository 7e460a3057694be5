#include "widgets/rich_graphics.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>

#include "common/text.h"

namespace brivane {

void RichGraphics::addPicture(const std::string& name, PictureArt art) {
  pictures_[asciiLower(name)] = std::move(art);
  invalidate();
}

const PictureArt* RichGraphics::named(const std::string& name) const {
  auto it = pictures_.find(name);
  return it == pictures_.end() ? nullptr : &it->second;
}

PictureCatalog RichGraphics::catalog(int width, double scale) const {
  PictureCatalog c;
  c.imageSize = {imageSize_.width(), imageSize_.height()};
  c.imageCount = imageCount();
  for (const auto& [name, art] : pictures_) {
    PictureSize s{art.size.width(), art.size.height()};
    if (art.fullWidth && width > 0 && scale > 0) s.width = static_cast<int>(width / scale);
    c.addPicture(name, s);
  }
  return c;
}

bool RichGraphics::isAnimated(const LaidOutPicture& p) const {
  if (p.index >= 0) return false;
  const PictureArt* a = named(p.name);
  return a != nullptr && a->frames > 1;
}

QPixmap RichGraphics::pixmap(const LaidOutPicture& p, QSize size, qreal dpr, int frame) {
  const PictureDraw* draw = nullptr;
  if (p.index >= 0) {
    if (p.index < imageCount()) draw = &images_[static_cast<size_t>(p.index)];
  } else if (const PictureArt* a = named(p.name)) {
    draw = &a->draw;
  }
  if (draw == nullptr || !*draw || size.isEmpty()) return {};
  QString key = QStringLiteral("%1|%2|%3x%4|%5|%6")
                    .arg(p.index)
                    .arg(QString::fromStdString(p.name))
                    .arg(size.width())
                    .arg(size.height())
                    .arg(dpr)
                    .arg(frame);
  auto it = cache_.find(key);
  if (it != cache_.end()) return *it;
  if (cache_.size() > 512) cache_.clear();
  QPixmap pm(QSize(static_cast<int>(std::ceil(size.width() * dpr)),
                   static_cast<int>(std::ceil(size.height() * dpr))));
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  {
    QPainter painter(&pm);
    painter.setRenderHint(QPainter::Antialiasing);
    (*draw)(painter, QRectF(0, 0, size.width(), size.height()), frame);
  }
  cache_.insert(key, pm);
  return pm;
}

void RichGraphics::paint(QPainter& painter, const LaidOutPicture& p, QPointF origin, qint64 nowMs) {
  int frame = 0;
  if (p.index < 0) {
    if (const PictureArt* a = named(p.name); a != nullptr && a->frames > 1) {
      frame = static_cast<int>((nowMs / std::max(1, a->frameMs)) % a->frames);
    }
  }
  qreal dpr = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;
  QPixmap pm = pixmap(p, QSize(p.width, p.height), dpr, frame);
  if (!pm.isNull()) painter.drawPixmap(origin + QPointF(p.x, p.y), pm);
}

namespace art {
namespace {

// Every picture is drawn on a 16 x 16 grid scaled to its rectangle.
struct Grid {
  Grid(QPainter& p, const QRectF& r) : painter(p) {
    painter.save();
    painter.translate(r.topLeft());
    painter.scale(r.width() / 16.0, r.height() / 16.0);
    painter.setRenderHint(QPainter::Antialiasing);
  }
  ~Grid() { painter.restore(); }
  QPainter& painter;
};

QLinearGradient vertical(QColor top, QColor bottom, qreal y0 = 0, qreal y1 = 16) {
  QLinearGradient g(0, y0, 0, y1);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  return g;
}

QPen pen(QColor c, qreal w) { return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

}  // namespace

void account(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  p.setPen(pen(QColor(28, 78, 150), 0.8));
  p.setBrush(vertical(QColor(98, 166, 240), QColor(40, 110, 200), 1, 15));
  p.drawEllipse(QPointF(8, 8), 7.2, 7.2);
  QPainterPath clip;
  clip.addEllipse(QPointF(8, 8), 6.8, 6.8);
  p.setClipPath(clip);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255));
  p.drawEllipse(QPointF(8, 6.1), 2.6, 2.6);
  p.drawEllipse(QRectF(3.2, 9.4, 9.6, 8.5));
}

void folder(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  p.setPen(pen(QColor(170, 115, 20), 0.8));
  p.setBrush(QColor(226, 160, 48));
  QPainterPath back;
  back.moveTo(1.5, 13.5);
  back.lineTo(1.5, 3.8);
  back.quadTo(1.5, 3, 2.3, 3);
  back.lineTo(5.8, 3);
  back.lineTo(7.3, 4.6);
  back.lineTo(13.7, 4.6);
  back.quadTo(14.5, 4.6, 14.5, 5.4);
  back.lineTo(14.5, 13.5);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(vertical(QColor(255, 222, 120), QColor(244, 182, 60), 6, 14));
  p.drawRoundedRect(QRectF(1.5, 6.2, 13, 7.6), 0.9, 0.9);
  p.setPen(pen(QColor(255, 240, 190, 200), 0.7));
  p.drawLine(QPointF(2.6, 7.2), QPointF(13.4, 7.2));
}

void warning(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  QPainterPath tri;
  tri.moveTo(8, 1.4);
  tri.lineTo(15, 14.2);
  tri.lineTo(1, 14.2);
  tri.closeSubpath();
  p.setPen(pen(QColor(190, 120, 0), 1.0));
  p.setBrush(vertical(QColor(255, 214, 64), QColor(245, 165, 0), 1, 15));
  p.drawPath(tri);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(60, 40, 0));
  p.drawRoundedRect(QRectF(7.1, 5.2, 1.8, 5.2), 0.8, 0.8);
  p.drawEllipse(QPointF(8, 12.2), 1.05, 1.05);
}

void message(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  p.setPen(pen(QColor(120, 140, 170), 0.9));
  p.setBrush(vertical(QColor(255, 255, 255), QColor(214, 224, 238), 3, 13));
  p.drawRoundedRect(QRectF(1.5, 3.5, 13, 9.5), 1, 1);
  p.setBrush(Qt::NoBrush);
  p.setPen(pen(QColor(96, 120, 156), 1.0));
  QPainterPath flap;
  flap.moveTo(2.1, 4.2);
  flap.lineTo(8, 9);
  flap.lineTo(13.9, 4.2);
  p.drawPath(flap);
}

void queued(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  p.setPen(pen(QColor(110, 128, 150), 1.0));
  p.setBrush(vertical(QColor(250, 252, 255), QColor(206, 216, 230), 1, 15));
  p.drawEllipse(QPointF(8, 8), 6.6, 6.6);
  p.setPen(pen(QColor(50, 66, 90), 1.4));
  p.drawLine(QPointF(8, 8), QPointF(8, 4));
  p.drawLine(QPointF(8, 8), QPointF(10.8, 9.6));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(50, 66, 90));
  p.drawEllipse(QPointF(8, 8), 0.9, 0.9);
}

void noMessages(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  p.setPen(pen(QColor(30, 120, 45), 0.8));
  p.setBrush(vertical(QColor(110, 210, 110), QColor(46, 160, 66), 1, 15));
  p.drawEllipse(QPointF(8, 8), 7.2, 7.2);
  p.setBrush(Qt::NoBrush);
  p.setPen(pen(Qt::white, 1.9));
  QPainterPath tick;
  tick.moveTo(4.6, 8.3);
  tick.lineTo(7.1, 10.8);
  tick.lineTo(11.6, 5.6);
  p.drawPath(tick);
}

namespace {
void lock(QPainter& p, const QRectF& r, bool closed) {
  Grid g(p, r);
  QPainterPath shackle;
  if (closed) {
    shackle.moveTo(5, 7.5);
    shackle.lineTo(5, 5.2);
    shackle.arcTo(QRectF(5, 2.2, 6, 6), 180, -180);
    shackle.lineTo(11, 7.5);
  } else {
    // Lifted well out of the body, its left leg free: open at a glance,
    // also at 16 pixels.
    shackle.moveTo(11, 7.5);
    shackle.lineTo(11, 3.0);
    shackle.arcTo(QRectF(5, 0.0, 6, 6), 0, 180);
    shackle.lineTo(5, 3.6);
  }
  p.setPen(pen(QColor(150, 160, 172), 1.8));
  p.setBrush(Qt::NoBrush);
  p.drawPath(shackle);
  p.setPen(pen(closed ? QColor(30, 120, 45) : QColor(170, 115, 20), 0.8));
  p.setBrush(closed ? vertical(QColor(110, 210, 110), QColor(46, 160, 66), 7, 15)
                    : vertical(QColor(255, 214, 64), QColor(235, 160, 20), 7, 15));
  p.drawRoundedRect(QRectF(2.5, 7.2, 11, 7.8), 1.2, 1.2);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 40, 40, 200));
  p.drawEllipse(QPointF(8, 10.3), 1.2, 1.2);
  p.drawRect(QRectF(7.5, 10.6, 1, 2.4));
}
}  // namespace

void lockSecure(QPainter& p, const QRectF& r, int) { lock(p, r, true); }
void lockOpen(QPainter& p, const QRectF& r, int) { lock(p, r, false); }

void arrow(QPainter& p, const QRectF& r, int) {
  Grid g(p, r);
  QPainterPath a;
  a.moveTo(5, 3);
  a.lineTo(12.5, 8);
  a.lineTo(5, 13);
  a.closeSubpath();
  p.setPen(pen(QColor(30, 90, 170), 1.0));
  p.setBrush(vertical(QColor(90, 160, 240), QColor(40, 110, 200), 3, 13));
  p.drawPath(a);
}

void rule(QPainter& p, const QRectF& r, int) {
  QLinearGradient g(r.left(), 0, r.right(), 0);
  g.setColorAt(0, QColor(150, 150, 150, 255));
  g.setColorAt(0.55, QColor(150, 150, 150, 170));
  g.setColorAt(1, QColor(150, 150, 150, 0));
  // One pixel, on a whole pixel row so that it stays sharp.
  qreal y = std::floor(r.top() + r.height() / 2);
  p.fillRect(QRectF(r.left(), y, r.width(), 1), g);
}

PictureDraw throbber(QColor color) {
  return [color](QPainter& p, const QRectF& r, int frame) {
    Grid g(p, r);
    for (int i = 0; i < kThrobberFrames; ++i) {
      // The spoke at the frame's position is brightest; the others trail off.
      int age = ((frame - i) % kThrobberFrames + kThrobberFrames) % kThrobberFrames;
      QColor c = color;
      c.setAlphaF(std::max(0.15, 1.0 - age * 0.075));
      p.save();
      p.translate(8, 8);
      p.rotate(i * 30.0);
      p.setPen(pen(c, 1.6));
      p.drawLine(QPointF(0, -3.4), QPointF(0, -6.6));
      p.restore();
    }
  };
}

}  // namespace art

void setupMessageListGraphics(RichGraphics& g) {
  g.clearImages();
  g.setImageSize({16, 16});
  for (auto draw : {art::account, art::folder, art::warning, art::message, art::queued,
                    art::noMessages}) {
    g.addImage(draw);
  }
  g.addPicture("hrfullwide", {QSize(300, 6), art::rule, 1, 100, true});
  g.addPicture("throbbersml",
               {QSize(16, 16), art::throbber(QColor(220, 228, 240)), art::kThrobberFrames,
                art::kThrobberFrameMs, false});
}

void setupAccountListGraphics(RichGraphics& g) {
  g.clearImages();
  g.setImageSize({16, 16});
  g.addImage(art::lockSecure);
  g.addImage(art::lockOpen);
}

void setupFolderListGraphics(RichGraphics& g) {
  g.clearImages();
  g.setImageSize({16, 16});
  g.addImage(art::folder);
  QColor mid(110, 124, 144);
  g.addPicture("arrow", {QSize(16, 16), art::arrow, 1, 100, false});
  g.addPicture("throbber", {QSize(16, 16), art::throbber(mid), art::kThrobberFrames,
                            art::kThrobberFrameMs, false});
  g.addPicture("largethrobber", {QSize(32, 32), art::throbber(mid), art::kThrobberFrames,
                                 art::kThrobberFrameMs, false});
}

}  // namespace brivane
