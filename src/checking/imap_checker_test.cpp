#include "checking/imap_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "fake_server.h"

using namespace brivane;
using namespace brivane::testing;
using brivane::test::LoopbackServer;
using ::testing::ElementsAre;

namespace {

TEmlAccount imapAccount(int port, std::vector<std::string> folders) {
  return loopbackAccount("Imap box", false, port, std::move(folders));
}

// Builds a fake-server script with the session's tags C1, C2, ...
class Script {
 public:
  Script& loggedIn() {
    text_ += "S: * OK ready\n";
    command("LOGIN ann secret", {});
    command("CAPABILITY", {"* CAPABILITY IMAP4rev1"});
    command("CAPABILITY", {"* CAPABILITY IMAP4rev1"});
    return *this;
  }
  Script& command(const std::string& line, const std::vector<std::string>& data, const std::string& status = "OK done") {
    const std::string tag = "C" + std::to_string(++tag_);
    text_ += "C: " + tag + " " + line + "\n";
    for (const auto& d : data) text_ += "S: " + d + "\n";
    text_ += "S: " + tag + " " + status + "\n";
    return *this;
  }
  Script& list(const std::vector<std::string>& names) {
    std::vector<std::string> data;
    for (const auto& n : names) data.push_back("* LIST (\\HasNoChildren) \"/\" \"" + n + "\"");
    return command("LIST \"\" *", data);
  }
  Script& folder(const std::string& name, int unseen, bool selectOk = true) {
    command("SELECT \"" + name + "\"", {"* 10 EXISTS", "* 0 RECENT"}, selectOk ? "OK [READ-WRITE] done" : "NO no such");
    return command("STATUS \"" + name + "\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)",
                   {"* STATUS \"" + name + "\" (MESSAGES 10 RECENT 0 UIDNEXT 11 UIDVALIDITY 7 UNSEEN " +
                    std::to_string(unseen) + ")"});
  }
  Script& search(const std::string& criterion, const std::string& numbers) {
    return command("SEARCH " + criterion, {"* SEARCH" + (numbers.empty() ? "" : " " + numbers)});
  }
  // FETCH of one literal item of message n; no `bytes`: NIL.
  Script& fetchLiteral(int n, const std::string& item, const std::string& replyItem, const std::string* bytes) {
    const std::string tag = "C" + std::to_string(++tag_), m = std::to_string(n);
    text_ += "C: " + tag + " FETCH " + m + " (" + item + ")\n";
    text_ += bytes ? "S: * " + m + " FETCH (" + replyItem + " {" + std::to_string(bytes->size()) + "}\n" +
                         rawStep(*bytes) + "S: )\n"
                   : "S: * " + m + " FETCH (" + replyItem + " NIL)\n";
    text_ += "S: " + tag + " OK done\n";
    return *this;
  }
  // Header (empty: NIL), UID and (with previews) text of message n.
  Script& message(int n, const std::string& header, int uid, const std::string* text = nullptr) {
    fetchLiteral(n, "RFC822.HEADER", "RFC822.HEADER", header.empty() ? nullptr : &header);
    command("FETCH " + std::to_string(n) + " (UID)", {"* " + std::to_string(n) + " FETCH (UID " + std::to_string(uid) + ")"});
    return text ? fetchLiteral(n, "BODY.PEEK[TEXT]<0.65536>", "BODY[TEXT]<0>", text) : *this;
  }
  Script& logout() {
    const std::string tag = "C" + std::to_string(++tag_);
    text_ += "C: " + tag + " LOGOUT\nS: * BYE bye\nS: " + tag + " OK done\nX\n";
    return *this;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  int tag_ = 0;
};

std::string header(const std::string& from, const std::string& subject) {
  return "From: " + from + "\r\nSubject: " + subject + "\r\nDate: Sun, 06 Dec 2026 18:54:40 +0000\r\n\r\n";
}

CheckRun play(const Script& script, const TEmlAccount& account, bool preview = false) {
  LoopbackServer server(script.text());
  TEmlAccount a = account;
  a.port = server.port();
  CheckRun run = runOne(a, preview);
  server.finish();
  EXPECT_TRUE(server.errors().empty()) << ::testing::PrintToString(server.errors());
  return run;
}

TEST(ImapChecker, WatchedFoldersInTheAccountsOrder) {
  const std::vector<std::string> server = {"Archive", "INBOX", "Sent", "Lists/Dev"};
  EXPECT_THAT(TIMAPChecker::watchedFolders(server, {"INBOX;Inbox", "Archive;Archive"}),
              ElementsAre("INBOX", "Archive"));
  EXPECT_THAT(TIMAPChecker::watchedFolders(server, {" inbox ;Inbox", "lists/dev;Dev", "Missing;M"}),
              ElementsAre("INBOX", "Lists/Dev"));
  EXPECT_THAT(TIMAPChecker::watchedFolders(server, {"INBOX", ";INBOX"}), ElementsAre());  // no path
  EXPECT_THAT(TIMAPChecker::watchedFolders(server, {}), ElementsAre());
}

TEST(ImapChecker, ScansWatchedFoldersInOrderAndLeavesOthersAlone) {
  Script s;
  s.loggedIn().list({"Archive", "INBOX", "Sent"});
  s.folder("INBOX", 2).search("UNSEEN", "4 9");
  s.message(4, header("\"Ann\" <ann@example.org>", "=?ISO-8859-1?Q?__two_blanks_?="), 104);
  s.message(9, header("bob@example.org", " "), 109);
  s.search("NEW", "9");
  s.folder("Archive", 1).search("UNSEEN", "2").message(2, header("Carl <c@x.org>", "old"), 52);
  s.search("NEW", "");
  s.logout();
  const CheckRun run = play(s, imapAccount(0, {"INBOX;Inbox", " archive ;Archive"}));
  EXPECT_THAT(rowsText(run.rows), ElementsAre("INBOX|Ann|  two blanks |104|1796583280|",
                                               "INBOX|bob@example.org|[no subject]|109|1796583280|",
                                               "Archive|Carl|old|52|1796583280|"));
  EXPECT_TRUE(run.newMailArrived);
  EXPECT_TRUE(run.hasMessages);
  EXPECT_TRUE(run.account.hasMessages);
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "<3 rows>"));
  EXPECT_THAT(run.log, ElementsAre(" queued for check", " created, host: 127.0.0.1, username: ann, usetls: False",
                                   " Connected successfully", " Authenticated successfully",
                                   " 2 new messages in INBOX", " 1 new messages in Archive", " Disconnecting...",
                                   " Disconnected successfully - check completed"));
}

