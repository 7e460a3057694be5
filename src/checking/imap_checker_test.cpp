#include "checking/imap_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"

using namespace brivane;
using namespace brivane::testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using Lines = std::vector<std::string>;

namespace {

// Builds a fake-server script with the session's tags C1, C2, ... Every
// command is scripted: one the checker adds (a STORE, an EXPUNGE, a FETCH
// without PEEK) fails the run, which keeps the check read-only.
class Script {
 public:
  Script() : text_(kImapLoggedIn) {}
  Script& command(const std::string& line, const Lines& data, const std::string& status = "OK done") {
    text_ += "C: C" + std::to_string(++tag_) + " " + line + "\n";
    for (const auto& d : data) text_ += "S: " + d + "\n";
    return text_ += "S: C" + std::to_string(tag_) + " " + status + "\n", *this;
  }
  Script& list(const Lines& names) {
    Lines data;
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
  // Header, UID and (with previews) text of message n.
  Script& message(int n, const std::string& header, int uid = 0, const std::string* text = nullptr) {
    const std::string m = std::to_string(n), head = "* " + m + " FETCH (";
    command("FETCH " + m + " (RFC822.HEADER)", literal(head + "RFC822.HEADER", header));
    command("FETCH " + m + " (UID)", {head + "UID " + std::to_string(uid) + ")"});
    return text ? command("FETCH " + m + " (BODY.PEEK[TEXT]<0.65536>)", literal(head + "BODY[TEXT]<0>", *text)) : *this;
  }
  std::string logout() { return command("LOGOUT", {"* BYE bye"}), text_ + "X\n"; }

 private:
  // A literal's reply lines (its bytes CR LF ended lines).
  static Lines literal(const std::string& head, const std::string& bytes) {
    Lines lines = {head + " {" + std::to_string(bytes.size()) + "}"};
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
      lines.push_back(bytes.substr(at, end - at));
    return lines.push_back(")"), lines;
  }
  std::string text_;
  int tag_ = 3;
};

std::string header(const std::string& from, const std::string& subject) {
  return "From: " + from + "\r\nSubject: " + subject + "\r\nDate: Sun, 06 Dec 2026 18:54:40 +0000\r\n\r\n";
}

// A server cut off by the time limit never ends its script, so only a run
// without one must go exactly as scripted.
CheckRun play(const std::string& script, const Lines& folders, bool preview = false, int timeLimitMs = 0) {
  const auto check = [&](int port) {
    return runOne(loopbackAccount("Imap box", false, port, folders), preview, [&](CheckCycle& c) {
      if (timeLimitMs) c.checkTimeLimit = std::chrono::milliseconds(timeLimitMs);
    });
  };
  return withServer(script, check, timeLimitMs == 0, timeLimitMs ? 100 : 5000);
}

// Folders are matched ignoring case and blanks, in the account's order, each
// once; an entry without a path is no folder.
TEST(ImapChecker, ScansWatchedFoldersInOrderAndLeavesOthersAlone) {
  Script s;
  s.list({"Archive", "INBOX", "Sent"}).folder("INBOX", 2).search("UNSEEN", "4 9");
  s.message(4, header("\"Ann\" <ann@example.org>", "=?ISO-8859-1?Q?__two_blanks_?="), 104);
  s.message(9, header("bob@example.org", " "), 109).search("NEW", "9");
  s.folder("Archive", 1).search("UNSEEN", "2").message(2, header("Carl <c@x.org>", "old"), 52).search("NEW", "");
  const CheckRun run = play(s.logout(), {"INBOX;Inbox", " archive ;Archive", "Sent", ";Sent", "inbox;In"});
  EXPECT_THAT(rowsText(run.rows), ElementsAre("INBOX|Ann|  two blanks |104|1796583280|",
                                               "INBOX|bob@example.org|[no subject]|109|1796583280|",
                                               "Archive|Carl|old|52|1796583280|"));
  EXPECT_TRUE(run.newMailArrived && run.hasMessages && run.account.hasMessages);
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "<3 rows>"));
  EXPECT_THAT(run.log, ElementsAre(" queued for check", " created, host: 127.0.0.1, username: ann, usetls: False",
                                   " Connected successfully", " Authenticated successfully",
                                   " 2 new messages in INBOX", " 1 new messages in Archive", " Disconnecting...",
                                   " Disconnected successfully - check completed"));
}

