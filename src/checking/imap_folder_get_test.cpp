#include "checking/imap_folder_get.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "checking/message_queue.h"
#include "common/messages.h"
#include "fake_server.h"

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono_literals;
using brivane::test::LoopbackServer;

namespace {

const char* kLoggedIn =
    "S: * OK ready\n"
    "C: C1 LOGIN ann secret\nS: C1 OK done\n"
    "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\n"
    "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK done\n";

struct Listing {
  std::vector<FolderGetResult::Snapshot> seen;  // every result the editor's timer took
  bool posted = false;
};

// Runs one listing like the editor: fills the account, starts the thread,
// polls the result record and waits for 0x953F. `duringRun` runs on the
// editor's side at every poll.
Listing list(int port, std::string password = "secret",
             std::function<void(TIMAPFolderGet&, const Listing&)> duringRun = nullptr) {
  FolderGetResult result;
  MessageQueue editor;
  Listing listing;
  TIMAPFolderGet thread(result, editor);
  thread.account.server = "127.0.0.1";
  thread.account.port = port;
  thread.account.username = "ann";
  thread.account.password = std::move(password);
  thread.start();
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto r = result.take()) listing.seen.push_back(*r);
    if (duringRun) duringRun(thread, listing);
    if (auto m = editor.waitNextFor(5ms)) {
      EXPECT_EQ(m->message, WM_FOLDERGETDONE);
      EXPECT_EQ(m->wParam, 0u);
      listing.posted = true;
      break;
    }
  }
  thread.join();
  if (auto r = result.take()) listing.seen.push_back(*r);
  return listing;
}

std::vector<std::string> lastLines(const Listing& l) {
  return l.seen.empty() ? std::vector<std::string>{} : l.seen.back().lines;
}

// The folder names in the server's order (decoded), or the message for the user.
TEST(ImapFolderGet, FolderNamesOrAMessageForTheUser) {
  const std::string logout = "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n";
  struct Case {
    const char* what;
    std::string script;  // empty: nothing listens
    std::string password;
    std::vector<std::string> lines;  // a single line: a message
  };
  const Case cases[] = {
      // The greeting waits, so that the editor's poll sees "Connecting..." first.
      {"folder names", "W: 100\n" + std::string(kLoggedIn) + "C: C4 LIST \"\" *\n"
                           "S: * LIST (\\HasNoChildren) \"/\" \"Sent Items\"\n"
                           "S: * LIST (\\HasNoChildren) \"/\" \"INBOX\"\n"
                           "S: * LIST (\\HasNoChildren) \"/\" \"Entw&APw-rfe\"\nS: C4 OK done\n" + logout,
       "secret", {"Sent Items", "INBOX", "Entw\xC3\xBCrfe"}},
      {"empty password", "", "", {TIMAPFolderGet::kIncomplete}},
      {"refused", "", "secret", {TIMAPFolderGet::kCannotConnect}},
      {"wrong password",
       "S: * OK ready\nC: C1 LOGIN ann secret\nS: C1 NO [AUTHENTICATIONFAILED] no\n"
       "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\nC: C3 LOGOUT\nS: * BYE\nS: C3 OK done\nX\n",
       "secret", {TIMAPFolderGet::kCannotLogin}},
      {"no folders", std::string(kLoggedIn) + "C: C4 LIST \"\" *\nS: C4 OK done\n" + logout, "secret",
       {TIMAPFolderGet::kNoFolderList}},
      {"LIST refused", std::string(kLoggedIn) + "C: C4 LIST \"\" *\nS: C4 NO later\n" + logout, "secret",
       {TIMAPFolderGet::kNoFolderList}},
      {"dropped during LIST", std::string(kLoggedIn) + "C: C4 LIST \"\" *\nS: * LIST () \"/\" \"INBOX\"\nX\n",
       "secret", {TIMAPFolderGet::kNoFolderList}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<LoopbackServer> server;
    if (!c.script.empty()) server = std::make_unique<LoopbackServer>(c.script);
    const Listing l = list(server ? server->port() : closedPort(), c.password);
    if (server) {
      server->finish();
      EXPECT_TRUE(server->errors().empty()) << ::testing::PrintToString(server->errors());
    }
    EXPECT_TRUE(l.posted);
    ASSERT_FALSE(l.seen.empty());
    EXPECT_EQ(l.seen.back().lines, c.lines);
    const bool names = c.lines.size() > 1;
    EXPECT_EQ(l.seen.back().kind, names ? FolderGetResult::FolderNames : FolderGetResult::Message);
    if (names) {
      EXPECT_EQ(l.seen.front().lines, std::vector<std::string>{"Connecting..."});
    }
  }
}

TEST(ImapFolderGet, StopDuringListPublishesNothingButStillPosts) {
  LoopbackServer server(std::string(kLoggedIn) + "C: C4 LIST \"\" *\nW: 2000\nS: * LIST () \"/\" \"INBOX\"\nS: C4 OK\n");
  std::chrono::steady_clock::time_point asked{};
  const Listing l = list(server.port(), "secret", [&](TIMAPFolderGet& thread, const Listing& sofar) {
    if (asked == std::chrono::steady_clock::time_point{} && !sofar.seen.empty() &&
        sofar.seen.back().lines == std::vector<std::string>{TIMAPFolderGet::kDownloading}) {
      asked = std::chrono::steady_clock::now();
      thread.requestStop();
    }
  });
  server.finish(100);
  EXPECT_TRUE(l.posted);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  EXPECT_EQ(lastLines(l), std::vector<std::string>{TIMAPFolderGet::kDownloading});
}

}  // namespace
