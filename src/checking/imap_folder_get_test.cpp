#include "checking/imap_folder_get.h"

#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "common/messages.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

namespace {

struct Listing {
  std::vector<FolderGetResult::Snapshot> seen;  // every result the editor took
  bool posted = false;                          // the done message (0x953F, wParam 0) came
  SteadyClock::duration afterStop{};
};

// Runs one listing like the account editor, polling the result record until
// the done message; `stop`: asks the thread to stop once it shows "Downloading...".
Listing list(int port, std::string password, bool stop = false) {
  FolderGetResult result;
  MessageQueue editor;
  TIMAPFolderGet thread(result, editor);
  thread.account = loopbackAccount("", false, port);
  thread.account.password = std::move(password);
  EXPECT_TRUE(thread.start());
  Listing l;
  std::optional<SteadyClock::time_point> asked;
  for (const auto deadline = SteadyClock::now() + 15s; !l.posted && SteadyClock::now() < deadline;) {
    if (auto r = result.take()) l.seen.push_back(*r);
    if (stop && !asked && !l.seen.empty() && l.seen.back().lines.at(0) == TIMAPFolderGet::kDownloading) {
      asked = SteadyClock::now();
      thread.requestStop();
    }
    if (auto m = editor.waitNextFor(5ms)) l.posted = m->message == WM_FOLDERGETDONE && m->wParam == 0;
  }
  l.afterStop = SteadyClock::now() - asked.value_or(SteadyClock::now());
  thread.join();
  if (auto r = result.take()) l.seen.push_back(*r);
  return l;
}

// The folder names in the server's order (decoded), or one message for the user.
TEST(ImapFolderGet, FolderNamesOrAMessageForTheUser) {
  const std::string logout = "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n";
  const std::string list4 = kImapLoggedIn + std::string("C: C4 LIST \"\" *\n");
  const struct {
    const char* what;
    std::string script;  // empty: nothing listens
    std::string password;
    Lines lines;  // a single line: a message
    bool stop = false;
  } cases[] = {
      // The greeting waits, so that the editor's poll sees "Connecting..." first.
      {"folder names", "W: 100\n" + list4 + "S: * LIST (\\HasNoChildren) \"/\" \"Sent Items\"\nS: * LIST () \"/\" \"INBOX\"\n"
           "S: * LIST (\\HasNoChildren) \"/\" \"Entw&APw-rfe\"\nS: C4 OK done\n" + logout, "secret",
       {"Sent Items", "INBOX", "Entw\xC3\xBCrfe"}},
      {"empty password", "", "", {TIMAPFolderGet::kIncomplete}},
      {"refused", "", "secret", {TIMAPFolderGet::kCannotConnect}},
      {"wrong password", kImapLoginRefused, "secret", {TIMAPFolderGet::kCannotLogin}},
      {"no folders", list4 + "S: C4 OK done\n" + logout, "secret", {TIMAPFolderGet::kNoFolderList}},
      {"dropped during LIST", list4 + "S: * LIST () \"/\" \"INBOX\"\nX\n", "secret", {TIMAPFolderGet::kNoFolderList}},
      // Nothing is shown after the stop, and the done message comes at once.
      {"stopped while the server is silent", list4 + "STALL\n", "secret", {TIMAPFolderGet::kDownloading}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Listing l = withServer(c.script, [&](int port) { return list(port, c.password, c.stop); }, !c.stop, c.stop ? 100 : 5000);
    EXPECT_LT(l.afterStop, 1s);
    ASSERT_FALSE(l.seen.empty());
    const bool names = c.lines.size() > 1;
    EXPECT_EQ(std::tuple(l.posted, l.seen.back().lines, l.seen.back().kind),
              std::tuple(true, c.lines, names ? FolderGetResult::FolderNames : FolderGetResult::Message));
    EXPECT_TRUE(!names || l.seen.front().lines == Lines{TIMAPFolderGet::kConnecting});
  }
}

}  // namespace
