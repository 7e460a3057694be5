#include "protocols/transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "fake_server.h"
#include "protocols/protocol_errors.h"
#include "protocols/socket_stream.h"
#include "protocols/tls_stream.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A transport reading fixed chunks; the clock only moves while it waits.
struct MemoryTransport {
  explicit MemoryTransport(std::deque<std::string> chunks, bool closeAtEnd = false) {
    auto stream = std::make_unique<MemoryStream>(std::move(chunks), closeAtEnd, &clock);
    memory = stream.get();
    t.setClock(&clock);
    t.attach(std::move(stream));
  }
  ManualClock clock;
  MemoryStream* memory;
  Transport t;
};

// Lines come out the same whatever the chunks and wherever the stream is cut;
// a close before a line's end is an error, not a line.
TEST(TransportLines, SplitsAndTerminatorsReadAlike) {
  const struct {
    const char* name;
    std::deque<std::string> chunks;
    std::vector<std::string> lines;
  } rows[] = {
      {"CRLF and LF", {"a\r\nb\n"}, {"a", "b"}},
      {"terminator split over chunks", {"a\r", "\nb", "\r\n"}, {"a", "b"}},
      {"line over chunks", {"a", "b", "c\n"}, {"abc"}},
      {"empty lines", {"\r\n\n"}, {"", ""}},
      {"only the CR before LF goes", {"x\ry\r\r\n"}, {"x\ry\r"}},
      {"closed mid-line", {"one\ntwo\r", "\nhal"}, {"one", "two"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    MemoryTransport m(r.chunks, true);
    std::vector<std::string> got;
    for (size_t i = 0; i < r.lines.size(); ++i) got.push_back(m.t.readReplyLine());
    EXPECT_THAT(got, ElementsAreArray(r.lines));
    EXPECT_THROW(m.t.readReplyLine(), ConnectionClosedError);
  }
  const std::string data = "+OK ready\r\nline two\nthree\r\n.\r\n";
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    MemoryTransport m({data.substr(0, cut), data.substr(cut)}, true);
    std::vector<std::string> lines;
    m.t.capture(lines);
    EXPECT_THAT(lines, ElementsAre("+OK ready", "line two", "three")) << "cut at " << cut;
  }
}

TEST(TransportLines, LineLimitIsExactAndSettable) {
  const std::string max(Transport::kDefaultMaxLineLength, 'x');
  MemoryTransport exact({max + "\r\n"}, true);
  EXPECT_EQ(exact.t.readReplyLine().size(), max.size());
  MemoryTransport over({max + "y\r\n"}, true);
  EXPECT_THROW(over.t.readReplyLine(), LineTooLongError);
  EXPECT_FALSE(over.t.connected());
  MemoryTransport early({max + "yz", "\n"}, true);  // detected before the LF arrives
  EXPECT_THROW(early.t.readReplyLine(), LineTooLongError);
  MemoryTransport raised({max + max + "\n"}, true);
  raised.t.setMaxLineLength(4 << 20);
  EXPECT_EQ(raised.t.readReplyLine().size(), 2 * max.size());
}

TEST(TransportLines, PlainReadTimeoutGivesEmptyLineAndFlag) {
  MemoryTransport m({"par"});
  m.t.setReadTimeout(2000);
  auto start = m.clock.now();
  EXPECT_EQ(m.t.readLine(), "");
  EXPECT_TRUE(m.t.timedOut());
  EXPECT_GE(m.clock.now() - start, std::chrono::milliseconds(2000));
  m.memory->push("tial\r\n");
  EXPECT_EQ(m.t.readLine(), "partial");
  EXPECT_FALSE(m.t.timedOut());
}

TEST(TransportLines, ReplyLinesNeverTimeOutSilentlyButRaise) {
  MemoryTransport half({"half a li"});
  half.t.setLineLimit(500);
  half.t.setReadTimeout(100);  // the plain read time-out plays no part here
  half.t.beginReply();
  EXPECT_THROW(half.t.readReplyLine(), ReadTimeoutError);

  // Every line in time, but the reply as a whole is too slow.
  MemoryTransport m({});
  m.t.setLineLimit(1000);
  m.t.setReplyLimit(3000);
  m.t.beginReply();
  int lines = 0;
  try {
    for (;; ++lines) {
      m.clock.advance(std::chrono::milliseconds(900));
      m.memory->push("line\r\n");
      m.t.readReplyLine();
    }
  } catch (const ReadTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Read timed out.");
  }
  EXPECT_EQ(lines, 3);
}

// Capture unstuffs dots and caps the lines; readBytes is exact across chunks
// and keeps only what is asked.
TEST(TransportLines, CaptureAndReadBytes) {
  MemoryTransport m({"a\r\n..b\r\n.c\r\n...\r\n", "x\r\ny\r\n.", "\r\n12", "345678", "9\r\nnext\r\n"}, true);
  std::vector<std::string> lines;
  EXPECT_EQ(m.t.capture(lines, ".", true, 5), 1u);
  EXPECT_THAT(lines, ElementsAre("a", ".b", ".c", "..", "x"));
  EXPECT_EQ(m.t.readBytes(4), "1234");
  EXPECT_EQ(m.t.readBytes(5, 2), "56");
  EXPECT_EQ(m.t.readReplyLine(), "");
  EXPECT_EQ(m.t.readReplyLine(), "next");
}

TEST(TransportLines, ReadableWithinSeesBufferedDataAndTheStopFlagEndsAWait) {
  MemoryTransport m({"a\r\nb\r\n"});
  EXPECT_TRUE(m.t.readableWithin(10));
  m.t.readReplyLine();
  EXPECT_TRUE(m.t.readableWithin(10));  // "b" is buffered already
  m.t.readReplyLine();
  EXPECT_FALSE(m.t.readableWithin(10));
  std::atomic<bool> stop{true};
  m.t.setStopFlag(&stop);
  EXPECT_THROW(m.t.readReplyLine(), StopRequestedError);
}

TEST(TransportConnect, RequiresHostPortAndConnection) {
  Transport t;
  EXPECT_THROW(t.writeLine("NOOP"), NotConnectedError);
  EXPECT_THROW(t.connect(), HostRequiredError);
  t.setDestination("mail.example.org:0");
  EXPECT_EQ(t.host(), "mail.example.org");
  EXPECT_THROW(t.connect(), PortRequiredError);
  t.setDestination("[::1]:993");
  EXPECT_EQ(t.host(), "::1");
  EXPECT_EQ(t.port(), 993);
}

TEST(TransportConnect, RefusedConnectionIsASocketErrorWithSystemText) {
  // A port that was just free: a fake server's, after it has ended.
  const int port = test::LoopbackServer("").port();
  Transport t;
  t.setHost("127.0.0.1");
  t.setPort(port);
  t.setConnectTimeout(2000);
  try {
    t.connect();
    FAIL() << "connected to a closed port";
  } catch (const SocketError& e) {
    EXPECT_EQ(e.code(), ECONNREFUSED);
    EXPECT_EQ(std::string(e.what()), "Socket Error # " + std::to_string(ECONNREFUSED) + "\r\n" + std::strerror(ECONNREFUSED));
  }
}

// A listening socket whose accept queue is full: further connects hang.
struct FullListener {
  FullListener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    filler = connectTcp("127.0.0.1", port, 1000, nullptr);
  }
  ~FullListener() { ::close(fd); }
  int fd;
  int port;
  std::unique_ptr<SocketStream> filler;
};

