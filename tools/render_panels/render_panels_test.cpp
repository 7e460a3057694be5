// Runs render_panels and checks the images it writes: sizes, transparent
// rounded corners, the panels' backgrounds and that the content is drawn.
#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>

namespace {

bool lit(QRgb p) { return qAlpha(p) == 255 && qGray(p) > 90; }

TEST(RenderPanels, WritesTheThreePanels) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  std::string cmd = std::string("QT_QPA_PLATFORM=offscreen '") + RENDER_PANELS_EXE + "' '" +
                    dir.path().toStdString() + "' > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);

  QImage messages(dir.filePath("messages.png"));
  QImage dateTime(dir.filePath("datetime.png"));
  QImage update(dir.filePath("update.png"));
  QImage overview(dir.filePath("overview.png"));
  ASSERT_FALSE(messages.isNull());
  ASSERT_FALSE(dateTime.isNull());
  ASSERT_FALSE(update.isNull());
  ASSERT_FALSE(overview.isNull());

  qreal dpr = update.width() / 393.0;
  EXPECT_EQ(update.size(), QSize(393, 97) * dpr);
  EXPECT_EQ(messages.width(), qRound(350 * dpr));
  EXPECT_GT(messages.height(), 400 * dpr) << "the panel grows to its many rows";
  EXPECT_GT(dateTime.width(), 100 * dpr);
  EXPECT_GT(dateTime.height(), 60 * dpr);

  for (const QImage* img : {&messages, &dateTime, &update}) {
    // Rounded corners: the corner pixels are transparent, the edges solid.
    int w = img->width() - 1, h = img->height() - 1;
    for (QPoint corner : {QPoint(0, 0), QPoint(w, 0), QPoint(0, h), QPoint(w, h)}) {
      EXPECT_EQ(qAlpha(img->pixel(corner)), 0);
    }
    EXPECT_EQ(qAlpha(img->pixel(w / 2, 2)), 255);
  }
  EXPECT_EQ(QColor(update.pixel(4, update.height() / 2)), QColor(56, 56, 56));
  EXPECT_EQ(QColor(messages.pixel(4, messages.height() / 2)), QColor(0, 0, 0));

  // Something is drawn inside each panel: text, icons, the rule.
  auto litPixels = [](const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
      for (int x = 0; x < img.width(); ++x) n += lit(img.pixel(x, y)) ? 1 : 0;
    }
    return n;
  };
  EXPECT_GT(litPixels(messages), 3000);
  EXPECT_GT(litPixels(update), 300);
  EXPECT_GT(litPixels(dateTime), 300);
}

TEST(RenderPanels, RejectsAMissingOutputFolder) {
  std::string cmd = std::string("QT_QPA_PLATFORM=offscreen '") + RENDER_PANELS_EXE +
                    "' > /dev/null 2>&1";
  EXPECT_NE(std::system(cmd.c_str()), 0);
}

}  // namespace
