#include "checking/imap_folder_get.h"

#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "common/messages.h"
#include "fake_server.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;

namespace {

// Runs one listing like the account editor: polls the result record until
// the done message (0x953F, wParam 0); returns every result it took.
std::vector<FolderGetResult::Snapshot> list(int port, std::string password, bool& posted) {
  FolderGetResult result;
  MessageQueue editor;
  TIMAPFolderGet thread(result, editor);
  thread.account = loopbackAccount("", false, port);
  thread.account.password = std::move(password);
  thread.start();
  std::vector<FolderGetResult::Snapshot> seen;
  posted = false;
  for (const auto deadline = std::chrono::steady_clock::now() + 15s; !posted && std::chrono::steady_clock::now() < deadline;) {
    if (auto r = result.take()) seen.push_back(*r);
    if (auto m = editor.waitNextFor(5ms)) posted = m->message == WM_FOLDERGETDONE && m->wParam == 0;
  }
  thread.join();
  if (auto r = result.take()) seen.push_back(*r);
  return seen;
}

// The folder names in the server's order (decoded), or one message for the user.
TEST(ImapFolderGet, FolderNamesOrAMessageForTheUser) {
  const std::string logout = "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n", loggedIn = kImapLoggedIn;
  struct Case {
    const char* what;
    std::string script;  // empty: nothing listens
    std::string password;
    std::vector<std::string> lines;  // a single line: a message
  };
  const Case cases[] = {
      // The greeting waits, so that the editor's poll sees "Connecting..." first.
      {"folder names", "W: 100\n" + loggedIn + "C: C4 LIST \"\" *\n"
                           "S: * LIST (\\HasNoChildren) \"/\" \"Sent Items\"\nS: * LIST () \"/\" \"INBOX\"\n"
                           "S: * LIST (\\HasNoChildren) \"/\" \"Entw&APw-rfe\"\nS: C4 OK done\n" + logout,
       "secret", {"Sent Items", "INBOX", "Entw\xC3\xBCrfe"}},
      {"empty password", "", "", {TIMAPFolderGet::kIncomplete}},
      {"refused", "", "secret", {TIMAPFolderGet::kCannotConnect}},
      {"wrong password",
       "S: * OK ready\nC: C1 LOGIN ann secret\nS: C1 NO [AUTHENTICATIONFAILED] no\n"
       "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\nC: C3 LOGOUT\nS: * BYE\nS: C3 OK done\nX\n",
       "secret", {TIMAPFolderGet::kCannotLogin}},
      {"no folders", loggedIn + "C: C4 LIST \"\" *\nS: C4 OK done\n" + logout, "secret", {TIMAPFolderGet::kNoFolderList}},
      {"LIST refused", loggedIn + "C: C4 LIST \"\" *\nS: C4 NO later\n" + logout, "secret",
       {TIMAPFolderGet::kNoFolderList}},
      {"dropped during LIST", loggedIn + "C: C4 LIST \"\" *\nS: * LIST () \"/\" \"INBOX\"\nX\n", "secret",
       {TIMAPFolderGet::kNoFolderList}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<test::LoopbackServer> server;
    if (!c.script.empty()) server = std::make_unique<test::LoopbackServer>(c.script);
    bool posted = false;
    const auto seen = list(server ? server->port() : closedPort(), c.password, posted);
    if (server) {
      server->finish();
      EXPECT_TRUE(server->errors().empty()) << ::testing::PrintToString(server->errors());
    }
    EXPECT_TRUE(posted);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().lines, c.lines);
    const bool names = c.lines.size() > 1;
    EXPECT_EQ(seen.back().kind, names ? FolderGetResult::FolderNames : FolderGetResult::Message);
    if (names) {
      EXPECT_EQ(seen.front().lines, std::vector<std::string>{TIMAPFolderGet::kConnecting});
    }
  }
}

}  // namespace