// Checks that end without message rows (or with fewer than the count said).
TEST(ImapChecker, EndsOfACheckWithoutMessages) {
  const struct {
    const char* what;
    std::function<void(Script&)> body;
    Lines folders, rows;  // rows: subjects
    bool hasMessages;     // the cycle's flag
    std::string logLine;
  } cases[] = {
      {"no watched folder on the server", [](Script& s) { s.list({"INBOX", "Sent"}); }, {"Archive;Archive"},
       {"NOFOLDERS"}, false, " ERROR: no folders... quitting"},
      {"nothing unseen", [](Script& s) { s.list({"INBOX", "Lists"}).folder("INBOX", 0).folder("Lists", 0); },
       {"INBOX;Inbox", "Lists;Lists"}, {"NOMSG"}, false, " 0 new messages in Lists"},
      {"STATUS counts unseen but SEARCH finds none: no row at all",
       [](Script& s) { s.list({"INBOX"}).folder("INBOX", 1).search("UNSEEN", "").search("NEW", ""); },
       {"INBOX;Inbox"}, {}, true, " 1 new messages in INBOX"},
      {"LIST refused", [](Script& s) { s.command("LIST \"\" *", {}, "NO not now"); }, {"INBOX;Inbox"}, {"ERRCONN"},
       false, " ERROR: Could not download folder list from server... quitting"},
      {"a folder that cannot be selected is skipped", [](Script& s) {
         s.list({"INBOX", "Gone"}).folder("Gone", 4, false).folder("INBOX", 1).search("UNSEEN", "3");
         s.message(3, header("a@b.c", "kept"), 33).search("NEW", "");
       }, {"Gone;Gone", "INBOX;Inbox"}, {"kept"}, true, " 4 new messages in Gone"},
      {"a refused STATUS and nothing found by SEARCH: 0, not the previous folder's number", [](Script& s) {
         s.list({"INBOX", "B"}).folder("INBOX", 0).command("SELECT \"B\"", {"* 3 EXISTS"}, "OK [READ-WRITE] done");
         s.command("STATUS \"B\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)", {}, "NO no status").search("UNSEEN", "");
       }, {"INBOX;Inbox", "B;B"}, {"NOMSG"}, false, " 0 new messages in B"},
      {"a refused SEARCH NEW is no new mail", [](Script& s) {
         s.list({"INBOX"}).folder("INBOX", 1).search("UNSEEN", "5").message(5, header("a@b.c", "unseen"), 55);
         s.command("SEARCH NEW", {}, "BAD unknown");
       }, {"INBOX;Inbox"}, {"unseen"}, true, " 1 new messages in INBOX"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Script s;
    c.body(s);
    const CheckRun run = play(s.logout(), c.folders);
    EXPECT_EQ(std::tuple(subjectsOf(run.rows), run.hasMessages, run.newMailArrived),
              std::tuple(c.rows, c.hasMessages, false));
    EXPECT_THAT(run.log, Contains(c.logLine));
    EXPECT_EQ(run.log.back(), " Disconnected successfully - check completed");
  }
}

// A refused login, a server that forbids plain-text login (the password is
// never sent, also when only its CAPABILITY reply says so), and a server that drips every reply slowly enough for each
// line limit but not for the check's time limit.
TEST(ImapChecker, FailuresGiveOneErrorRowAndLogLine) {
  CheckRun run = play(kImapLoginRefused, {"INBOX;Inbox"});
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "INVUSERPASS"));
  EXPECT_THAT(run.log, Contains(" ERROR: Invalid Username/Password... quitting"));
  // LOGINDISABLED only in the CAPABILITY reply to a greeting that lists none.
  run = play("S: * OK ready\nC: C1 CAPABILITY\nS: * CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED\nS: C1 OK\n"
             "C: C2 LOGOUT\nS: * BYE\nS: C2 OK\nX\n",
             {"INBOX;Inbox"});
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "NEEDTLS"));
  EXPECT_THAT(run.log, Contains(" ERROR: the server refuses plain-text login - choose TLS or STARTTLS... quitting"));
  run = play(std::string(kImapLoggedIn) + "C: C4 LIST \"\" *\nDRIP: 50\nREPEAT: 1000 * LIST () \"/\" x\n", {"INBOX;Inbox"},
             false, 600);
  EXPECT_THAT(subjectsOf(run.rows), ElementsAre("ERRCONN"));
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "ERRCONN"));
  EXPECT_THAT(run.log, Contains(" ERROR: the check did not finish within 600 ms... quitting"));
}

