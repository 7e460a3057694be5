// Misbehaving servers: every case must end with the documented error, in
// bounded time and memory, and never crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <typeinfo>

#include "fake_server.h"
#include "protocols/pop3_session.h"
#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

constexpr const char* kLogin =
    "S: +OK ready\nC: CAPA\nS: -ERR\nC: USER u\nS: +OK\nC: PASS p\nS: +OK\n";

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

Outcome play(const FaultCase& c, ManualClock& clock, test::MemoryServer& server) {
  Transport t;
  t.setClock(&clock);
  t.setConnector(server.connector());
  t.setLineLimit(c.lineLimitMs);
  t.setReplyLimit(c.replyLimitMs);
  Pop3Session s(&t);
  s.setHost("pop.example.org");
  s.setUsername("u");
  s.setPassword("p");
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
  const std::string login = kLogin;
  const FaultCase cases[] = {
      {"dropped mid-reply", login + "C: STAT\nR: +OK 7 1\nX\n", Step::Stat, is<ConnectionClosedError>()},
      {"dropped mid-header", login + "C: TOP 1 0\nS: +OK\nS: Subject: x\nX\n", Step::Top, is<ConnectionClosedError>()},
      {"dropped before greeting", "X\n", Step::Connect, is<ConnectionClosedError>()},
      {"10 MB line without LF", "FILL: 10000000\n", Step::Connect, is<LineTooLongError>()},
      {"endless header", login + "C: TOP 1 0\nS: +OK\nREPEAT: 40000 X-Filler: 0123456789012345678901234567890123456789\nSTALL\n",
       Step::Top, is<ReadTimeoutError>(), 1000, 5000},
      {"silence after greeting", "S: +OK hi\nSTALL\n", Step::Connect, is<ReadTimeoutError>(), 3000},
      {"half a line then silence", "R: +OK hal\nSTALL\n", Step::Connect, is<ReadTimeoutError>(), 3000},
      {"one byte per second (line limit)", "DRIP: 1000\nS: +OK a greeting that is long\n", Step::Connect,
       is<ReadTimeoutError>(), 5000},
      {"one byte per second (reply limit)",
       login + "C: TOP 1 0\nS: +OK\nDRIP: 1000\nREPEAT: 100 A: b\n", Step::Top, is<ReadTimeoutError>(), 10000, 30000},
      {"garbage greeting", "GARBAGE: 100000\n", Step::Connect, is<ProtocolError>()},
      {"garbage after CAPA", "S: +OK\nC: CAPA\nS: +OK\nGARBAGE: 100000\nX\n", Step::Connect, is<ProtocolError>()},
      {"greeting without indicator", "S: hello\n", Step::Connect, is<Pop3ReplyError>()},
      {"STAT count not a number", login + "C: STAT\nS: +OK many 3\n", Step::Stat, is<MalformedReplyError>()},
  };
  for (const auto& c : cases) {
    ManualClock clock;
    test::MemoryServer server(c.script, &clock);
    auto start = clock.now();
    Outcome out = play(c, clock, server);
    EXPECT_TRUE(out.matched) << c.name << ": " << (out.error.empty() ? "no error" : out.error);
    // Bounded waits: nothing waits longer than its limits allow.
    EXPECT_LE(clock.now() - start, std::chrono::milliseconds(c.replyLimitMs) * 6) << c.name;
    EXPECT_LE(out.message.rawHeaderBytes, MailMessage::kMaxHeaderBytes) << c.name;
  }
}

// A session on a memory server, logged in.
struct MemoryRig {
  explicit MemoryRig(const std::string& script) : server(std::string(kLogin) + script, &clock), s(&t) {
    t.setClock(&clock);
    t.setConnector(server.connector());
    s.setHost("h");
    s.setUsername("u");
    s.setPassword("p");
    s.connect();
  }
  ManualClock clock;
  test::MemoryServer server;
  Transport t;
  Pop3Session s;
};

// A 3 s pause inside a RETR header: the header still ends at the real blank line.
TEST(Pop3Faults, PauseInsideHeaderKeepsTheRealHeaderEnd) {
  ManualClock clock;
  test::MemoryServer server(std::string(kLogin) +
                                "C: RETR 1\nS: +OK\nS: Subject: slow\nW: 3000\nS: From: a@b\nS: \nS: body\nS: .\n",
                            &clock);
  FaultCase c{"pause", "", Step::Retr, {}};
  Outcome out = play(c, clock, server);
  ASSERT_TRUE(out.retrOk) << out.error;
  EXPECT_THAT(out.message.rawHeaders, ::testing::ElementsAre("Subject: slow", "From: a@b"));
  EXPECT_THAT(out.message.body, ::testing::ElementsAre("body"));
}

// 2 MiB of header lines, then the terminator: read in full, 1 MiB kept, in step.
TEST(Pop3Faults, EndlessHeaderKeepsAtMostTheCap) {
  MemoryRig r("C: TOP 1 0\nS: +OK\nREPEAT: 40000 X-Filler: 0123456789012345678901234567890123456789\n"
              "S: .\nC: STAT\nS: +OK 1 10\n");
  MailMessage m;
  r.s.retrieveHeader(1, m);
  EXPECT_LE(m.rawHeaderBytes, MailMessage::kMaxHeaderBytes);
  EXPECT_GT(m.droppedHeaderLines, 0u);
  EXPECT_EQ(r.s.messageCount(), 1);
}

// About 50 MB of body: read to its end, unstuffed, kept small.
TEST(Pop3Faults, HugeRetrBodyIsReadToTheEndButKeptSmall) {
  MemoryRig r("C: RETR 1\nS: +OK\nS: Subject: big\nS: \n"
              "REPEAT: 660000 ..0123456789012345678901234567890123456789012345678901234567890123456789\n"
              "S: .\nC: STAT\nS: +OK 1 50000000\n");
  MailMessage m;
  ASSERT_TRUE(r.s.retrieve(1, m));
  EXPECT_LE(m.bodyBytes, MailMessage::kMaxBodyBytes);
  EXPECT_TRUE(m.bodyTruncated);
  ASSERT_FALSE(m.body.empty());
  EXPECT_EQ(m.body[0].substr(0, 2), ".0");
  EXPECT_EQ(r.s.messageCount(), 1);
  EXPECT_TRUE(r.server.errors().empty());
}

// Real sockets, plain and TLS.
struct LoopbackSession {
  LoopbackSession(test::LoopbackServer& server, bool tls) : session(&transport) {
    session.setHost("127.0.0.1");
    session.setPort(server.port());
    if (tls) session.setTlsMode(TlsMode::Implicit);
    session.setUsername("u");
    session.setPassword("p");
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
    test::LoopbackServer server("S: +OK hi\nC: CAPA\nS: -ERR\nC: USER u\nS: +OK\nC: PASS p\nS: +OK\nX\n", {.tls = tls});
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
      test::LoopbackServer server(std::string(kLogin) + "C: STAT\nR: +OK 7\nX\n", {.tls = tls});
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
