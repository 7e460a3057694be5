#pragma once
#include <QColor>
#include <QHash>
#include <QPixmap>
#include <QRectF>
#include <QSize>
#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "markup/markup_layout.h"

class QPainter;

namespace brivane {

// Draws a picture into a rectangle; `frame` selects the animation frame.
using PictureDraw = std::function<void(QPainter&, const QRectF&, int frame)>;

struct PictureArt {
  QSize size{16, 16};  // at 96 dpi
  PictureDraw draw;
  int frames = 1;      // more than one: animated
  int frameMs = 100;
  bool fullWidth = false;  // stretched to the control's width
};

// The pictures a rich control draws: its image list (same-sized images by
// index) and its picture container (by name, without regard to case).
// Pictures are vector art, rendered once per size, frame and device pixel
// ratio and cached.
class RichGraphics {
 public:
  void setImageSize(QSize size) { imageSize_ = size; invalidate(); }
  void addImage(PictureDraw draw) { images_.push_back(std::move(draw)); invalidate(); }
  void clearImages() { images_.clear(); invalidate(); }
  int imageCount() const { return static_cast<int>(images_.size()); }
  void addPicture(const std::string& name, PictureArt art);

  // Sizes for the layout engine; full-width pictures take `width` / `scale`.
  PictureCatalog catalog(int width = 0, double scale = 1.0) const;

  bool isAnimated(const LaidOutPicture& p) const;
  // Paints a laid-out picture at origin + its position; `nowMs` picks the frame.
  void paint(QPainter& painter, const LaidOutPicture& p, QPointF origin, qint64 nowMs);
  // The picture alone, as a pixmap of the given logical size.
  QPixmap pixmap(const LaidOutPicture& p, QSize size, qreal dpr, int frame);

 private:
  const PictureArt* named(const std::string& name) const;
  void invalidate() { cache_.clear(); }

  QSize imageSize_{16, 16};
  std::vector<PictureDraw> images_;
  std::map<std::string, PictureArt> pictures_;  // lower-case names
  QHash<QString, QPixmap> cache_;
};

// The vector pictures of the system's lists.
namespace art {
void account(QPainter& p, const QRectF& r, int frame);
void folder(QPainter& p, const QRectF& r, int frame);
void warning(QPainter& p, const QRectF& r, int frame);
void message(QPainter& p, const QRectF& r, int frame);
void queued(QPainter& p, const QRectF& r, int frame);
void noMessages(QPainter& p, const QRectF& r, int frame);
void lockSecure(QPainter& p, const QRectF& r, int frame);
void lockOpen(QPainter& p, const QRectF& r, int frame);
void arrow(QPainter& p, const QRectF& r, int frame);
// A rule fading out to the right.
void rule(QPainter& p, const QRectF& r, int frame);
// A twelve-spoke busy indicator in a colour; 12 frames.
PictureDraw throbber(QColor color);
inline constexpr int kThrobberFrames = 12;
inline constexpr int kThrobberFrameMs = 80;
}  // namespace art

// Fills the image lists and picture containers of the system's controls.
void setupMessageListGraphics(RichGraphics& g);  // lstMessages, lstUpdateMessage
void setupAccountListGraphics(RichGraphics& g);  // lstAccounts
void setupFolderListGraphics(RichGraphics& g);   // lstFolders

}  // namespace brivane
