#include "checking/pop_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "fake_server.h"

using namespace brivane;
using namespace brivane::testing;
using brivane::test::LoopbackServer;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

TEmlAccount popAccount(int port) {
  TEmlAccount a;
  a.name = "Pop box";
  a.isPOP = true;
  a.server = "127.0.0.1";
  a.username = "ann";
  a.password = "secret";
  a.port = port;
  return a;
}

const char* kLogin =
    "S: +OK ready <1.2@x>\n"
    "C: CAPA\n"
    "S: -ERR no capabilities\n"
    "C: USER ann\n"
    "S: +OK\n"
    "C: PASS secret\n"
    "S: +OK logged in\n";

std::string header(int n, const std::string& subject) {
  return "S: +OK\n"
         "S: From: \"Sender " + std::to_string(n) + "\" <s" + std::to_string(n) + "@example.org>\n"
         "S: Subject: " + subject + "\n"
         "S: Date: Sun, 06 Dec 2026 18:54:40 +0000\n"
         "S: .\n";
}

TEST(PopChecker, ListsEveryMessageNewestFirst) {
  std::string script = std::string(kLogin) + "C: STAT\nS: +OK 3 3000\n";
  for (int n : {3, 2, 1}) script += "C: TOP " + std::to_string(n) + " 0\n" + header(n, n == 2 ? "   " : "msg " + std::to_string(n));
  script += "C: QUIT\nS: +OK bye\nX\n";
  for (int before : {0, 2, 3, 5}) {
    SCOPED_TRACE(before);
    LoopbackServer server(script);
    TEmlAccount a = popAccount(server.port());
    a.lastMessageCount = before;
    const CheckRun run = runOne(a);
    server.finish();
    EXPECT_TRUE(server.errors().empty()) << ::testing::PrintToString(server.errors());
    EXPECT_THAT(subjectsOf(run.rows), ElementsAre("msg 3", "[no subject]", "msg 1"));
    EXPECT_EQ(run.rows[0].sender, "Sender 3");
    EXPECT_EQ(run.rows[0].folder, "INBOX");
    EXPECT_EQ(run.rows[0].messageUid, "");
    EXPECT_EQ(run.rows[0].received, 1796583280);
    EXPECT_EQ(run.rows[0].preview, "");
    // New mail means: more messages than at the previous check.
    EXPECT_EQ(run.newMailArrived, before < 3);
    EXPECT_TRUE(run.hasMessages);
    EXPECT_EQ(run.account.lastMessageCount, 3);
    EXPECT_TRUE(run.account.hasMessages);
    EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "<3 rows>"));
    EXPECT_THAT(run.log, ElementsAre(" queued for check",
                                     " created, host: 127.0.0.1, username: ann, usetls: False",
                                     " Connected successfully", " Checking for message count...", " 3 New Messages",
                                     " Retrieving headers...", " Retrieving header 1 of 3", " Retrieving header 2 of 3",
                                     " Retrieving header 3 of 3", " Header check completed", " Disconnecting...",
                                     " Disconnected successfully - check completed"));
  }
}

TEST(PopChecker, EmptyMaildropShowsNoMsgAndKeepsTheCount) {
  LoopbackServer server(std::string(kLogin) + "C: STAT\nS: +OK 0 0\nC: QUIT\nS: +OK\nX\n");
  TEmlAccount a = popAccount(server.port());
  a.lastMessageCount = 5;
  a.hasMessages = true;
  const CheckRun run = runOne(a);
  server.finish();
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0].subject, "NOMSG");
  EXPECT_EQ(run.rows[0].kind, RowKind::NoMessages);
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "CHECKING", "NOMSG"));
  EXPECT_EQ(run.account.lastMessageCount, 5);
  EXPECT_FALSE(run.account.hasMessages);
  EXPECT_FALSE(run.newMailArrived);
}

