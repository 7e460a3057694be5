// The account editor against the suite's Dovecot: the real folder list, and
// a refused login.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config_ui/frm_edit_account.h"
#include "dovecot_env.h"
#include "widgets/rich_check_list.h"

namespace brivane {
namespace {

using ::testing::IsSupersetOf;

class EditAccountDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "Dovecot harness not running";
    env = *loaded;
  }

  // Opens the editor on the main user's account and waits for the list to
  // show folder rows or one line.
  RichCheckList* open(const std::string& password) {
    dlg.setTimerIntervals(1, 5);
    dlg.setAccount({.name = "Dovecot", .username = env.user, .password = password, .server = env.host,
                    .port = env.imapPort, .folders = {"INBOX;Inbox"}});
    dlg.show();
    auto* list = dlg.findChild<RichCheckList*>("lstFolders");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !dlg.listingRunning() && list->count() > 0 && list->text(0) != "Connecting..."; }, 20000));
    return list;
  }

  test::DovecotEnv env;
  TfrmEditAccount dlg;
};

TEST_F(EditAccountDovecot, ListsTheRealFoldersAndStoresTheTickedOnes) {
  RichCheckList* list = open(env.password);
  std::vector<std::string> captions;
  int draft = -1;
  for (int i = 0; i < list->count(); ++i) {
    const std::string& t = list->rowLayout(i).texts.back().text;
    captions.push_back(t.substr(t.find_first_not_of(' ')));
    if (captions.back() == "Entw\xC3\xBCrfe") draft = i;
  }
  EXPECT_THAT(captions, IsSupersetOf({"Inbox", "Archive", "Sent Items", "Entw\xC3\xBCrfe"}));
  ASSERT_GE(draft, 0);
  const QRect row = list->rowRect(draft);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(row.left() + 8, row.center().y()));
  QTest::mouseClick(dlg.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_THAT(dlg.account().folders, IsSupersetOf({"INBOX;Inbox", "Entw\xC3\xBCrfe;Entw\xC3\xBCrfe"}));
  EXPECT_EQ(dlg.account().folders.size(), 2u);
}

TEST_F(EditAccountDovecot, WrongPasswordIsShown) {
  RichCheckList* list = open("wrong");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->text(0), "Could not login to server - please check your username and password");
  dlg.reject();
}

}  // namespace
}  // namespace brivane
