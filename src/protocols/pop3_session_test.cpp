#include "protocols/pop3_session.h"

#include <gmock/gmock.h>

#include "fake_server.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

// A session wired to a memory fake server with a manual clock.
struct Pop3Fixture {
  explicit Pop3Fixture(std::string_view script) : server(script, &clock), session(&transport) {
    transport.setClock(&clock);
    transport.setConnector(server.connector());
    session.setHost("pop.example.org");
    session.setUsername("alice");
    session.setPassword("secret word");
  }
  ~Pop3Fixture() { EXPECT_THAT(server.errors(), IsEmpty()); }  // every client line was the expected one
  ManualClock clock;
  test::MemoryServer server;
  Transport transport;
  Pop3Session session;
};

constexpr const char* kLogin =
    "S: +OK POP3 ready <1896.697170952@dbc.mailcom.org>\nC: CAPA\nS: +OK Capability list follows\n"
    "S: TOP\nS: ..odd\nS: USER\nS: .\nC: USER alice\nS: +OK\nC: PASS secret word\nS: +OK logged in\n";

TEST(Pop3Reply, ParsesIndicatorTextAndExtendedCode) {
  const struct { const char *bytes, *indicator, *text, *code; } rows[] = {
      {"-ERR [sys/temp] later\r\n", "-ERR", "later", "SYS/TEMP"}, {"-ERR [OTHER] text\r\n", "-ERR", "[OTHER] text", ""},
      {"+OK [IN-USE] fine\r\n", "+OK", "[IN-USE] fine", ""}, {"+OK\r\n", "+OK", "", ""},
      {"\r\n\r\n+OK late\r\n", "+OK", "late", ""}, {"* garbage\r\n", "-ERR", "garbage", ""}, {"", "-ERR", "", ""},
      {"+ go on\r\n", "+", "go on", ""},
  };
  for (const auto& r : rows) {
    const Pop3Reply reply = parsePop3Reply(r.bytes);
    EXPECT_EQ(std::make_tuple(reply.indicator, reply.text(), reply.extendedCode), std::make_tuple(r.indicator, r.text, r.code));
  }
  EXPECT_THAT(parsePop3Reply("+OK-first\r\n+OK-second\r\n+OK last\r\n+OK not part\r\n").lines,
              ElementsAre("first", "second", "last"));
  for (const auto& [text, n] : {std::pair<const char*, long>{"0 0", 0}, {"", 0}, {"  7 12345  ", 7}, {"999999999 1", 999999999}})
    EXPECT_EQ(parseStatCount(text), n) << text;
  for (const char* bad : {"7", "x 1", "-1 2", "9999999999 1"}) EXPECT_THROW(parseStatCount(bad), MalformedReplyError) << bad;
}

// Each reply is read to its end, so the replies behind come in step. A pause
// longer than the plain read time-out inside a header does not end it.
TEST(Pop3Session, LoginStatTopQuitDialogue) {
  Pop3Fixture f(std::string(kLogin) + "C: STAT\nS: +OK 2 320\nC: TOP 1 0\nS: +OK\n"
                "S: Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\nW: 3000\nS:  folded\nS: ..dots: stay\nS: From: \"Name\" <n@x>\nS: .\n"
                "C: STAT\nS: +OK 7\nC: STAT\nS: +OK 0 0\nC: TOP 9 0\nS: -ERR no such message\nC: QUIT\nS: +OK bye\nX\n");
  f.session.setReadTimeout(2000);
  f.session.connect();
  EXPECT_EQ(f.server.connects().at(0).port, 110);
  EXPECT_THAT(f.session.capabilities(), ElementsAre("TOP", ".odd", "USER"));
  EXPECT_EQ(f.session.messageCount(), 2);
  MailMessage m;
  ASSERT_TRUE(f.session.retrieveHeader(1, m));
  EXPECT_THAT(m.rawHeaders, ElementsAre("Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=", " folded", "..dots: stay", "From: \"Name\" <n@x>"));
  EXPECT_EQ(std::tie(m.subject, m.from.at(0).name), std::make_tuple("Gr\u00fc\u00dfe folded", "Name"));
  EXPECT_THROW(f.session.messageCount(), MalformedReplyError);  // "+OK 7"
  EXPECT_EQ(f.session.messageCount(), 0);
  EXPECT_FALSE(f.session.retrieveHeader(9, m));  // refused: no error, the caller skips it
  EXPECT_EQ(m.subject, "");
  f.session.disconnect();
  EXPECT_FALSE(f.session.connected());
  EXPECT_TRUE(f.server.done());
}