TEST(PopChecker, ConnectAndLoginFailuresAreSorted) {
  struct Case {
    const char* what;
    std::string script;  // empty: nothing listens
    const char* word;
    const char* line;
  };
  const Case cases[] = {
      {"refused", "", "INVSERVER", " ERROR: EIdSocketError... quitting"},
      {"wrong password", "S: +OK\nC: CAPA\nS: -ERR\nC: USER ann\nS: +OK\nC: PASS secret\nS: -ERR [AUTH] no\nX\n",
       "INVUSERPASS", " ERROR: EIdReplyPOP3Error... quitting"},
      {"closed after greeting", "S: +OK\nX\n", "ERRCONN", " ERROR: Unknown Connect Error... quitting"},
      {"bad greeting", "S: -ERR busy\nX\n", "INVUSERPASS", " ERROR: EIdReplyPOP3Error... quitting"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<LoopbackServer> server;
    int port = closedPort();
    if (!c.script.empty()) {
      server = std::make_unique<LoopbackServer>(c.script);
      port = server->port();
    }
    const CheckRun run = runOne(popAccount(port));
    if (server) server->finish();
    ASSERT_EQ(run.rows.size(), 1u);
    EXPECT_EQ(run.rows[0].subject, c.word);
    EXPECT_EQ(run.rows[0].kind, RowKind::Error);
    ASSERT_GE(run.log.size(), 5u);
    EXPECT_EQ(run.log[2], c.line);
    EXPECT_EQ(run.log[3], " Disconnecting...");
    EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", c.word));
  }
}

TEST(PopChecker, ValidationBeforeAnyConnection) {
  struct Case {
    std::string server, user, pass;
    int port;
    const char* word;
    const char* line;
  };
  const Case cases[] = {
      {"", "", "", 0, "NOSERVER", " ERROR: no server... quitting"},
      {"127.0.0.1", "", "", 0, "NOUSER", " ERROR: no user... quitting"},
      {"127.0.0.1", "ann", "", 0, "NOPASS", " ERROR: no password... quitting"},
      {"127.0.0.1", "ann", "secret", 0, "NOPORT", " ERROR: no port... quitting"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    TEmlAccount a = popAccount(c.port);
    a.server = c.server;
    a.username = c.user;
    a.password = c.pass;
    const CheckRun run = runOne(a);
    EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", c.word));
    EXPECT_EQ(run.rows[0].kind, RowKind::Error);
    EXPECT_THAT(run.log, ElementsAre(" queued for check",
                                     " created, host: " + c.server + ", username: " + c.user + ", usetls: False",
                                     c.line, " Disconnecting...", " Disconnected successfully - check completed"));
  }
}

TEST(PopChecker, FailureAfterLoginEndsWithErrConn) {
  LoopbackServer server(std::string(kLogin) + "C: STAT\nS: +OK 2 100\nC: TOP 2 0\nS: -ERR no such message\n"
                        "C: QUIT\nS: +OK\nX\n");
  TEmlAccount a = popAccount(server.port());
  const CheckRun run = runOne(a);
  server.finish();
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0].subject, "ERRCONN");
  EXPECT_THAT(run.log, ::testing::Contains(" ERROR: no such message... quitting"));
  // The loop's end is logged before the error, the disconnect after it.
  const auto at = std::find(run.log.begin(), run.log.end(), " Header check completed");
  ASSERT_NE(at, run.log.end());
  EXPECT_EQ(*(at + 1), " ERROR: no such message... quitting");
  EXPECT_EQ(*(at + 2), " Disconnecting...");
  EXPECT_EQ(run.account.lastMessageCount, 2);  // as far as changed, it travels back
}

TEST(PopChecker, PreviewsUseTopWithBodyLinesNeverRetr) {
  const std::string longLine(100, 'x');
  std::string script = std::string(kLogin) + "C: STAT\nS: +OK 3 300\n";
  // Message 3: body shorter than 80 characters over two lines.
  script += "C: TOP 3 100\nS: +OK\nS: From: a@example.org\nS: Subject: three\nS: \nS: Hello\nS: world\nS: .\n";
  // Message 2: refused; the row must not repeat message 3.
  script += "C: TOP 2 100\nS: -ERR gone\n";
  // Message 1: a long Windows-1252 body, dot-stuffed first line.
  script += "C: TOP 1 100\nS: +OK\nS: Subject: one\nS: \n" + rawStep("..caf\xE9 " + longLine + "\r\n") + "S: .\n";
  script += "C: QUIT\nS: +OK\nX\n";
  LoopbackServer server(script);
  const CheckRun run = runOne(popAccount(server.port()), true);
  server.finish();
  EXPECT_TRUE(server.errors().empty()) << ::testing::PrintToString(server.errors());
  ASSERT_EQ(run.rows.size(), 3u);
  EXPECT_EQ(run.rows[0].sender, "a@example.org");
  EXPECT_EQ(run.rows[0].preview, "Helloworld");
  EXPECT_EQ(run.rows[1].sender, "");
  EXPECT_EQ(run.rows[1].subject, "[no subject]");
  EXPECT_EQ(run.rows[1].received, 0);
  EXPECT_EQ(run.rows[1].preview, "");
  EXPECT_EQ(run.rows[2].preview, ".caf\xC3\xA9 " + std::string(74, 'x'));
}

TEST(PopChecker, StalledServerStopsWithinASecond) {
  LoopbackServer server(std::string(kLogin) + "C: STAT\nSTALL\n");
  const TEmlAccount a = popAccount(server.port());
  std::chrono::steady_clock::time_point asked;
  const CheckRun run = runCycle({a}, 0, false, [&](CheckCycle& cycle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    asked = std::chrono::steady_clock::now();
    cycle.requestStopAll();
  });
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  server.finish(100);
  EXPECT_TRUE(run.posted);
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0].subject, "CHECKING");  // nothing published after the stop
  EXPECT_EQ(run.log.back(), " Disconnected successfully - check completed");
}

TEST(PopChecker, TlsFromTheFirstByte) {
  LoopbackServer server(std::string(kLogin) + "C: STAT\nS: +OK 0 0\nC: QUIT\nS: +OK\nX\n", {.tls = true});
  TEmlAccount a = popAccount(server.port());
  a.useTLS = true;
  const CheckRun run = runOne(a);
  server.finish();
  EXPECT_TRUE(server.errors().empty()) << ::testing::PrintToString(server.errors());
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0].subject, "NOMSG");
  EXPECT_EQ(run.log[1], " created, host: 127.0.0.1, username: ann, usetls: True");
}

}  // namespace