TEST(TransportConnect, ConnectTimesOutAndStops) {
  FullListener listener;
  Transport t;
  t.setHost("127.0.0.1");
  t.setPort(listener.port);
  t.setConnectTimeout(400);
  auto start = std::chrono::steady_clock::now();
  try {
    t.connect();
    GTEST_SKIP() << "the system accepted beyond the listen queue";
  } catch (const ConnectTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Connect timed out.");
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(390));
  EXPECT_LT(took, std::chrono::milliseconds(400 + 600));

  std::atomic<bool> stop{false};
  t.setStopFlag(&stop);
  t.setConnectTimeout(-1);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    stop = true;
  });
  EXPECT_THROW(t.connect(), StopRequestedError);
  stopper.join();
}

// A first address that never answers (a black-holed IPv6 route) gives way to
// the next one after 250 ms, within the one time-out.
TEST(TransportConnect, SilentFirstAddressGivesWayToTheNext) {
  FullListener hole;
  FullListener good;
  ::listen(good.fd, 8);  // room in its queue again
  sockaddr_in addrs[2]{};
  addrinfo infos[2]{};
  for (int k = 0; k < 2; ++k) {
    addrs[k].sin_family = AF_INET;
    addrs[k].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addrs[k].sin_port = htons(static_cast<uint16_t>(k == 0 ? hole.port : good.port));
    infos[k].ai_family = AF_INET;
    infos[k].ai_socktype = SOCK_STREAM;
    infos[k].ai_addr = reinterpret_cast<sockaddr*>(&addrs[k]);
    infos[k].ai_addrlen = sizeof addrs[k];
  }
  infos[0].ai_next = &infos[1];
  try {
    auto stream = connectAddresses(infos, 3000, nullptr);
    EXPECT_TRUE(stream && stream->isOpen());
  } catch (const ConnectTimeoutError&) {
    ADD_FAILURE() << "the silent first address used up the time-out";
  }
}

