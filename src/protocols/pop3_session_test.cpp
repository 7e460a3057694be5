#include "protocols/pop3_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <typeinfo>

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

// A login without capabilities, for the fault cases.
constexpr const char* kBareLogin =
    "S: +OK ready\nC: CAPA\nS: -ERR\nC: USER alice\nS: +OK\nC: PASS secret word\nS: +OK\n";

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
  // Explicit TLS is refused rather than connecting in plain text.
  Pop3Session s(nullptr);
  EXPECT_THROW(s.setTlsMode(TlsMode::Explicit), TlsModeError);
  EXPECT_THROW(s.setTlsMode(TlsMode::RequireExplicit), TlsModeError);
  EXPECT_EQ(s.tlsMode(), TlsMode::None);
}

// An unfolded header line or a one-line HTML body beyond the line limit is
// cut, never an error; the next reply still comes in step.
TEST(Pop3Session, OverlongLinesAreCut) {
  const std::string longHeader = "X-Long: " + std::string(70000, 'h');
  Pop3Fixture f(std::string(kBareLogin) + "C: TOP 1 0\nS: +OK\nS: Subject: s\nS: " + longHeader +
                "\nS: From: a@b\nS: .\nC: RETR 1\nS: +OK\nS: Subject: t\nS: \nR: <html>" +
                std::string(100000, 'b') + "\\r\\n\nS: tail\nS: .\nC: STAT\nS: +OK 1 9\n");
  f.session.connect();
  MailMessage m;
  f.session.retrieveHeader(1, m);
  ASSERT_EQ(m.rawHeaders.size(), 3u);
  EXPECT_EQ(m.rawHeaders[1], longHeader.substr(0, Pop3Session::kMaxLineLength));
  EXPECT_EQ(m.headerValue("From"), "a@b");
  ASSERT_TRUE(f.session.retrieve(1, m));
  EXPECT_EQ(f.session.messageCount(), 1);
  EXPECT_THAT(f.server.errors(), IsEmpty());
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
  EXPECT_THAT(m.rawHeaders,
              ElementsAre("Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=", " folded", "..dots: stay", "From: \"Name\" <n@x>"));
  EXPECT_EQ(m.subject, "Gr\u00fc\u00dfe folded");
  EXPECT_EQ(m.from.at(0).name, "Name");
  f.session.disconnect();
  EXPECT_FALSE(f.session.connected());
  EXPECT_THAT(f.server.errors(), IsEmpty());
  EXPECT_TRUE(f.server.done());
}

TEST(Pop3Session, GreetingWithoutTimestampAndCapaErr) {
  Pop3Fixture f(kBareLogin);
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
      if (inUser)
        f.session.setUsername(bad);
      else
        f.session.setPassword(bad);
      EXPECT_THROW(f.session.connect(), UnsafeCredentialsError);
      EXPECT_TRUE(f.server.connects().empty());
    }
  }
}

