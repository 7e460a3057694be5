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
  int draft = 0;  // the row whose text, after its picture, is the decoded name
  while (draft < list->count() && !list->rowLayout(draft).texts.back().text.ends_with(" Entw\xC3\xBCrfe")) ++draft;
  ASSERT_LT(draft, list->count());
  const QRect row = list->rowRect(draft);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(row.left() + 8, row.center().y()));
  QTest::mouseClick(dlg.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_THAT(dlg.account().folders, ::testing::UnorderedElementsAre("INBOX;Inbox", "Entw\xC3\xBCrfe;Entw\xC3\xBCrfe"));
}

}  // namespace
}  // namespace brivane
