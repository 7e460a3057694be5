#include "protocols/pop3_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_server.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A session wired to a memory fake server with a manual clock.
struct Pop3Fixture {
  explicit Pop3Fixture(std::string_view script) : server(script, &clock), session(&transport) {
    transport.setClock(&clock);
    transport.setConnector(server.connector());
    session.setHost("pop.example.org");
    session.setUsername("alice");
    session.setPassword("secret word");
  }
  ManualClock clock;
  test::MemoryServer server;
  Transport transport;
  Pop3Session session;
};

constexpr const char* kLogin =
    "S: +OK POP3 ready <1896.697170952@dbc.mailcom.org>\n"
    "C: CAPA\n"
    "S: +OK Capability list follows\n"
    "S: TOP\n"
    "S: ..odd\n"
    "S: USER\n"
    "S: .\n"
    "C: USER alice\n"
    "S: +OK\n"
    "C: PASS secret word\n"
    "S: +OK logged in\n";

TEST(Pop3Reply, ParsesIndicatorTextAndExtendedCode) {
  struct Case {
    const char* bytes;
    const char* indicator;
    const char* text;
    const char* code;
  } cases[] = {
      {"+OK 2 320\r\n", "+OK", "2 320", ""},
      {"-ERR [IN-USE] Mailbox locked\r\n", "-ERR", "Mailbox locked", "IN-USE"},
      {"-ERR [sys/temp] later\r\n", "-ERR", "later", "SYS/TEMP"},
      {"-ERR [OTHER] text\r\n", "-ERR", "[OTHER] text", ""},
      {"+OK [IN-USE] fine\r\n", "+OK", "[IN-USE] fine", ""},
      {"+OK\r\n", "+OK", "", ""},
      {"\r\n\r\n+OK late\r\n", "+OK", "late", ""},
      {"* garbage\r\n", "-ERR", "garbage", ""},
      {"", "-ERR", "", ""},
      {"+ go on\r\n", "+", "go on", ""},
  };
  for (const auto& c : cases) {
    Pop3Reply r = parsePop3Reply(c.bytes);
    EXPECT_EQ(r.indicator, c.indicator) << c.bytes;
    EXPECT_EQ(r.text(), c.text) << c.bytes;
    EXPECT_EQ(r.extendedCode, c.code) << c.bytes;
  }
  Pop3Reply multi = parsePop3Reply("+OK-first\r\n+OK-second\r\n+OK last\r\n+OK not part\r\n");
  EXPECT_THAT(multi.lines, ElementsAre("first", "second", "last"));
}

TEST(Pop3Reply, StatCount) {
  EXPECT_EQ(parseStatCount("0 0"), 0);
  EXPECT_EQ(parseStatCount("7 12345"), 7);
  EXPECT_EQ(parseStatCount(""), 0);
  EXPECT_EQ(parseStatCount("  7 12345  "), 7);
  for (const char* bad : {"7", "x 1", "-1 2", "99999999999 1"})
    EXPECT_THROW(parseStatCount(bad), MalformedReplyError) << bad;
}

TEST(Pop3Session, TlsModeMovesOnlyTheStandardPorts) {
  struct Case {
    int port;
    TlsMode mode;
    int expected;
  } cases[] = {
      {110, TlsMode::Implicit, 995}, {995, TlsMode::Implicit, 995}, {1995, TlsMode::Implicit, 1995},
      {995, TlsMode::None, 995},     {110, TlsMode::None, 110},
  };
  for (const auto& c : cases) {
    Pop3Session s(nullptr);
    s.setPort(c.port);
    s.setTlsMode(c.mode);
    EXPECT_EQ(s.port(), c.expected) << c.port;
  }
}

TEST(Pop3Session, LoginStatTopQuitDialogue) {
  Pop3Fixture f(std::string(kLogin) +
                "C: STAT\nS: +OK 2 320\n"
                "C: TOP 1 0\nS: +OK\nS: Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\nS:  folded\n"
                "S: ..dots: stay\nS: From: \"Name\" <n@x>\nS: \nS: .\n"
                "C: QUIT\nS: +OK bye\nX\n");
  f.session.connect();
  EXPECT_EQ(f.server.connects().at(0).port, 110);
  EXPECT_EQ(f.session.greetingTimestamp(), "<1896.697170952@dbc.mailcom.org>");
  EXPECT_THAT(f.session.capabilities(), ElementsAre("TOP", ".odd", "USER"));
  EXPECT_EQ(f.session.messageCount(), 2);
  MailMessage m;
  f.session.retrieveHeader(1, m);
  EXPECT_THAT(m.rawHeaders, ElementsAre("Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=", " folded", "..dots: stay",
                                        "From: \"Name\" <n@x>"));
  EXPECT_EQ(m.subject, "Gr\u00fc\u00dfe folded");
  EXPECT_EQ(m.from.at(0).name, "Name");
  f.session.disconnect();
  EXPECT_FALSE(f.session.connected());
  EXPECT_THAT(f.server.errors(), IsEmpty());
  EXPECT_TRUE(f.server.done());
}