TEST(Pop3Session, RefusalsRaiseTheReplyTextAndCode) {
  const struct { const char *script, *text, *code; } rows[] = {  // refused passwords: through the checker
      {"S: -ERR [SYS/TEMP] go away\n", "go away", "SYS/TEMP"},
      {"S: hello\n", "", ""},  // a greeting without indicator
      {"S: +OK\nC: CAPA\nS: -ERR\nC: USER alice\nS: -ERR [IN-USE] Mailbox locked\n", "Mailbox locked", "IN-USE"},
  };
  for (const auto& r : rows) {
    Pop3Fixture f(r.script);
    try {
      f.session.connect();
      ADD_FAILURE() << "connected: " << r.script;
    } catch (const Pop3ReplyError& e) {
      EXPECT_EQ(std::make_pair(e.text(), e.extendedCode()), std::make_pair(std::string(r.text), std::string(r.code)));
    }
  }
  // A QUIT refusal is raised after the connection is closed.
  Pop3Fixture quit(std::string(kLogin) + "C: QUIT\nS: -ERR [SYS/PERM] could not update\n");
  quit.session.connect();
  EXPECT_THROW(quit.session.disconnect(), Pop3ReplyError);
  EXPECT_FALSE(quit.transport.connected());
  EXPECT_THROW(Pop3Session(nullptr).connect(), NotConnectedError);
  // Credentials that would split a command are refused before connecting.
  for (const std::string& bad : {"a\r\nDELE 1"s, "a\nb"s, "a\0b"s}) {
    Pop3Fixture user("S: +OK\n"), pass("S: +OK\n");
    user.session.setUsername(bad);
    pass.session.setPassword(bad);
    EXPECT_THROW(user.session.connect(), UnsafeCredentialsError);
    EXPECT_THROW(pass.session.connect(), UnsafeCredentialsError);
    EXPECT_TRUE(user.server.connects().empty() && pass.server.connects().empty());
  }
}

// Bounds on what a server sends: an overlong header or body line is cut, not
// an error; 2 MiB of header lines keep 1 MiB; 50 MB of body keep 64 KiB; each
// reply is still read to its end.
TEST(Pop3Session, LargeRepliesAreReadToTheEndButKeptSmall) {
  const std::string longHeader = "X-Long: " + std::string(70000, 'h');
  Pop3Fixture f(std::string(kLogin) + "C: TOP 1 0\nS: +OK\nS: Subject: s\nS: " + longHeader +
                "\nS: From: a@b\nS: .\nC: RETR 1\nS: +OK\nS: Subject: t\nS: \nR: <html>" + std::string(100000, 'b') +
                "\\r\\n\nS: tail\nS: .\nC: TOP 2 0\nS: +OK\nREPEAT: 40000 X-Filler: 0123456789012345678901234567890123456789\n"
                "S: .\nC: RETR 3\nS: +OK\nS: Subject: big\nS: \n"
                "REPEAT: 660000 ..0123456789012345678901234567890123456789012345678901234567890123456789\n"
                "S: .\nC: STAT\nS: +OK 1 9\n");
  f.session.connect();
  MailMessage m;
  f.session.retrieveHeader(1, m);
  ASSERT_EQ(m.rawHeaders.size(), 3u);
  EXPECT_EQ(m.rawHeaders[1], longHeader.substr(0, Pop3Session::kMaxLineLength));
  EXPECT_EQ(m.headerValue("From"), "a@b");
  ASSERT_TRUE(f.session.retrieve(1, m));
  EXPECT_EQ(m.body.back(), "tail");
  f.session.retrieveHeader(2, m);
  EXPECT_LE(m.rawHeaderBytes, MailMessage::kMaxHeaderBytes);
  EXPECT_GT(m.droppedHeaderLines, 0u);
  ASSERT_TRUE(f.session.retrieve(3, m));
  EXPECT_LE(m.bodyBytes, MailMessage::kMaxBodyBytes);
  EXPECT_TRUE(m.bodyTruncated);
  EXPECT_EQ(m.body.at(0).substr(0, 2), ".0");
  EXPECT_EQ(f.session.messageCount(), 1);
}

}  // namespace
}  // namespace brivane
