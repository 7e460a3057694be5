#include "checking/imap_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"

#include <optional>

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
  // EXAMINE of a folder (UIDVALIDITY 7, UIDNEXT `next`, `recent` \Recent
  // messages; a refused one when `next` is 0), then UID SEARCH UNSEEN.
  Script& folder(const std::string& name, const std::string& unseenUids, int recent = 0, int next = 200,
                 int validity = 7) {
    if (next == 0) return command("EXAMINE \"" + name + "\"", {}, "NO no such");
    Lines data = {"* 10 EXISTS", "* " + std::to_string(recent) + " RECENT", "* OK [UIDNEXT " + std::to_string(next) + "] n"};
    if (validity) data.push_back("* OK [UIDVALIDITY " + std::to_string(validity) + "] v");  // 0: none
    command("EXAMINE \"" + name + "\"", data, "OK [READ-ONLY] done");
    return search("UNSEEN", unseenUids);
  }
  Script& search(const std::string& criterion, const std::string& uids) {
    return command("UID SEARCH " + criterion, {"* SEARCH" + (uids.empty() ? "" : " " + uids)});
  }
  // One UID FETCH of headers (with previews also texts): `set` as the
  // command names it, each message as (uid, header[, text]).
  struct Msg {
    int uid;
    std::string header;
    std::optional<std::string> text = std::nullopt;
  };
  Script& fetch(const std::string& set, const std::vector<Msg>& messages, bool preview = false,
                const std::string& status = "OK done") {
    Lines data;
    int seq = 0;
    for (const Msg& m : messages) {
      Lines lines = literal("* " + std::to_string(++seq) + " FETCH (UID " + std::to_string(m.uid) + " RFC822.HEADER", m.header);
      if (m.text) {
        lines.pop_back();
        const Lines text = literal(" BODY[TEXT]<0>", *m.text);  // the line goes on after the header's bytes
        lines.insert(lines.end(), text.begin(), text.end());
      }
      data.insert(data.end(), lines.begin(), lines.end());
    }
    return command("UID FETCH " + set + (preview ? " (UID RFC822.HEADER BODY.PEEK[TEXT]<0.65536>)" : " (UID RFC822.HEADER)"),
                   data, status);
  }
  std::string logout() { return command("LOGOUT", {"* BYE bye"}), text_ + "X\n"; }

  // A literal's reply lines (its bytes CR LF ended lines).
  static Lines literal(const std::string& head, const std::string& bytes) {
    Lines lines = {head + " {" + std::to_string(bytes.size()) + "}"};
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
      lines.push_back(bytes.substr(at, end - at));
    return lines.push_back(")"), lines;
  }

 private:
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

// A check of one account watching INBOX on port 143, whose every
// connection reaches the scripted server in memory, with `memory` shared
// across checks as a run's cycles share it.
CheckRun playRemembering(const std::shared_ptr<CheckMemory>& memory, const std::string& script, bool strict = true) {
  test::MemoryServer server(script);
  CheckRun run = runOne(loopbackAccount("Imap box", false, 143, {"INBOX;Inbox"}), false, [&](CheckCycle& c) {
    c.memory = memory;
    c.connector = server.connector();
  });
  if (strict) {
    EXPECT_THAT(server.errors(), ::testing::IsEmpty());
  }
  return run;
}

