#include "checking/pop_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "protocols/socket_stream.h"

using namespace brivane;
using namespace brivane::testing;
using ::testing::ElementsAre;

namespace {

const std::string kStat = std::string(kPopLoggedIn) + "C: STAT\nS: +OK ", kQuit = "C: QUIT\nS: +OK\nX\n";
// UIDL refused; the capabilities, refused before the login, are asked once more before the first TOP.
const std::string kNoUidl = "C: UIDL\nS: -ERR not supported\nC: CAPA\nS: -ERR\n";
const std::string kEnd = " Disconnecting...", kDone = " Disconnected successfully - check completed";

std::string header(int n, const std::string& subject) {
  const std::string i = std::to_string(n);
  return "S: +OK\nS: From: \"Sender " + i + "\" <s" + i + "@example.org>\nS: Subject: " + subject +
         "\nS: Date: Sun, 06 Dec 2026 18:54:40 +0000\nS: .\n";
}

// Plays `script` (empty: nothing listens) to a POP3 account changed by `edit`.
// A dialogue that ends with QUIT must go exactly as scripted: TOP, never RETR or DELE.
CheckRun play(const std::string& script, bool preview = false, const std::function<void(TEmlAccount&)>& edit = {},
              bool tls = false) {
  const auto check = [&](int port) {
    TEmlAccount a = loopbackAccount("Pop box", true, port);
    a.useTLS = tls;
    if (edit) edit(a);
    return runOne(a, preview);
  };
  return withServer(script, check, script.find("C: QUIT") != std::string::npos, 5000, tls);
}

// play() for the same mailbox each time (port 110, reached at the fake
// server's port), with `memory` and the last check's count.
CheckRun playRemembering(const std::string& script, const std::shared_ptr<CheckMemory>& memory, int32_t lastCount) {
  const auto check = [&](int port) {
    TEmlAccount a = loopbackAccount("Pop box", true, 110);
    a.lastMessageCount = lastCount;
    return runOne(a, false, [&](CheckCycle& c) {
      c.memory = memory;
      c.connector = [port](const Transport::ConnectRequest& r) { return connectTcp(r.host, port, r.timeoutMs, r.stop); };
    });
  };
  return withServer(script, check, script.find("C: QUIT") != std::string::npos);
}

TEST(PopChecker, ListsEveryMessageNewestFirst) {
  std::string script = kStat + "3 3000\n" + kNoUidl;
  for (int n : {3, 2, 1}) script += "C: TOP " + std::to_string(n) + " 0\n" + header(n, n == 2 ? "   " : "msg " + std::to_string(n));
  for (int before : {2, 3}) {  // the second time with TLS from the first byte
    SCOPED_TRACE(before);
    const bool tls = before == 3;
    const CheckRun run = play(script + kQuit, false, [before](TEmlAccount& a) { a.lastMessageCount = before; }, tls);
    EXPECT_THAT(rowsText(run.rows), ElementsAre("INBOX|Sender 3|msg 3||1796583280|",
                                                 "INBOX|Sender 2|[no subject]||1796583280|",
                                                 "INBOX|Sender 1|msg 1||1796583280|"));
    // New mail: more messages than at the previous check.
    EXPECT_EQ(std::tuple(run.newMailArrived, run.hasMessages, run.account.hasMessages, run.account.lastMessageCount),
              std::tuple(before < 3, true, true, 3));
    EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "<3 rows>"));
    EXPECT_THAT(run.log, ElementsAre(" queued for check", " created, host: 127.0.0.1, username: ann, usetls: " +
                                         std::string(tls ? "True" : "False"),
                                     " Connected successfully", " Checking for message count...", " 3 New Messages",
                                     " Retrieving headers...", " Retrieving header 1 of 3", " Retrieving header 2 of 3",
                                     " Retrieving header 3 of 3", " Header check completed", kEnd, kDone));
  }
}

TEST(PopChecker, EmptyMaildropShowsNoMsgAndKeepsTheCount) {
  const CheckRun run = play(kStat + "0 0\n" + kQuit, false, [](TEmlAccount& a) { a.lastMessageCount = 5, a.hasMessages = true; });
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "NOMSG"));
  EXPECT_EQ(std::tuple(run.account.lastMessageCount, run.account.hasMessages, run.newMailArrived),
            std::tuple(5, false, false));
}