TEST(ImapChecker, EndsOfACheckWithoutMessages) {
  struct Case {
    const char* what;
    std::function<void(Script&)> body;
    std::vector<std::string> folders;
    std::vector<std::string> rows;  // subjects
    bool hasMessages;               // the cycle's flag
    std::string logLine;            // a line the log must hold ("" for none)
  };
  const std::vector<Case> cases = {
      {"no watched folder on the server",
       [](Script& s) { s.list({"INBOX", "Sent"}); },
       {"Archive;Archive"}, {"NOFOLDERS"}, false, " ERROR: no folders... quitting"},
      {"empty folder list",
       [](Script& s) { s.list({"INBOX"}); },
       {}, {"NOFOLDERS"}, false, " ERROR: no folders... quitting"},
      {"nothing unseen",
       [](Script& s) { s.list({"INBOX", "Lists"}).folder("INBOX", 0).folder("Lists", 0); },
       {"INBOX;Inbox", "Lists;Lists"}, {"NOMSG"}, false, " 0 new messages in Lists"},
      {"STATUS counts unseen but SEARCH finds none: no row at all",
       [](Script& s) { s.list({"INBOX"}).folder("INBOX", 1).search("UNSEEN", "").search("NEW", ""); },
       {"INBOX;Inbox"}, {}, true, " 1 new messages in INBOX"},
      {"LIST refused",
       [](Script& s) { s.command("LIST \"\" *", {}, "NO not now"); },
       {"INBOX;Inbox"}, {"ERRCONN"}, false, " ERROR: Could not download folder list from server... quitting"},
      {"a folder that cannot be selected is skipped",
       [](Script& s) {
         s.list({"INBOX", "Gone"}).folder("Gone", 4, false).folder("INBOX", 1).search("UNSEEN", "3");
         s.message(3, header("a@b.c", "kept"), 33).search("NEW", "");
       },
       {"Gone;Gone", "INBOX;Inbox"}, {"kept"}, true, " 4 new messages in Gone"},
      {"a refused STATUS and no unseen message found by SEARCH: 0, not the previous folder's number",
       [](Script& s) {
         s.list({"INBOX", "B"}).folder("INBOX", 0);
         s.command("SELECT \"B\"", {"* 3 EXISTS"}, "OK [READ-WRITE] done");
         s.command("STATUS \"B\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)", {}, "NO no status");
         s.search("UNSEEN", "");
       },
       {"INBOX;Inbox", "B;B"}, {"NOMSG"}, false, " 0 new messages in B"},
      {"a refused SEARCH NEW is no new mail",
       [](Script& s) {
         s.list({"INBOX"}).folder("INBOX", 1).search("UNSEEN", "5").message(5, header("a@b.c", "unseen"), 55);
         s.command("SEARCH NEW", {}, "BAD unknown");
       },
       {"INBOX;Inbox"}, {"unseen"}, true, " 1 new messages in INBOX"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Script s;
    s.loggedIn();
    c.body(s);
    s.logout();
    const CheckRun run = play(s, imapAccount(0, c.folders));
    EXPECT_EQ(subjectsOf(run.rows), c.rows);
    EXPECT_EQ(run.hasMessages, c.hasMessages);
    EXPECT_FALSE(run.newMailArrived);
    if (!c.logLine.empty()) {
      EXPECT_THAT(run.log, ::testing::Contains(c.logLine));
    }
    EXPECT_EQ(run.log.back(), " Disconnected successfully - check completed");
  }
}

TEST(ImapChecker, LoginRefusedAndConnectFailures) {
  const struct {
    std::string script;  // empty: nothing listens
    const char* word;
    const char* line;
    size_t at;  // its place in the log
  } cases[] = {
      {"S: * OK ready\nC: C1 LOGIN ann secret\nS: C1 NO [AUTHENTICATIONFAILED] no\n"
       "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\nC: C3 LOGOUT\nS: * BYE\nS: C3 OK done\nX\n",
       "INVUSERPASS", " ERROR: Invalid Username/Password... quitting", 3},
      {"", "INVSERVER", " ERROR: EIdSocketError... quitting", 2},
      {"S: * OK ready\nC: C1 LOGIN ann secret\nX\n", "ERRCONN", " ERROR: Unknown Connect Error... quitting", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    std::unique_ptr<LoopbackServer> server;
    if (!c.script.empty()) server = std::make_unique<LoopbackServer>(c.script);
    const CheckRun run = runOne(imapAccount(server ? server->port() : closedPort(), {"INBOX;Inbox"}));
    if (server) server->finish();
    EXPECT_THAT(subjectsOf(run.rows), ElementsAre(c.word));
    EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", c.word));
    ASSERT_GT(run.log.size(), c.at);
    EXPECT_EQ(run.log[c.at], c.line);
  }
}

TEST(ImapChecker, PreviewsAndHeadersWithoutLiteral) {
  const std::string text = "Hello\r\nthere, " + std::string(100, 'y') + "\r\n";
  Script s;
  s.loggedIn().list({"INBOX"}).folder("INBOX", 4).search("UNSEEN", "1 2 3 4");
  s.message(1, header("\"Ann\" <a@x.org>", "first"), 11, &text);
  // "RFC822.HEADER NIL" and a bare OK (a message expunged by another
  // client): no row, neither a blank one nor message 1's fields.
  s.fetchLiteral(2, "RFC822.HEADER", "RFC822.HEADER", nullptr);
  s.command("FETCH 3 (RFC822.HEADER)", {});
  const std::string empty;
  s.message(4, header("c@x.org", "fourth"), 14, &empty);
  s.search("NEW", "").logout();
  const CheckRun run = play(s, imapAccount(0, {"INBOX;Inbox"}), true);
  EXPECT_THAT(rowsText(run.rows), ElementsAre("INBOX|Ann|first|11|1796583280|Hello there, " + std::string(67, 'y'),
                                               "INBOX|c@x.org|fourth|14|1796583280|"));
}

// Names that are no valid modified UTF-7 go back as LIST sent them; a
// refused STATUS falls back to SEARCH UNSEEN; a header FETCH refused for an
// expunged message gives no row; [ALERT] texts reach the log.
TEST(ImapChecker, ServerQuirksGiveTheRightRows) {
  Script s;
  s.loggedIn();
  s.command("LIST \"\" *", {"* LIST () \".\" \"Tom & Jerry\" (\"CHILDINFO\" (\"SUBSCRIBED\"))",
                             "* list () \".\" Entw&APw-rfe"});
  s.command("SELECT \"Tom & Jerry\"", {"* 4 exists", "* OK [ALERT] Quota at 95%"}, "ok [READ-WRITE] done");
  s.command("STATUS \"Tom & Jerry\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)", {}, "NO [SERVERBUG] no");
  s.search("UNSEEN", "2 3");
  s.command("FETCH 2 (RFC822.HEADER)", {}, "NO [EXPUNGEISSUED] gone");
  s.message(3, header("=?UTF-8?Q?Support:_Team?= <s@x>", "kept"), 33);
  s.command("SEARCH NEW", {"* SEARCH 3"}, "ok done");
  s.folder("Entw&APw-rfe", 0);
  s.logout();
  const CheckRun run = play(s, imapAccount(0, {"Tom & Jerry;T", "Entwürfe;E"}));
  EXPECT_THAT(rowsText(run.rows), ElementsAre("Tom & Jerry|Support: Team|kept|33|1796583280|"));
  EXPECT_TRUE(run.newMailArrived);
  EXPECT_THAT(run.log, ::testing::IsSupersetOf({" ALERT: Quota at 95%", " 2 new messages in Tom & Jerry",
                                                " 0 new messages in Entwürfe"}));
}

// A quoted name ending in a blank is selected as LIST sent it; a STATUS
// answered without UNSEEN takes the SEARCH fallback instead of counting 0.
TEST(ImapChecker, FolderNameKeptByteForByteAndStatusWithoutUnseen) {
  Script s;
  s.loggedIn().list({"Lists "});
  s.command("SELECT \"Lists \"", {"* 5 EXISTS"}, "OK [READ-WRITE] done");
  s.command("STATUS \"Lists \" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)",
            {"* STATUS \"Lists \" (MESSAGES 5 RECENT 0)"});
  s.search("UNSEEN", "5").message(5, header("a@b.c", "found"), 55).search("NEW", "").logout();
  const CheckRun run = play(s, imapAccount(0, {"Lists;Lists"}));
  EXPECT_THAT(rowsText(run.rows), ElementsAre("Lists |a@b.c|found|55|1796583280|"));
  EXPECT_THAT(run.log, ::testing::Contains(" 1 new messages in Lists "));
}

TEST(ImapChecker, LoginDisabledAndTheCheckTimeLimitEndWithErrconn) {
  {
    LoopbackServer server("S: * OK [CAPABILITY IMAP4rev1 LOGINDISABLED] ready\nC: C1 LOGOUT\nS: * BYE\nS: C1 OK\nX\n");
    const CheckRun run = runOne(imapAccount(server.port(), {"INBOX;Inbox"}));
    server.finish();
    EXPECT_TRUE(server.errors().empty()) << ::testing::PrintToString(server.errors());
    EXPECT_THAT(subjectsOf(run.rows), ElementsAre("ERRCONN"));
    EXPECT_THAT(run.log, ::testing::Contains(
                             " ERROR: the server refuses plain-text login - turn on the secure connection... quitting"));
  }
  // A server that drips every reply slowly enough for each line limit.
  Script s;
  s.loggedIn();
  LoopbackServer server(s.text() + "C: C4 LIST \"\" *\nDRIP: 50\nREPEAT: 1000 * LIST () \"/\" x\n");
  TEmlAccount a = imapAccount(server.port(), {"INBOX;Inbox"});
  const CheckRun run = runCycle({a}, 0, false, [](CheckCycle&) {}, std::chrono::seconds(20),
                                [](CheckCycle& c) { c.checkTimeLimit = std::chrono::milliseconds(600); });
  server.finish(100);
  EXPECT_THAT(subjectsOf(run.rows), ElementsAre("ERRCONN"));
  EXPECT_THAT(run.log, ::testing::Contains(" ERROR: the check did not finish within 600 ms... quitting"));
}

TEST(ImapChecker, StallAfterLoginWithStopRequestEndsQuickly) {
  Script s;
  s.loggedIn();
  LoopbackServer server(s.text() + "C: C4 LIST \"\" *\nSTALL\n");
  const CheckRun run = runAndStop(imapAccount(server.port(), {"INBOX;Inbox"}));
  server.finish(100);
  EXPECT_THAT(subjectsOf(run.rows), ElementsAre("CHECKING"));
}

}  // namespace