// Folders are matched ignoring case and blanks, in the account's order, each
// once; an entry without a path is no folder. Each is opened read-only; with
// nothing remembered, new mail is what the server still marks \Recent.
TEST(ImapChecker, ScansWatchedFoldersInOrderAndLeavesOthersAlone) {
  Script s;
  s.list({"Archive", "INBOX", "Sent"}).folder("INBOX", "104 109", 1).search("NEW", "109");
  s.fetch("104,109", {{104, header("\"Ann\" <ann@example.org>", "=?ISO-8859-1?Q?__two_blanks_?=")},
                      {109, header("bob@example.org", " ")}});
  s.folder("Archive", "52").fetch("52", {{52, header("Carl <c@x.org>", "old")}});
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
      {"nothing unseen", [](Script& s) { s.list({"INBOX", "Lists"}).folder("INBOX", "", 3).folder("Lists", ""); },
       {"INBOX;Inbox", "Lists;Lists"}, {"NOMSG"}, false, " 0 new messages in Lists"},
      {"unseen messages all expunged before their headers came: no row at all",
       [](Script& s) { s.list({"INBOX"}).folder("INBOX", "8").fetch("8", {}); }, {"INBOX;Inbox"}, {}, true,
       " 1 new messages in INBOX"},
      {"LIST refused", [](Script& s) { s.command("LIST \"\" *", {}, "NO not now"); }, {"INBOX;Inbox"}, {"ERRCONN"},
       false, " ERROR: Could not download folder list from server... quitting"},
      {"a folder that cannot be opened is skipped", [](Script& s) {
         s.list({"INBOX", "Gone"}).folder("Gone", "", 0, 0).folder("INBOX", "3").fetch("3", {{3, header("a@b.c", "kept")}});
       }, {"Gone;Gone", "INBOX;Inbox"}, {"kept"}, true, " 0 new messages in Gone"},
      {"a refused search is a folder skipped, not the previous folder's result", [](Script& s) {
         s.list({"INBOX", "B"}).folder("INBOX", "").command("EXAMINE \"B\"", {"* 3 EXISTS"}, "OK [READ-ONLY] done");
         s.command("UID SEARCH UNSEEN", {}, "NO no search");
       }, {"INBOX;Inbox", "B;B"}, {"NOMSG"}, false, " 0 new messages in B"},
      {"a refused search for \\Recent is no new mail", [](Script& s) {
         s.list({"INBOX"}).folder("INBOX", "5", 2).command("UID SEARCH NEW", {}, "BAD unknown");
         s.fetch("5", {{5, header("a@b.c", "unseen")}});
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
// quoted name ending in a blank byte for byte; a message left out of the
// FETCH reply (expunged by another client meanwhile) or answered NIL gives
// no row, neither blank nor a repeat; items may come in any order; a FETCH
// line the server adds for another message is no row; [ALERT] texts reach
// the log; previews come from the same command as the headers.
TEST(ImapChecker, ServerQuirksAndPreviewsGiveTheRightRows) {
  const std::string text = "Hello\r\nthere, " + std::string(100, 'y') + "\r\n", empty;
  Script s;
  s.command("LIST \"\" *", {"* LIST () \".\" \"Tom & Jerry\" (\"CHILDINFO\" (\"SUBSCRIBED\"))",
                            "* list () \".\" Entw&APw-rfe", "* LIST () \".\" \"Lists \""});
  s.command("EXAMINE \"Tom & Jerry\"", {"* 5 exists", "* OK [ALERT] Quota at 95%", "* OK [UIDVALIDITY 3] v"},
            "ok [READ-ONLY] done");
  s.search("UNSEEN", "34 35 36 37").command("UID FETCH * (UID)", {"* 5 FETCH (UID 37)"});
  const std::string kept = header("=?UTF-8?Q?Support:_Team?= <s@x>", "kept"), z = header("c@x", "z");
  s.command("UID FETCH 34:37 (UID RFC822.HEADER BODY.PEEK[TEXT]<0.65536>)",
            {"* 1 FETCH (UID 34 RFC822.HEADER {" + std::to_string(kept.size()) + "}",
             "From: =?UTF-8?Q?Support:_Team?= <s@x>", "Subject: kept", "Date: Sun, 06 Dec 2026 18:54:40 +0000", "",
             " BODY[TEXT]<0> {" + std::to_string(text.size()) + "}", "Hello", "there, " + std::string(100, 'y'), ")",
             "* 3 FETCH (UID 36 RFC822.HEADER NIL)", "* 9 FETCH (UID 90 RFC822.HEADER {5}", "a:b", ")",
             "* 4 FETCH (FLAGS (\\Seen))", "* 4 FETCH (BODY[TEXT]<0> {0}",
             " UID 37 RFC822.HEADER {" + std::to_string(z.size()) + "}", "From: c@x", "Subject: z",
             "Date: Sun, 06 Dec 2026 18:54:40 +0000", "", ")"});
  s.folder("Entw&APw-rfe", "");
  s.folder("Lists ", "55").fetch("55", {{55, header("a@b.c", "found"), empty}}, true);
  const CheckRun run = play(s.logout(), {"Tom & Jerry;T", "Entwürfe;E", "Lists;Lists"}, true);
  EXPECT_THAT(rowsText(run.rows), ElementsAre("Tom & Jerry|Support: Team|kept|34|1796583280|Hello there, " + std::string(67, 'y'),
                                               "Tom & Jerry|c@x|z|37|1796583280|", "Lists |a@b.c|found|55|1796583280|"));
  EXPECT_FALSE(run.newMailArrived);
  EXPECT_THAT(run.log, ::testing::IsSupersetOf({" ALERT: Quota at 95%", " 4 new messages in Tom & Jerry",
                                                " 0 new messages in Entwürfe", " 1 new messages in Lists "}));
}

// Several checks sharing one memory, as the saver's cycles do: new mail is an
// unseen UID at or above the UIDNEXT of the last completed check, never the
// \Recent flag once something is remembered; a re-check fetches only UIDs it
// has not seen; a changed UIDVALIDITY or a failed check starts afresh.
TEST(ImapChecker, NewMailByUidAndOnlyUnseenHeadersFetched) {
  auto memory = std::make_shared<CheckMemory>();
  const auto check = [&](const std::string& script) { return playRemembering(memory, script); };
  const auto h = [](int uid) { return header("a@b.c", "m" + std::to_string(uid)); };
  const struct {
    const char* what;
    std::function<void(Script&)> body;
    Lines rows;
    bool newMail;
  } steps[] = {
      {"first check: nothing remembered, nothing \\Recent", [&](Script& s) {
         s.folder("INBOX", "5 9", 0, 11).fetch("5,9", {{5, h(5)}, {9, h(9)}});
       }, {"m5", "m9"}, false},
      {"a message arrives while \\Recent was taken by another client", [&](Script& s) {
         s.folder("INBOX", "5 9 11", 0, 12).fetch("11", {{11, h(11)}});
       }, {"m5", "m9", "m11"}, true},
      {"5 read elsewhere, nothing new: nothing fetched", [&](Script& s) { s.folder("INBOX", "9 11", 4, 12); },
       {"m9", "m11"}, false},
      {"5 marked unseen again is listed, not new", [&](Script& s) {
         s.folder("INBOX", "5 9 11", 0, 12).fetch("5", {{5, h(5)}});
       }, {"m5", "m9", "m11"}, false},
      {"12 arrived between EXAMINE and the search: new now", [&](Script& s) {
         s.folder("INBOX", "5 9 11 12", 0, 12).fetch("12", {{12, h(12)}});
       }, {"m5", "m9", "m11", "m12"}, true},
      {"and not again", [&](Script& s) { s.folder("INBOX", "5 9 11 12", 0, 13); }, {"m5", "m9", "m11", "m12"}, false},
      {"UIDVALIDITY changed: all fetched, new only by \\Recent", [&](Script& s) {
         s.folder("INBOX", "1 2", 1, 3, 8).search("NEW", "2").fetch("1:2", {{1, h(1)}, {2, h(2)}});
       }, {"m1", "m2"}, true},
      {"no UIDVALIDITY: UIDs are not trusted, nothing kept", [&](Script& s) {
         s.folder("INBOX", "1 2", 0, 3, 0).fetch("1:2", {{1, h(1)}, {2, h(2)}});
       }, {"m1", "m2"}, false},
      {"nor the second time", [&](Script& s) {
         s.folder("INBOX", "1 2", 0, 3, 0).fetch("1:2", {{1, h(1)}, {2, h(2)}});
       }, {"m1", "m2"}, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    Script s;
    s.list({"INBOX"});
    step.body(s);
    const CheckRun run = check(s.logout());
    EXPECT_EQ(std::tuple(subjectsOf(run.rows), run.newMailArrived), std::tuple(step.rows, step.newMail));
  }
  // A check cut off in the middle leaves neither the mark nor the cache: the
  // next check fetches everything and still reports UID 3 as new.
  Script cut;
  cut.list({"INBOX"}).folder("INBOX", "1 2 3", 0, 4, 8);
  const std::string cutScript = cut.logout();
  CheckRun run = playRemembering(memory, cutScript.substr(0, cutScript.rfind("C:")) +
                                             "C: C7 UID FETCH 1:3 (UID RFC822.HEADER)\nS: * 1 FETCH (UID 1 RFC822.HEADER {50}\n"
                                             "S: From: a\nX\n", false);
  EXPECT_THAT(subjectsOf(run.rows), ElementsAre("ERRCONN"));
  Script again;
  again.list({"INBOX"}).folder("INBOX", "1 2 3", 0, 4, 8).fetch("1:3", {{1, h(1)}, {2, h(2)}, {3, h(3)}});
  run = check(again.logout());
  EXPECT_EQ(std::tuple(subjectsOf(run.rows), run.newMailArrived), std::tuple(Lines{"m1", "m2", "m3"}, true));
}

// Without UIDNEXT in the EXAMINE reply the highest UID stands in for it.
TEST(ImapChecker, MissingUidNextIsTakenFromTheHighestUid) {
  auto memory = std::make_shared<CheckMemory>();
  const auto check = [&](const std::string& unseen, int highest, const std::string& fetchSet, bool newMail) {
    Script s;
    s.list({"INBOX"}).command("EXAMINE \"INBOX\"", {"* 4 EXISTS", "* OK [UIDVALIDITY 9] v"}, "OK [READ-ONLY] done");
    s.search("UNSEEN", unseen).command("UID FETCH * (UID)", {"* 4 FETCH (UID " + std::to_string(highest) + ")"});
    s.fetch(fetchSet, {{highest, header("a@b.c", "x")}});
    const CheckRun run = playRemembering(memory, s.logout());
    EXPECT_EQ(run.newMailArrived, newMail) << unseen;
  };
  check("20", 20, "20", false);
  check("20 21", 21, "21", true);
}

}  // namespace

namespace {

// The saver's check of an account whose panel shows less fetches less (with
// previews on in the settings): the one UID FETCH of each level, or none;
// `--check` fetches everything whatever the level.
TEST(ImapChecker, APanelsPrivacyLevelLimitsWhatIsFetched) {
  using P = PanelPrivacy;
  const std::string h5 = header("Ann <a@x>", "one"), text = "Hi\r\n";
  const std::string from5 = "From: Ann <a@x>\r\nDate: Sun, 06 Dec 2026 18:54:40 +0000\r\n\r\n";
  Lines whole = Script::literal("* 1 FETCH (UID 5 RFC822.HEADER", h5), withText = whole;
  withText.pop_back();
  for (const std::string& line : Script::literal(" BODY[TEXT]<0>", text)) withText.push_back(line);
  const struct { const char* name; P level; bool forPanel; std::string items; Lines reply; std::string row; } rows[] = {
      {"everything", P::Everything, true, "(UID RFC822.HEADER BODY.PEEK[TEXT]<0.65536>)", withText,
       "INBOX|Ann|one|5|1796583280|Hi"},
      {"no previews", P::NoPreviews, true, "(UID RFC822.HEADER)", whole, "INBOX|Ann|one|5|1796583280|"},
      {"senders only", P::SendersOnly, true, "(UID BODY.PEEK[HEADER.FIELDS (FROM DATE)])",
       Script::literal("* 1 FETCH (UID 5 BODY[HEADER.FIELDS (FROM DATE)]", from5), "INBOX|Ann||5|1796583280|"},
      {"counts only", P::CountsOnly, true, "", {}, "INBOX|||5|0|"},
      {"counts only, --check", P::CountsOnly, false, "(UID RFC822.HEADER BODY.PEEK[TEXT]<0.65536>)", withText,
       "INBOX|Ann|one|5|1796583280|Hi"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Script s;
    s.list({"INBOX"}).folder("INBOX", "5");
    if (!r.items.empty()) s.command("UID FETCH 5 " + r.items, r.reply);
    const CheckRun run = withServer(s.logout(), [&](int port) {
      TEmlAccount a = loopbackAccount("Imap box", false, port, {"INBOX;Inbox"});
      a.panelPrivacy = r.level;
      return runOne(a, true, [&](CheckCycle& c) { c.fetchForPanel = r.forPanel; });
    });
    EXPECT_THAT(rowsText(run.rows), ElementsAre(r.row));
  }
}

}  // namespace
