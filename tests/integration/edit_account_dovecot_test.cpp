// The account editor against the suite's Dovecot: the real folder list, a
// folder name in modified UTF-7 shown and stored decoded.
#include <QApplication>
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

TEST(EditAccountDovecot, ListsTheRealFoldersAndStoresTheTickedOnes) {
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  TfrmEditAccount dlg;
  dlg.setTimerIntervals(1, 5);
  dlg.setAccount({.name = "Dovecot", .username = env->user, .password = env->password, .server = env->host,
                  .port = env->imapPort, .folders = {"INBOX;Inbox"}});
  dlg.show();
  auto* list = dlg.findChild<RichCheckList*>("lstFolders");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning() && list->count() > 1; }, 20000));
  std::vector<std::string> captions;
  for (int i = 0; i < list->count(); ++i) {
    const std::string& t = list->rowLayout(i).texts.back().text;
    captions.push_back(t.substr(t.find_first_not_of(' ')));
  }
  EXPECT_THAT(captions, IsSupersetOf({"Inbox", "Archive", "Sent Items", "Entw\xC3\xBCrfe"}));
  const auto draft = std::find(captions.begin(), captions.end(), "Entw\xC3\xBCrfe") - captions.begin();
  ASSERT_LT(draft, list->count());
  const QRect row = list->rowRect(static_cast<int>(draft));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(row.left() + 8, row.center().y()));
  QTest::mouseClick(dlg.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_THAT(dlg.account().folders, IsSupersetOf({"INBOX;Inbox", "Entw\xC3\xBCrfe;Entw\xC3\xBCrfe"}));
  EXPECT_EQ(dlg.account().folders.size(), 2u);
}

}  // namespace
}  // namespace brivane