// Names that are no valid modified UTF-7 go back as LIST sent them, and a
// quoted name ending in a blank byte for byte; a refused STATUS, or one
// without UNSEEN, falls back to SEARCH UNSEEN; a header FETCH refused, with a
// bare OK or answered NIL (a message expunged by another client) gives no
// row, neither blank nor a repeat; [ALERT] texts reach the log.
TEST(ImapChecker, ServerQuirksAndPreviewsGiveTheRightRows) {
  const std::string text = "Hello\r\nthere, " + std::string(100, 'y') + "\r\n", empty;
  Script s;
  s.command("LIST \"\" *", {"* LIST () \".\" \"Tom & Jerry\" (\"CHILDINFO\" (\"SUBSCRIBED\"))",
                            "* list () \".\" Entw&APw-rfe", "* LIST () \".\" \"Lists \""});
  s.command("SELECT \"Tom & Jerry\"", {"* 5 exists", "* OK [ALERT] Quota at 95%"}, "ok [READ-WRITE] done");
  s.command("STATUS \"Tom & Jerry\" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)", {}, "NO [SERVERBUG] no");
  s.search("UNSEEN", "3 4 5 6 7").message(3, header("=?UTF-8?Q?Support:_Team?= <s@x>", "kept"), 34, &text);
  s.command("FETCH 4 (RFC822.HEADER)", {}, "NO [EXPUNGEISSUED] gone").command("FETCH 5 (RFC822.HEADER)", {});
  s.command("FETCH 6 (RFC822.HEADER)", {"* 6 FETCH (RFC822.HEADER NIL)"}).message(7, header("c@x", "z"), 35, &empty);
  s.command("SEARCH NEW", {"* SEARCH 4"}, "ok done").folder("Entw&APw-rfe", 0);
  s.command("SELECT \"Lists \"", {"* 5 EXISTS"}, "OK [READ-WRITE] done");
  s.command("STATUS \"Lists \" (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)", {"* STATUS \"Lists \" (MESSAGES 5 RECENT 0)"});
  s.search("UNSEEN", "5").message(5, header("a@b.c", "found"), 55, &empty).search("NEW", "");
  const CheckRun run = play(s.logout(), {"Tom & Jerry;T", "Entwürfe;E", "Lists;Lists"}, true);
  EXPECT_THAT(rowsText(run.rows), ElementsAre("Tom & Jerry|Support: Team|kept|34|1796583280|Hello there, " + std::string(67, 'y'),
                                               "Tom & Jerry|c@x|z|35|1796583280|", "Lists |a@b.c|found|55|1796583280|"));
  EXPECT_TRUE(run.newMailArrived);
  EXPECT_THAT(run.log, ::testing::IsSupersetOf({" ALERT: Quota at 95%", " 5 new messages in Tom & Jerry",
                                                " 0 new messages in Entwürfe", " 1 new messages in Lists "}));
}

}  // namespace