// Validation (in its order, before any connection) and connect and login
// failures: one error row and one log line each. The sorting of every
// refusal code is proved on describeFailure, the session's refusals in its own tests.
TEST(PopChecker, ValidationAndConnectFailures) {
  const std::string h = "127.0.0.1", inUse = "[IN-USE] Mailbox locked by <phone>",
                    refused = "S: +OK\nC: CAPA\nS: -ERR\nC: USER ann\nS: +OK\nC: PASS secret\nS: -ERR " + inUse + "\nX\n";
  const struct {
    const char* what;
    std::string server, user, pass, script;  // script empty: nothing listens
    const char* word;
    std::string line, detail = "";  // detail: the server's words on the row
  } cases[] = {
      {"no server", "", "", "", "", "NOSERVER", "no server"},
      {"no user", h, "", "", "", "NOUSER", "no user"},
      {"no password", h, "ann", "", "", "NOPASS", "no password"},
      {"no port", h, "ann", "secret", "", "NOPORT", "no port"},
      {"refused", h, "ann", "secret", "", "INVSERVER", "EIdSocketError"},
      {"closed after greeting", h, "ann", "secret", "S: +OK\nX\n", "ERRCONN", "Unknown Connect Error"},
      {"box in use", h, "ann", "secret", refused, "ERRCONN", inUse, inUse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CheckRun run = play(c.script, false, [&c](TEmlAccount& a) {
      a.server = c.server, a.username = c.user, a.password = c.pass, a.hasMessages = true;
      if (std::string(c.word) == "NOPORT") a.port = 0;
    });
    ASSERT_EQ(run.rows.size(), 1u);  // an error row clears hasMessages
    EXPECT_EQ(std::tuple(run.rows[0].kind, run.rows[0].preview, run.account.hasMessages),
              std::tuple(RowKind::Error, c.detail, false));
    EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", c.word));
    EXPECT_THAT(run.log, ElementsAre(" queued for check", " created, host: " + c.server + ", username: " + c.user +
                                     ", usetls: False", " ERROR: " + c.line + "... quitting", kEnd, kDone));
  }
}

// The loop's end is logged before the error, the disconnect after it; the
// count, as far as changed, travels back.
TEST(PopChecker, FailureAfterLoginEndsWithErrConn) {
  const CheckRun run = play(kStat + "2 100\n" + kNoUidl + "C: TOP 2 0\nX\n");
  EXPECT_EQ(std::tuple(subjectsOf(run.rows), run.newMailArrived, run.account.lastMessageCount),
            std::tuple(std::vector<std::string>{"ERRCONN"}, false, 2));
  EXPECT_THAT(std::vector(run.log.end() - 4, run.log.end()),
              ElementsAre(" Header check completed", " ERROR: Connection Closed Gracefully.... quitting", kEnd, kDone));
}

// A message whose TOP is refused (deleted by another client) is skipped;
// new mail is only announced when a message row is published.
TEST(PopChecker, RefusedTopSkipsThatMessage) {
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "every message refused" : "one refused");
    const std::string top2 = all ? "S: -ERR [IN-USE] locked\n" : header(2, "msg 2");
    const CheckRun run = play(kStat + "2 100\n" + kNoUidl + "C: TOP 2 0\n" + top2 + "C: TOP 1 0\nS: -ERR no such message\n" + kQuit);
    EXPECT_EQ(std::tuple(subjectsOf(run.rows), run.newMailArrived, run.hasMessages),
              std::tuple(std::vector<std::string>{all ? "NOMSG" : "msg 2"}, !all, !all));
  }
}

// Previews use TOP with body lines; a refused TOP gives no row (not a
// repeat of the previous message). Message 3: multipart, its text part
// shorter than 80 characters over two lines; message 1: a long
// Windows-1252 body, dot-stuffed first line.
TEST(PopChecker, PreviewsUseTopWithBodyLinesNeverRetr) {
  const std::string script = kStat + "3 300\n" + kNoUidl + "C: TOP 3 100\nS: +OK\nS: From: a@example.org\nS: Subject: three\n"
                             "S: Content-Type: multipart/mixed; boundary=b\nS: \nS: This is a multi-part message in MIME format.\n"
                             "S: --b\nS: Content-Type: text/plain\nS: \nS: Hello\nS: world\nS: .\nC: TOP 2 100\nS: -ERR gone\n"
                             "C: TOP 1 100\nS: +OK\nS: Subject: one\nS: \nS: ..caf\xE9 " + std::string(100, 'x') + "\n";
  const CheckRun run = play(script + "S: .\n" + kQuit, true);
  EXPECT_THAT(rowsText(run.rows), ElementsAre("INBOX|a@example.org|three||0|Hello world",
                                               "INBOX||one||0|.caf\xC3\xA9 " + std::string(74, 'x')));
}

