#include "saver/saver_preview.h"

#include <QPainter>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <bit>
#include <cstdlib>
#include <map>
#include <thread>

#include "desktop/x11_error_trap.h"

namespace brivane {
namespace {

constexpr int kBoxWidth = 49, kBoxHeight = 40, kDateTimeWidth = 34;
const QColor kTimeGrey(128, 128, 128);

// A seven-segment digit of 4x7 pixels at x, y: the time of the miniature.
void DrawDigit(QPainter& p, int x, int y, int digit) {
  static const char* const segments[] = {"abcdef", "bc", "abdeg", "abcdg", "bcfg",
                                         "acdfg",  "acdefg", "abc", "abcdefg", "abcdfg"};
  for (const char* s = segments[digit]; *s; ++s) {
    switch (*s) {
      case 'a': p.fillRect(x, y, 4, 1, kTimeGrey); break;
      case 'b': p.fillRect(x + 3, y, 1, 4, kTimeGrey); break;
      case 'c': p.fillRect(x + 3, y + 3, 1, 4, kTimeGrey); break;
      case 'd': p.fillRect(x, y + 6, 4, 1, kTimeGrey); break;
      case 'e': p.fillRect(x, y + 3, 1, 4, kTimeGrey); break;
      case 'f': p.fillRect(x, y, 1, 4, kTimeGrey); break;
      case 'g': p.fillRect(x, y + 3, 4, 1, kTimeGrey); break;
    }
  }
}

// "12:30", 22 pixels wide, right-aligned at x 32.
void DrawTime(QPainter& p, int top) {
  DrawDigit(p, 11, top, 1);
  DrawDigit(p, 16, top, 2);
  p.fillRect(21, top + 2, 1, 1, kTimeGrey);
  p.fillRect(21, top + 4, 1, 1, kTimeGrey);
  DrawDigit(p, 23, top, 3);
  DrawDigit(p, 28, top, 0);
}

// Four words of 3-pixel "letters", right-aligned at x 32.
void DrawDate(QPainter& p, int top) {
  int x = 11;
  for (int width : {4, 2, 4, 6}) {
    for (int i = 0; i < width; ++i) p.fillRect(x + i, top, 1, 3, i % 3 == 2 ? QColor(70, 70, 70) : kTimeGrey);
    x += width + 2;
  }
}

// Pixel values of the window's visual: computed from the channel masks on
// true- and direct-colour visuals, allocated in the window's colour map on
// the others.
class PixelMap {
 public:
  PixelMap(Display* display, const XWindowAttributes& attributes)
      : display_(display), visual_(attributes.visual), colormap_(attributes.colormap) {
    // Bits of the depth outside the colour channels (alpha of a 32-bit
    // visual) are set, so the pictures stay opaque under a compositor.
    const unsigned long depthBits = attributes.depth >= 32 ? ~0ul : (1ul << attributes.depth) - 1;
    opaque_ = depthBits & ~(visual_->red_mask | visual_->green_mask | visual_->blue_mask);
  }

  unsigned long operator()(QRgb rgb) {
    if (visual_->c_class == TrueColor || visual_->c_class == DirectColor)
      return channel(qRed(rgb), visual_->red_mask) | channel(qGreen(rgb), visual_->green_mask) |
             channel(qBlue(rgb), visual_->blue_mask) | opaque_;
    rgb &= 0xFFFFFF;
    auto found = allocated_.find(rgb);
    if (found != allocated_.end()) return found->second;
    XColor color{};
    color.red = static_cast<unsigned short>(qRed(rgb) * 257);
    color.green = static_cast<unsigned short>(qGreen(rgb) * 257);
    color.blue = static_cast<unsigned short>(qBlue(rgb) * 257);
    color.flags = DoRed | DoGreen | DoBlue;
    const unsigned long pixel = XAllocColor(display_, colormap_, &color) ? color.pixel : 0;
    return allocated_[rgb] = pixel;
  }

 private:
  static unsigned long channel(int value, unsigned long mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask), bits = std::popcount(mask);
    const unsigned long scaled = bits <= 8 ? static_cast<unsigned long>(value) >> (8 - bits)
                                           : static_cast<unsigned long>(value) << (bits - 8);
    return (scaled << shift) & mask;
  }

  Display* display_;
  Visual* visual_;
  Colormap colormap_;
  unsigned long opaque_ = 0;
  std::map<QRgb, unsigned long> allocated_;
};

enum class WindowState { Gone, Hidden, Viewable };

class PreviewWindow {
 public:
  PreviewWindow(Display* display, Window window) : display_(display), window_(window), trap_(display) {}
  ~PreviewWindow() {
    if (gc_) XFreeGC(display_, gc_);
  }

  WindowState state() {
    const Status ok = XGetWindowAttributes(display_, window_, &attributes_);
    if (trap_.sync() != 0 || !ok) return WindowState::Gone;
    return attributes_.map_state == IsViewable ? WindowState::Viewable : WindowState::Hidden;
  }
  // Valid after state() answered Viewable.
  int width() const { return attributes_.width; }
  int height() const { return attributes_.height; }