TEST(Pop3Session, GreetingWithoutTimestampAndCapaErr) {
  Pop3Fixture f("S: +OK hello\nC: CAPA\nS: -ERR unknown command\nC: USER alice\nS: +OK\n"
                "C: PASS secret word\nS: +OK\n");
  f.session.connect();
  EXPECT_EQ(f.session.greetingTimestamp(), "");
  EXPECT_FALSE(f.session.hasCapabilities());
  EXPECT_THAT(f.session.capabilities(), IsEmpty());
  EXPECT_TRUE(f.server.done());
}

TEST(Pop3Session, ConnectFailures) {
  struct Case {
    const char* script;
    const char* text;
    const char* code;
  } cases[] = {
      {"S: -ERR [SYS/TEMP] go away\n", "go away", "SYS/TEMP"},
      {"S: +OK\nC: CAPA\nS: -ERR\nC: USER alice\nS: -ERR [IN-USE] Mailbox locked\n", "Mailbox locked", "IN-USE"},
      {"S: +OK\nC: CAPA\nS: -ERR\nC: USER alice\nS: +OK\nC: PASS secret word\nS: -ERR [AUTH] bad\n", "bad", "AUTH"},
  };
  for (const auto& c : cases) {
    Pop3Fixture f(c.script);
    try {
      f.session.connect();
      FAIL() << c.script;
    } catch (const Pop3ReplyError& e) {
      EXPECT_EQ(e.text(), c.text);
      EXPECT_EQ(e.extendedCode(), c.code);
    }
  }
}

TEST(Pop3Session, CredentialsThatWouldSplitACommandAreRefusedBeforeConnecting) {
  for (const std::string& bad : {std::string("a\r\nDELE 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
    for (bool inUser : {false, true}) {
      Pop3Fixture f("S: +OK\n");
      if (inUser) f.session.setUsername(bad);
      else f.session.setPassword(bad);
      EXPECT_THROW(f.session.connect(), UnsafeCredentialsError);
      EXPECT_TRUE(f.server.connects().empty());
    }
  }
}

TEST(Pop3Session, RetrKeepsTextBeforeTheFirstBoundaryUnstuffed) {
  Pop3Fixture f(std::string(kLogin) +
                "C: RETR 1\nS: +OK\n"
                "S: Subject: hi\nS: Content-Type: multipart/mixed; boundary=\"XX\"\nS: \n"
                "S: Preamble line\nS: ..starts with a dot\nS: --XX\nS: Content-Type: text/plain\nS: \n"
                "S: part text\nS: --XX--\nS: .\n"
                "C: RETR 2\nS: -ERR no such message\n"
                "C: RETR 3\nS: +OK\nS: Subject: plain\nS: \nS: one\nS: \nS: ..two\nS: .\n"
                "C: RETR 4\nS: +OK\nS: Content-Transfer-Encoding: base64\nS: \nS: aGVsbG8=\nS: .\n"
                "C: STAT\nS: +OK 7\nC: STAT\nS: +OK 0 0\nC: TOP 9 0\nS: -ERR no such message\n");
  f.session.connect();
  MailMessage m;
  ASSERT_TRUE(f.session.retrieve(1, m));
  EXPECT_EQ(m.subject, "hi");
  EXPECT_THAT(m.body, ElementsAre("Preamble line", ".starts with a dot"));
  EXPECT_FALSE(f.session.retrieve(2, m));
  EXPECT_EQ(m.subject, "hi");  // untouched
  ASSERT_TRUE(f.session.retrieve(3, m));
  EXPECT_EQ(m.bodyText(), "one\r\n\r\n.two");
  ASSERT_TRUE(f.session.retrieve(4, m));  // an encoded single part keeps no body
  EXPECT_THAT(m.body, IsEmpty());
  // Each reply above was read to its end: the STAT replies come in step.
  EXPECT_THROW(f.session.messageCount(), MalformedReplyError);  // "+OK 7"
  EXPECT_EQ(f.session.messageCount(), 0);
  EXPECT_THROW(f.session.retrieveHeader(9, m), Pop3ReplyError);
  EXPECT_THAT(f.server.errors(), IsEmpty());
}

TEST(Pop3Session, QuitErrIsRaisedAfterClosingAndNoTransportIsNotConnected) {
  Pop3Fixture f(std::string(kLogin) + "C: QUIT\nS: -ERR [SYS/PERM] could not update\n");
  f.session.connect();
  EXPECT_THROW(f.session.disconnect(), Pop3ReplyError);
  EXPECT_FALSE(f.transport.connected());

  Pop3Session s(nullptr);
  EXPECT_THROW(s.sendCommand("NOOP"), NotConnectedError);
  EXPECT_THROW(s.messageCount(), NotConnectedError);
  try {
    s.connect();
    ADD_FAILURE() << "connected without a transport";
  } catch (const NotConnectedError& e) {
    EXPECT_STREQ(e.what(), "Not connected.");
  }
}

}  // namespace
}  // namespace brivane