// Checks of one maildrop in a row, sharing one memory: each step's script
// (strict: a TOP the client adds fails it) shows which headers are read.
// New mail by unique-id catches a delivery hidden by a deletion; a failed
// check commits nothing and drops the cached rows; without UIDL the count
// decides, and the ids are forgotten.
TEST(PopChecker, UniqueIdsDecideNewMailAndWhatIsRead) {
  const auto uidl = [](const std::string& ids) {  // "ac": message 1 is "a", 2 is "c"
    std::string s = "C: UIDL\nS: +OK\n";
    for (size_t i = 0; i < ids.size(); ++i) s += "S: " + std::to_string(i + 1) + " id-" + ids[i] + "\n";
    return s + "S: .\n";
  };
  // The headers of messages ids.size() down to `from`, pipelined; unanswered: the server hangs up.
  const auto tops = [](const std::string& ids, size_t from = 1, bool answered = true) {
    std::string s = "C: CAPA\nS: +OK\nS: PIPELINING\nS: .\n", replies;
    for (size_t n = ids.size(); n >= from; --n) {
      s += "C: TOP " + std::to_string(n) + " 0\n";
      replies += "S: +OK\nS: From: <" + std::string(1, ids[n - 1]) + "@example.org>\nS: Subject: msg " + ids[n - 1] +
                 "\nS: Date: Sun, 06 Dec 2026 18:54:40 +0000\nS: .\n";
    }
    return s + (answered ? replies : "X\n");
  };
  const struct {
    const char* name;
    std::string afterStat;
    std::vector<std::string> subjects;
    bool newMail;
  } steps[] = {
      {"first check: the count decides", "2 9\n" + uidl("ab") + tops("ab"), {"msg b", "msg a"}, true},
      {"unchanged: nothing read", "2 9\n" + uidl("ab"), {"msg b", "msg a"}, false},
      {"b deleted, c delivered: same count, new by id", "2 9\n" + uidl("ac") + tops("ac", 2), {"msg c", "msg a"}, true},
      {"failed check", "3 9\n" + uidl("acd") + tops("acd", 3, false), {"ERRCONN"}, false},
      {"after the failure all is read, d is new", "3 9\n" + uidl("acd") + tops("acd"), {"msg d", "msg c", "msg a"}, true},
      {"no UIDL: all read, the count decides", "3 9\nC: UIDL\nS: -ERR\n" + tops("acd"), {"msg d", "msg c", "msg a"}, false},
      {"ids forgotten: the count decides", "3 9\n" + uidl("ace") + tops("ace"), {"msg e", "msg c", "msg a"}, false},
  };
  const auto memory = std::make_shared<CheckMemory>();
  int32_t lastCount = 0;
  std::vector<std::string> firstRows;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    const CheckRun run = playRemembering(kStat + step.afterStat + (step.subjects.size() > 1 ? kQuit : ""), memory, lastCount);
    lastCount = run.account.lastMessageCount;
    EXPECT_EQ(std::pair(subjectsOf(run.rows), run.newMailArrived), std::pair(step.subjects, step.newMail));
    if (firstRows.empty()) firstRows = rowsText(run.rows);
    if (step.afterStat == "2 9\n" + uidl("ab")) {  // the cached rows are the rows a full read gave
      EXPECT_EQ(rowsText(run.rows), firstRows);
      EXPECT_THAT(std::vector(run.log.begin() + 5, run.log.end()),
                  ElementsAre(" Retrieving headers...", " Headers kept from the last check: 2",
                              " Header check completed", kEnd, kDone));
    }
  }
}

}  // namespace

namespace {

// The TOP of each level for the saver's check (previews on in the settings),
// none for counts only; `--check` reads everything whatever the level.
TEST(PopChecker, APanelsPrivacyLevelLimitsWhatIsRead) {
  using P = PanelPrivacy;
  const std::string uidl = "C: UIDL\nS: +OK\nS: 1 id-a\nS: .\n", capa = "C: CAPA\nS: -ERR\n";
  const std::string reply = "S: +OK\nS: From: Ann <a@x>\nS: Subject: one\nS: \nS: Hi\nS: .\n";
  const std::string headerOnly = "S: +OK\nS: From: Ann <a@x>\nS: Subject: one\nS: .\n";
  const struct { const char* name; P level; bool forPanel; std::string top; std::string row; } rows[] = {
      {"everything", P::Everything, true, capa + "C: TOP 1 100\n" + reply, "INBOX|Ann|one||0|Hi"},
      {"no previews", P::NoPreviews, true, capa + "C: TOP 1 0\n" + headerOnly, "INBOX|Ann|one||0|"},
      {"senders only", P::SendersOnly, true, capa + "C: TOP 1 0\n" + headerOnly, "INBOX|Ann|||0|"},
      {"counts only", P::CountsOnly, true, "", "INBOX||||0|"},
      {"counts only, --check", P::CountsOnly, false, capa + "C: TOP 1 100\n" + reply, "INBOX|Ann|one||0|Hi"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const CheckRun run = withServer(kStat + "1 90\n" + uidl + r.top + kQuit, [&](int port) {
      TEmlAccount a = loopbackAccount("Pop box", true, port);
      a.panelPrivacy = r.level;
      return runOne(a, true, [&](CheckCycle& c) { c.fetchForPanel = r.forPanel; });
    });
    EXPECT_THAT(rowsText(run.rows), ElementsAre(r.row));
  }
}

}  // namespace