  // Asks for expose events, so that a cleared window is drawn again at once.
  void watchExposure() {
    XSelectInput(display_, window_, ExposureMask);
    trap_.sync();
  }
  // True when the window was exposed since the last call.
  bool exposed() {
    bool any = false;
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == Expose && event.xexpose.window == window_) any = true;
    }
    return any;
  }

  void draw(const QImage& box, QPoint boxAt, const QImage& dateTime) {
    if (!gc_) gc_ = XCreateGC(display_, window_, 0, nullptr);
    PixelMap pixel(display_, attributes_);
    XSetForeground(display_, gc_, pixel(qRgb(0, 0, 0)));
    XFillRectangle(display_, window_, gc_, 0, 0, width(), height());
    put(box, boxAt, pixel);
    if (!dateTime.isNull()) put(dateTime, QPoint(width() - dateTime.width(), height() - dateTime.height()), pixel);
    trap_.sync();  // a window destroyed meanwhile: the next state() says so
  }

 private:
  void put(const QImage& image, QPoint at, PixelMap& pixel) {
    XImage* ximage = XCreateImage(display_, attributes_.visual, attributes_.depth, ZPixmap, 0, nullptr,
                                  image.width(), image.height(), 32, 0);
    if (!ximage) return;
    ximage->data = static_cast<char*>(std::malloc(static_cast<size_t>(ximage->bytes_per_line) * image.height()));
    if (!ximage->data) return static_cast<void>(XDestroyImage(ximage));
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) XPutPixel(ximage, x, y, pixel(image.pixel(x, y)));
    XPutImage(display_, window_, gc_, ximage, 0, 0, at.x(), at.y(), image.width(), image.height());
    XDestroyImage(ximage);  // frees the data too
  }

  Display* display_;
  Window window_;
  X11ErrorTrap trap_;
  XWindowAttributes attributes_{};
  GC gc_ = nullptr;
};

}  // namespace

QImage PreviewPanelPicture() {
  QImage image(kBoxWidth, kBoxHeight, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QColor(80, 80, 80));
  p.setBrush(QColor(22, 22, 22));
  p.drawRoundedRect(QRectF(0.5, 0.5, kBoxWidth - 1, kBoxHeight - 1), 3, 3);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(4, 4, 20, 2, QColor(235, 235, 235));  // account name, bold
  p.fillRect(4, 8, 41, 1, QColor(90, 90, 90));     // the rule under it
  const int senders[] = {18, 14, 21, 16}, subjects[] = {34, 27, 38, 24};
  for (int row = 0; row < 4; ++row) {
    const int y = 12 + row * 7;
    p.fillRect(4, y, senders[row], 1, QColor(210, 210, 210));    // sender
    p.fillRect(38, y, 7, 1, QColor(110, 110, 110));              // "10 mins ago"
    p.fillRect(4, y + 2, subjects[row], 1, QColor(150, 150, 150));  // subject
  }
  return image;
}

QImage PreviewDateTimePicture(bool displayDate, bool displayTime) {
  if (!displayDate && !displayTime) return {};
  const int height = displayDate && displayTime ? 15 : displayDate ? 8 : 7;
  QImage image(kDateTimeWidth, height, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter p(&image);
  if (displayTime) DrawTime(p, 0);
  if (displayDate) DrawDate(p, displayTime ? 10 : 3);
  return image;
}

int RunSaverPreview(unsigned long parentWindowId, const SaverSettings& settings,
                    std::function<void()> releaseGuard, const PreviewOptions& options) {
  if (parentWindowId == 0) return 0;
  Display* display = XOpenDisplay(options.displayName.empty() ? nullptr : options.displayName.c_str());
  if (!display) return 1;
  {
    PreviewWindow window(display, parentWindowId);
    // Shown: draw. Not yet shown: wait. Gone (also before it was ever shown): end.
    WindowState state = window.state();
    while (state == WindowState::Hidden) {
      std::this_thread::sleep_for(options.passInterval);
      state = window.state();
    }
    if (state == WindowState::Viewable) {
      if (releaseGuard) releaseGuard();
      const RandomInRange random = options.random ? options.random : ClockSeededRandom();
      const QImage box = PreviewPanelPicture();
      const QImage dateTime = PreviewDateTimePicture(settings.displayDate, settings.displayTime);
      const int every = std::max(1, options.passesPerPicture);
      window.watchExposure();
      QPoint boxAt;
      for (long pass = 0; window.state() == WindowState::Viewable; ++pass) {
        const bool exposed = window.exposed();
        if (pass % every == 0) {
          boxAt = QPoint(window.width() > kBoxWidth ? random(0, window.width() - kBoxWidth - 1) : 0,
                         window.height() > kBoxHeight ? random(0, window.height() - kBoxHeight - 1) : 0);
        }
        if (pass % every == 0 || exposed) window.draw(box, boxAt, dateTime);
        std::this_thread::sleep_for(options.passInterval);
      }
    }
  }
  XCloseDisplay(display);
  return 0;
}

}  // namespace brivane