TEST(Pop3Session, RetrKeepsTheBodyUnstuffed) {
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
  EXPECT_THAT(m.body, ElementsAre("Preamble line", ".starts with a dot", "--XX", "Content-Type: text/plain", "",
                                  "part text", "--XX--"));
  EXPECT_FALSE(f.session.retrieve(2, m));
  EXPECT_EQ(m.subject, "hi");  // untouched
  ASSERT_TRUE(f.session.retrieve(3, m));
  EXPECT_EQ(m.bodyText(), "one\r\n\r\n.two");
  ASSERT_TRUE(f.session.retrieve(4, m));  // encoded: kept raw for the preview to decode
  EXPECT_THAT(m.body, ElementsAre("aGVsbG8="));
  // Each reply above was read to its end: the STAT replies come in step.
  EXPECT_THROW(f.session.messageCount(), MalformedReplyError);  // "+OK 7"
  EXPECT_EQ(f.session.messageCount(), 0);
  EXPECT_FALSE(f.session.retrieveHeader(9, m));  // refused: no error, the caller skips it
  EXPECT_EQ(m.subject, "");
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

// Misbehaving servers: every case must end with the documented error, in
// bounded time and memory, and never crash.
enum class Step { Connect, Stat, Top, Retr };

template <class E>
std::function<bool(const std::exception&)> is() {
  return [](const std::exception& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

struct FaultCase {
  const char* name;
  std::string script;
  Step step;
  std::function<bool(const std::exception&)> expected;  // empty: must succeed
  int lineLimitMs = 60000;
  int replyLimitMs = 600000;
};

struct Outcome {
  std::string error;  // type name and text, empty on success
  bool matched = false;
  MailMessage message;
  bool retrOk = false;
};

Outcome play(const FaultCase& c, Pop3Fixture& f) {
  f.transport.setLineLimit(c.lineLimitMs);
  f.transport.setReplyLimit(c.replyLimitMs);
  Pop3Session& s = f.session;
  s.setReadTimeout(2000);  // what the checker sets; it must not cut replies short
  Outcome out;
  try {
    s.connect();
    if (c.step == Step::Stat) s.messageCount();
    if (c.step == Step::Top) s.retrieveHeader(1, out.message);
    if (c.step == Step::Retr) out.retrOk = s.retrieve(1, out.message);
    out.matched = !c.expected;
  } catch (const std::exception& e) {
    out.error = std::string(typeid(e).name()) + ": " + e.what();
    out.matched = c.expected && c.expected(e);
  }
  return out;
}

TEST(Pop3Faults, MemoryServerTable) {
  const std::string login = kBareLogin;
  const FaultCase cases[] = {
      {"dropped mid-reply", login + "C: STAT\nR: +OK 7 1\nX\n", Step::Stat, is<ConnectionClosedError>()},
      {"dropped mid-header", login + "C: TOP 1 0\nS: +OK\nS: Subject: x\nX\n", Step::Top, is<ConnectionClosedError>()},
      {"dropped before greeting", "X\n", Step::Connect, is<ConnectionClosedError>()},
      {"10 MB line without LF: cut, then the line limit", "FILL: 10000000\n", Step::Connect, is<ReadTimeoutError>()},
      {"endless header",
       login + "C: TOP 1 0\nS: +OK\nREPEAT: 40000 X-Filler: 0123456789012345678901234567890123456789\nSTALL\n",
       Step::Top, is<ReadTimeoutError>(), 1000, 5000},
      {"silence after greeting", "S: +OK hi\nSTALL\n", Step::Connect, is<ReadTimeoutError>(), 3000},
      {"half a line then silence", "R: +OK hal\nSTALL\n", Step::Connect, is<ReadTimeoutError>(), 3000},
      {"one byte per second (line limit)", "DRIP: 1000\nS: +OK a greeting that is long\n", Step::Connect,
       is<ReadTimeoutError>(), 5000},
      {"one byte per second (reply limit)", login + "C: TOP 1 0\nS: +OK\nDRIP: 1000\nREPEAT: 100 A: b\n", Step::Top,
       is<ReadTimeoutError>(), 10000, 30000},
      {"garbage greeting", "GARBAGE: 100000\n", Step::Connect, is<ProtocolError>()},
      {"garbage after CAPA", "S: +OK\nC: CAPA\nS: +OK\nGARBAGE: 100000\nX\n", Step::Connect, is<ProtocolError>()},
      {"greeting without indicator", "S: hello\n", Step::Connect, is<Pop3ReplyError>()},
      {"STAT count not a number", login + "C: STAT\nS: +OK many 3\n", Step::Stat, is<MalformedReplyError>()},
  };
  for (const auto& c : cases) {
    Pop3Fixture f(c.script);
    auto start = f.clock.now();
    Outcome out = play(c, f);
    EXPECT_TRUE(out.matched) << c.name << ": " << (out.error.empty() ? "no error" : out.error);
    // Bounded waits: nothing waits longer than its limits allow.
    EXPECT_LE(f.clock.now() - start, std::chrono::milliseconds(c.replyLimitMs) * 6) << c.name;
    EXPECT_LE(out.message.rawHeaderBytes, MailMessage::kMaxHeaderBytes) << c.name;
  }
}

// A 3 s pause inside a RETR header: the header still ends at the real blank line.
TEST(Pop3Faults, PauseInsideHeaderKeepsTheRealHeaderEnd) {
  Pop3Fixture f(std::string(kBareLogin) +
                "C: RETR 1\nS: +OK\nS: Subject: slow\nW: 3000\nS: From: a@b\nS: \nS: body\nS: .\n");
  Outcome out = play(FaultCase{"pause", "", Step::Retr, {}}, f);
  ASSERT_TRUE(out.retrOk) << out.error;
  EXPECT_THAT(out.message.rawHeaders, ::testing::ElementsAre("Subject: slow", "From: a@b"));
  EXPECT_THAT(out.message.body, ::testing::ElementsAre("body"));
}

// 2 MiB of header lines, then the terminator: read in full, 1 MiB kept, in step.
TEST(Pop3Faults, EndlessHeaderKeepsAtMostTheCap) {
  Pop3Fixture r(std::string(kBareLogin) +
                "C: TOP 1 0\nS: +OK\nREPEAT: 40000 X-Filler: 0123456789012345678901234567890123456789\n"
                "S: .\nC: STAT\nS: +OK 1 10\n");
  r.session.connect();
  MailMessage m;
  r.session.retrieveHeader(1, m);
  EXPECT_LE(m.rawHeaderBytes, MailMessage::kMaxHeaderBytes);
  EXPECT_GT(m.droppedHeaderLines, 0u);
  EXPECT_EQ(r.session.messageCount(), 1);
}

// About 50 MB of body: read to its end, unstuffed, kept small.
TEST(Pop3Faults, HugeRetrBodyIsReadToTheEndButKeptSmall) {
  Pop3Fixture r(std::string(kBareLogin) +
                "C: RETR 1\nS: +OK\nS: Subject: big\nS: \n"
                "REPEAT: 660000 ..0123456789012345678901234567890123456789012345678901234567890123456789\n"
                "S: .\nC: STAT\nS: +OK 1 50000000\n");
  r.session.connect();
  MailMessage m;
  ASSERT_TRUE(r.session.retrieve(1, m));
  EXPECT_LE(m.bodyBytes, MailMessage::kMaxBodyBytes);
  EXPECT_TRUE(m.bodyTruncated);
  ASSERT_FALSE(m.body.empty());
  EXPECT_EQ(m.body[0].substr(0, 2), ".0");
  EXPECT_EQ(r.session.messageCount(), 1);
  EXPECT_TRUE(r.server.errors().empty());
}

// Real sockets, plain and TLS.
struct LoopbackSession {
  LoopbackSession(test::LoopbackServer& server, bool tls) : session(&transport) {
    session.setHost("127.0.0.1");
    session.setPort(server.port());
    if (tls) session.setTlsMode(TlsMode::Implicit);
    session.setUsername("alice");
    session.setPassword("secret word");
    session.setConnectTimeout(5000);
  }
  Transport transport;
  Pop3Session session;
};

TEST(Pop3Faults, DroppedDuringTlsHandshakeIsATlsError) {
  test::LoopbackServer server("HANDSHAKE-DROP\n", {.tls = true});
  LoopbackSession l(server, true);
  EXPECT_THROW(l.session.connect(), TlsError);
  server.finish();
}

TEST(Pop3Faults, WriteAfterThePeerClosedIsAnError) {
  for (bool tls : {false, true}) {
    test::LoopbackServer server(std::string(kBareLogin) + "X\n", {.tls = tls});
    LoopbackSession l(server, tls);
    l.session.connect();
    EXPECT_EQ(l.transport.usingTls(), tls);
    server.finish();  // the server has closed its end
    bool failed = false;
    try {
      for (int i = 0; i < 50; ++i) {
        l.transport.writeLine("NOOP");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    } catch (const SocketError&) {
      failed = true;
    } catch (const ConnectionClosedError&) {
      failed = true;
    }
    EXPECT_TRUE(failed) << (tls ? "TLS" : "plain");
    EXPECT_FALSE(l.transport.connected());
  }
}

TEST(Pop3Faults, DropsAndDripsOverRealSockets) {
  for (bool tls : {false, true}) {
    {
      test::LoopbackServer server(std::string(kBareLogin) + "C: STAT\nR: +OK 7\nX\n", {.tls = tls});
      LoopbackSession l(server, tls);
      l.session.connect();
      EXPECT_THROW(l.session.messageCount(), ConnectionClosedError);
      server.finish();
    }
    {
      test::LoopbackServer server("DRIP: 40\nS: +OK a slowly dripping greeting\n", {.tls = tls});
      LoopbackSession l(server, tls);
      l.transport.setLineLimit(300);
      auto start = std::chrono::steady_clock::now();
      EXPECT_THROW(l.session.connect(), ReadTimeoutError);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
      l.transport.close();
      server.finish();
    }
  }
}

TEST(Pop3Faults, StopRequestEndsASilentWaitWithinASlice) {
  test::LoopbackServer server("S: +OK hi\nSTALL\n");
  LoopbackSession l(server, false);
  std::atomic<bool> stop{false};
  l.transport.setStopFlag(&stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(l.session.connect(), StopRequestedError);
  auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_LT(took, std::chrono::milliseconds(200 + 500));
  l.transport.close();
  server.finish();
}

}  // namespace
}  // namespace brivane
