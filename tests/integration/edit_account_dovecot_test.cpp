// The account editor against the suite's Dovecot: the real folder list, a
// folder name in modified UTF-7 shown decoded.
#include <QTest>
#include <gtest/gtest.h>

#include "config_ui/frm_edit_account.h"
#include "dovecot_env.h"
#include "widgets/rich_check_list.h"

namespace brivane {
namespace {

TEST(EditAccountDovecot, ListsTheRealFoldersDecoded) {
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  TfrmEditAccount dlg;
  dlg.setTimerIntervals(1, 5);
  dlg.setAccount({.name = "Dovecot", .username = env->user, .password = env->password, .server = env->host,
                  .port = env->imapPort, .folders = {"INBOX;Inbox"}});
  dlg.show();
  auto* list = dlg.findChild<RichCheckList*>("lstFolders");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning() && list->count() > 1; }, 20000));
  std::string rows;  // each row's text after its picture
  for (int i = 0; i < list->count(); ++i) rows += list->rowLayout(i).texts.back().text + "|";
  EXPECT_NE(rows.find(" Entw\xC3\xBC" "rfe|"), std::string::npos) << rows;
}

}  // namespace
}  // namespace brivane
