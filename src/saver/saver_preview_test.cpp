#include <gtest/gtest.h>

#include <QPainter>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "saver/saver_preview.h"
#include "xvfb_server.h"

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest names
#include <X11/Xutil.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;

// A private X server, a window of the test's own in it, and the preview
// running on another thread with its own connection.
struct PreviewRig {
  PreviewRig() {
    if (display) window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0xFFFFFF);
  }
  // Closing the connection destroys the window, which ends a preview still running.
  ~PreviewRig() { if (display) XCloseDisplay(display); }
  void start(unsigned long id, bool date, bool time, RandomInRange random = {}) {
    SaverSettings settings;
    settings.displayDate = date, settings.displayTime = time;
    const PreviewOptions options{server.name(), 20ms, 1000, random};
    running = std::async(std::launch::async, [this, id, settings, options] {
      return RunSaverPreview(id, settings, [this] { ++releases; }, options);
    });
  }
  bool endsSoon() { return running.wait_for(1s) == std::future_status::ready && running.get() == 0; }
  void sync() { XSync(display, False); }
  // Polls the window's pixels until they equal `expected` (3 s at most).
  bool shows(const QImage& expected) {
    for (auto deadline = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < deadline;) {
      XImage* image = XGetImage(display, window, 0, 0, expected.width(), expected.height(), AllPlanes, ZPixmap);
      bool same = image != nullptr;
      for (int y = 0; same && y < expected.height(); ++y)
        for (int x = 0; same && x < expected.width(); ++x)
          same = XGetPixel(image, x, y) == (expected.pixel(x, y) & 0xFFFFFF);
      if (image) XDestroyImage(image);
      if (same) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  XvfbServer server;
  Display* display = XOpenDisplay(server.name().c_str());
  Window window = 0;
  std::atomic<int> releases{0};
  std::future<int> running;
};

// Each row: the window size, the switches, which end of the random range the
// box takes, and whether the window is then destroyed or only unmapped.
TEST(SaverPreview, DrawsMiniatureUntilWindowGoes) {
  struct Case {
    int width, height;
    bool date, time, high, destroy;
    const char* dateTimeSize;
  } cases[] = {{152, 112, true, true, true, true, "34x15"}, {200, 150, false, true, false, false, "34x7"},
               {40, 30, true, false, true, true, "34x8"},  // smaller than the box: at 0,0
               {100, 80, false, false, true, false, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " date " << c.date << " time " << c.time);
    PreviewRig rig;
    ASSERT_NE(rig.display, nullptr) << "Xvfb did not start";
    XResizeWindow(rig.display, rig.window, c.width, c.height), XMapWindow(rig.display, rig.window), rig.sync();
    rig.start(rig.window, c.date, c.time, [&](int lo, int hi) { return c.high ? hi : lo; });
    const QImage dateTime = PreviewDateTimePicture(c.date, c.time);
    EXPECT_EQ(dateTime.isNull() ? "" : std::to_string(dateTime.width()) + "x" + std::to_string(dateTime.height()),
              c.dateTimeSize);
    QImage expected(c.width, c.height, QImage::Format_RGB32);
    expected.fill(Qt::black);
    QPainter p(&expected);
    p.drawImage(c.high && c.width > 49 ? c.width - 50 : 0, c.high && c.height > 40 ? c.height - 41 : 0,
                PreviewPanelPicture());
    if (!dateTime.isNull()) p.drawImage(c.width - dateTime.width(), c.height - dateTime.height(), dateTime);
    p.end();
    EXPECT_TRUE(rig.shows(expected) && rig.releases == 1) << rig.releases;
    // Cleared by the server (as when uncovered): drawn again long before the next place is due.
    XClearArea(rig.display, rig.window, 0, 0, 0, 0, True);
    rig.sync();
    EXPECT_TRUE(rig.shows(expected));
    c.destroy ? XDestroyWindow(rig.display, rig.window) : XUnmapWindow(rig.display, rig.window);
    rig.sync();
    EXPECT_TRUE(rig.endsSoon());
  }
}

// A window that never becomes visible: the preview waits, and ends when the
// window goes; a window that does not exist (or id 0) ends it at once.
TEST(SaverPreview, EndsWithoutDrawingWhenWindowGoesUnshown) {
  PreviewRig rig;
  ASSERT_NE(rig.display, nullptr) << "Xvfb did not start";
  rig.sync();
  rig.start(rig.window, true, true);
  EXPECT_EQ(rig.running.wait_for(300ms), std::future_status::timeout);
  XDestroyWindow(rig.display, rig.window);
  rig.sync();
  EXPECT_TRUE(rig.endsSoon());
  for (unsigned long id : {static_cast<unsigned long>(rig.window), 0ul}) {
    rig.start(id, true, true);
    EXPECT_TRUE(rig.endsSoon()) << id;
  }
  EXPECT_EQ(rig.releases, 0);
}

}  // namespace
}  // namespace brivane