TEST(TransportConnect, FailedLookupIsASocketError) {
  Transport t;
  t.setHost("no-such-host.invalid");
  t.setPort(110);
  t.setConnectTimeout(5000);
  EXPECT_THROW(t.connect(), SocketError);
}

// Real sockets, plain and TLS: a dialogue, a close, half a line then
// silence, a stop request while waiting, writes after the peer has gone.
TEST(TransportConnect, LoopbackServersThatTalkCloseOrFallSilent) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    std::atomic<bool> stop{false};
    const auto open = [&](test::LoopbackServer& server) {
      auto t = std::make_unique<Transport>();
      t->setHost("localhost");
      t->setPort(server.port());
      t->setPassThrough(!tls);
      t->setConnectTimeout(5000);
      t->setStopFlag(&stop);
      t->connect();
      EXPECT_EQ(t->usingTls(), tls);
      return t;
    };
    test::LoopbackServer talk("S: hello\nC: PING\nS: PONG\nX\n", {.tls = tls});
    auto t = open(talk);
    EXPECT_EQ(t->readReplyLine(), "hello");
    t->writeLine("PING");
    EXPECT_EQ(t->readReplyLine(), "PONG");
    EXPECT_THROW(t->readReplyLine(), ConnectionClosedError);
    talk.finish();
    EXPECT_THAT(talk.transcript(), ElementsAre("S: hello", "C: PING", "S: PONG", "X"));
    EXPECT_TRUE(talk.errors().empty());

    test::LoopbackServer silent("R: hal\nSTALL\n", {.tls = tls}), stopped("STALL\n", {.tls = tls});
    t = open(silent);
    t->setLineLimit(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(t->readReplyLine(), ReadTimeoutError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    t = open(stopped);
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      stop = true;
    });
    EXPECT_THROW(t->readReplyLine(), StopRequestedError);
    stopper.join();
    stop = false;
    t->close();
    silent.finish();
    stopped.finish();

    test::LoopbackServer gone("X\n", {.tls = tls});
    t = open(gone);
    gone.finish();
    EXPECT_ANY_THROW({
      for (int i = 0; i < 50; ++i) {
        t->writeLine("NOOP");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    EXPECT_FALSE(t->connected());
  }
  test::LoopbackServer drop("HANDSHAKE-DROP\n", {.tls = true});
  Transport t;
  t.setHost("127.0.0.1");
  t.setPort(drop.port());
  t.setPassThrough(false);
  EXPECT_THROW(t.connect(), TlsError);
  drop.finish();
}

TEST(FakeServer, MemoryRunnerChecksClientLinesAndAdvancesTheClock) {
  ManualClock clock;
  test::MemoryServer server("S: +OK\nC: A\nW: 5000\nS: late\nC~ B \nX\n", &clock);
  Transport t;
  t.setClock(&clock);
  t.setConnector(server.connector());
  t.setHost("h");
  t.setPort(1);
  t.connect();
  EXPECT_EQ(t.readReplyLine(), "+OK");
  t.writeLine("A");
  auto before = clock.now();
  EXPECT_EQ(t.readReplyLine(), "late");
  EXPECT_GE(clock.now() - before, std::chrono::milliseconds(5000));
  t.writeLine("WRONG");
  EXPECT_THROW(t.readReplyLine(), ConnectionClosedError);
  EXPECT_THAT(server.transcript(), ElementsAre("S: +OK", "C: A", "S: late", "C: WRONG", "X"));
  EXPECT_THAT(server.errors(), ElementsAre("expected C~ B , client sent: WRONG"));
  EXPECT_TRUE(server.done());
}

}  // namespace
}  // namespace brivane
