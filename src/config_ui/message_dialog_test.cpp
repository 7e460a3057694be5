#include "config_ui/message_dialog.h"

#include <QApplication>
#include <QLabel>
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
  void arm() {
    QTimer::singleShot(0, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      offered = box->standardButtons();
      icon = box->icon();
      informative = box->informativeText();
      defaultButton = box->standardButton(box->defaultButton());
      width = box->frameGeometry().width();
      box->button(press)->click();
    });
  }
};

TEST(MessageDialog, ButtonsIconsAndResults) {
  struct Row {
    int buttons, icon;
    QMessageBox::StandardButton press;
    QMessageBox::StandardButtons offered;
    QMessageBox::Icon shownIcon;
    int result;
  } rows[] = {
      {mbOK, miError, QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Critical, mrOK},
      {mbYes | mbNo, miQuestion, QMessageBox::No, QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, mrNo},
      {mbYes | mbNo, miWarning, QMessageBox::Yes, QMessageBox::Yes | QMessageBox::No, QMessageBox::Warning, mrYes},
      {mbRetry | mbCancel, miInformation, QMessageBox::Retry, QMessageBox::Retry | QMessageBox::Cancel,
       QMessageBox::Information, mrRetry},
      {mbClose, 7, QMessageBox::Close, QMessageBox::Close, QMessageBox::NoIcon, mrClose},
      {mbCancel | mbOK, miNone, QMessageBox::Cancel, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoIcon,
       mrCancel},
  };
  for (const Row& r : rows) {
    Presser p{r.press, {}, QMessageBox::NoIcon, {}};
    p.arm();
    EXPECT_EQ(ShowMessage(nullptr, "Title", "Heading", "a <b> & c", r.buttons, r.icon), r.result);
    EXPECT_EQ(p.offered, r.offered);
    EXPECT_EQ(p.icon, r.shownIcon);
    // The text is shown as typed, never read as mark-up.
    EXPECT_TRUE(p.informative.contains("&lt;b&gt;")) << p.informative.toStdString();
  }
}

// A long text wraps at its blanks and the box stays within the screen; the
// caller may make No the default, so that Enter does not agree.
TEST(MessageDialog, LongTextWrapsAndTheDefaultIsTheCallers) {
  QString text;
  for (int i = 0; i < 60; ++i) text += QStringLiteral("Brivane is connecting to the server. ");
  text += QStringLiteral("Continue anyway?");
  struct Row {
    int defaultButton;
    QMessageBox::StandardButton shown;
  } rows[] = {{0, QMessageBox::Yes}, {mbNo, QMessageBox::No}, {mbOK, QMessageBox::Yes}};
  for (const Row& r : rows) {
    Presser p{QMessageBox::No, {}, QMessageBox::NoIcon, {}};
    p.arm();
    EXPECT_EQ(ShowMessage(nullptr, "Title", "Heading", text, mbYes | mbNo, miQuestion, r.defaultButton), mrNo);
    EXPECT_EQ(p.defaultButton, r.shown) << r.defaultButton;
    EXPECT_FALSE(p.informative.contains(QChar(0xA0)) || p.informative.contains("&nbsp;"));
    EXPECT_LE(p.width, QApplication::primaryScreen()->availableGeometry().width());
  }
}

}  // namespace
}  // namespace brivane
