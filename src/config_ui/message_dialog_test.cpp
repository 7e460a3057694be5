#include "config_ui/message_dialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <gtest/gtest.h>

namespace brivane {
namespace {

// Presses `press` in the box once it shows, recording what the box offered.
struct Presser {
  QMessageBox::StandardButton press;
  QMessageBox::StandardButtons offered;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString informative;
  QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
  int width = 0;
  explicit Presser(QMessageBox::StandardButton button) : press(button) {
    QTimer::singleShot(0, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      std::tie(offered, icon, informative) = std::tuple(box->standardButtons(), box->icon(), box->informativeText());
      defaultButton = box->standardButton(box->defaultButton());
      width = box->frameGeometry().width();
      box->button(press)->click();
    });
  }
};

// Each button set and icon is offered, the pressed one returned; the text is
// shown as typed, never read as mark-up.
TEST(MessageDialog, ButtonsIconsAndResults) {
  using B = QMessageBox;
  const struct {
    int buttons, icon;
    B::StandardButton press;
    B::StandardButtons offered;
    B::Icon shownIcon;
    int result;
  } rows[] = {
      {mbOK, miError, B::Ok, B::Ok, B::Critical, mrOK},
      {mbYes | mbNo, miQuestion, B::No, B::Yes | B::No, B::Question, mrNo},
      {mbYes | mbNo, miWarning, B::Yes, B::Yes | B::No, B::Warning, mrYes},
      {mbRetry | mbCancel, miInformation, B::Retry, B::Retry | B::Cancel, B::Information, mrRetry},
      {mbClose, 7, B::Close, B::Close, B::NoIcon, mrClose},
      {mbCancel | mbOK, miNone, B::Cancel, B::Ok | B::Cancel, B::NoIcon, mrCancel},
  };
  for (const auto& r : rows) {
    Presser p(r.press);
    EXPECT_EQ(ShowMessage(nullptr, "Title", "Heading", "a <b> & c", r.buttons, r.icon), r.result);
    EXPECT_EQ(std::pair(p.offered, p.icon), std::pair(r.offered, r.shownIcon));
    EXPECT_TRUE(p.informative.contains("&lt;b&gt;")) << p.informative.toStdString();
  }
}

// A long text wraps at its blanks and the box stays within the screen; the
// caller may make No the default, so that Enter does not agree.
TEST(MessageDialog, LongTextWrapsAndTheDefaultIsTheCallers) {
  const QString text = QStringLiteral("Brivane is connecting to the server. ").repeated(60) + "Continue anyway?";
  const std::pair<int, QMessageBox::StandardButton> rows[] = {
      {0, QMessageBox::Yes}, {mbNo, QMessageBox::No}, {mbOK, QMessageBox::Yes}};
  for (auto [given, shown] : rows) {
    Presser p(QMessageBox::No);
    EXPECT_EQ(ShowMessage(nullptr, "Title", "Heading", text, mbYes | mbNo, miQuestion, given), mrNo);
    EXPECT_EQ(p.defaultButton, shown) << given;
    EXPECT_FALSE(p.informative.contains(QChar(0xA0)) || p.informative.contains("&nbsp;"));
    EXPECT_LE(p.width, QApplication::primaryScreen()->availableGeometry().width());
  }
}

}  // namespace
}  // namespace brivane
