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
using std::chrono::milliseconds;

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

// Sets `stop` after 150 ms, while the caller waits.
struct DelayedStop {
  explicit DelayedStop(std::atomic<bool>& stop)
      : thread([&stop] { std::this_thread::sleep_for(milliseconds(150)), stop = true; }) {}
  ~DelayedStop() { thread.join(); }
  std::thread thread;
};

// Lines come out the same whatever the chunks and wherever the stream is cut;
// a close before a line's end is an error, not a line.
TEST(TransportLines, SplitsAndTerminatorsReadAlike) {
  const struct { std::deque<std::string> chunks; std::vector<std::string> lines; } rows[] = {
      {{"a\r\nb\n"}, {"a", "b"}}, {{"a\r", "\nb", "\r\n"}, {"a", "b"}}, {{"a", "b", "c\n"}, {"abc"}},
      {{"\r\n\n"}, {"", ""}}, {{"x\ry\r\r\n"}, {"x\ry\r"}}, {{"one\ntwo\r", "\nhal"}, {"one", "two"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.lines[0]);
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

// A reply line raises when it, or the reply as a whole, is too slow.
TEST(TransportLines, TimeOuts) {
  MemoryTransport half({"half a li"});
  half.t.setLineLimit(500);
  half.t.setReadTimeout(100);  // the plain read time-out plays no part here
  half.t.beginReply();
  EXPECT_THROW(half.t.readReplyLine(), ReadTimeoutError);
  MemoryTransport slow({});
  slow.t.setLineLimit(1000);
  slow.t.setReplyLimit(3000);
  slow.t.beginReply();
  int lines = 0;
  try {
    for (;; ++lines) {
      slow.clock.advance(milliseconds(900));
      slow.memory->push("line\r\n");
      slow.t.readReplyLine();
    }
  } catch (const ReadTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Read timed out.");
  }
  EXPECT_EQ(lines, 3);
}

// Capture unstuffs dots and caps the lines; readBytes is exact across chunks
// and keeps only what is asked; buffered data is readable at once.
TEST(TransportLines, CaptureReadBytesAndReadableWithin) {
  MemoryTransport m({"a\r\n..b\r\n.c\r\n...\r\n", "x\r\ny\r\n.", "\r\n12", "345678", "9\r\nnext\r\nlast\r\n"});
  std::vector<std::string> lines;
  EXPECT_EQ(m.t.capture(lines, ".", true, 5), 1u);
  EXPECT_THAT(lines, ElementsAre("a", ".b", ".c", "..", "x"));
  EXPECT_EQ(m.t.readBytes(4), "1234");
  EXPECT_EQ(m.t.readBytes(5, 2), "56");
  EXPECT_EQ(m.t.readReplyLine(), "");
  EXPECT_TRUE(m.t.readableWithin(10));
  EXPECT_EQ(m.t.readReplyLine(), "next");
  EXPECT_TRUE(m.t.readableWithin(10));  // "last" is buffered already
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
  t.setHost("no-such-host.invalid");
  t.setConnectTimeout(5000);
  EXPECT_THROW(t.connect(), SocketError);  // a failed lookup
  t.setHost("127.0.0.1");
  t.setPort(test::LoopbackServer("").port());  // a port that was just free
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
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    filler = connectTcp("127.0.0.1", ntohs(addr.sin_port), 1000, nullptr);
  }
  ~FullListener() { ::close(fd); }
  int fd;
  sockaddr_in addr{};
  std::unique_ptr<SocketStream> filler;
};

// Times out, or ends on a stop request; a first address that never answers
// (a black-holed IPv6 route) gives way to the next after 250 ms, within the
// one time-out.
TEST(TransportConnect, SilentListenersTimeOutStopOrGiveWay) {
  FullListener hole;
  Transport t;
  t.setHost("127.0.0.1");
  t.setPort(ntohs(hole.addr.sin_port));
  t.setConnectTimeout(400);
  auto start = std::chrono::steady_clock::now();
  try {
    t.connect();
    GTEST_SKIP() << "the system accepted beyond the listen queue";
  } catch (const ConnectTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Connect timed out.");
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(390));
  EXPECT_LT(took, milliseconds(400 + 600));
  std::atomic<bool> stop{false};
  t.setStopFlag(&stop);
  t.setConnectTimeout(-1);
  {
    DelayedStop stopper(stop);
    EXPECT_THROW(t.connect(), StopRequestedError);
  }
  FullListener good;
  ::listen(good.fd, 8);  // room in its queue again
  addrinfo second{.ai_flags = 0, .ai_family = AF_INET, .ai_socktype = SOCK_STREAM, .ai_protocol = 0,
                  .ai_addrlen = sizeof good.addr, .ai_addr = reinterpret_cast<sockaddr*>(&good.addr),
                  .ai_canonname = nullptr, .ai_next = nullptr};
  addrinfo first = second;
  first.ai_addr = reinterpret_cast<sockaddr*>(&hole.addr);
  first.ai_next = &second;
  EXPECT_NO_THROW(EXPECT_TRUE(connectAddresses(&first, 3000, nullptr)->isOpen()))
      << "the silent first address used up the time-out";
}

// Real sockets, plain and TLS: a dialogue, a close, half a line then
// silence, a stop request while waiting, writes after the peer has gone.
TEST(TransportConnect, LoopbackServersThatTalkCloseOrFallSilent) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    std::atomic<bool> stop{false};
    const auto open = [&](test::LoopbackServer& server) {
      auto t = std::make_unique<Transport>();
      t->setDestination("localhost:" + std::to_string(server.port()));
      t->setPassThrough(!tls);
      t->setConnectTimeout(5000);
      t->setStopFlag(&stop);
      t->connect();
      EXPECT_EQ(t->usingTls(), tls);
      return t;
    };
    test::LoopbackServer talk("S: hello\nC: PING\nS: PONG\nX\n", {.tls = tls}), silent("R: hal\nSTALL\n", {.tls = tls}),
        stopped("STALL\n", {.tls = tls}), gone("X\n", {.tls = tls});
    auto t = open(talk);
    EXPECT_EQ(t->readReplyLine(), "hello");
    t->writeLine("PING");
    EXPECT_EQ(t->readReplyLine(), "PONG");
    EXPECT_THROW(t->readReplyLine(), ConnectionClosedError);
    talk.finish();
    EXPECT_TRUE(talk.errors().empty());
    t = open(silent);
    t->setLineLimit(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(t->readReplyLine(), ReadTimeoutError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    t = open(stopped);
    {
      DelayedStop stopper(stop);
      EXPECT_THROW(t->readReplyLine(), StopRequestedError);
    }
    stop = false;
    t = open(gone);
    gone.finish();
    EXPECT_ANY_THROW({
      for (int i = 0; i < 50; ++i) (t->writeLine("NOOP"), std::this_thread::sleep_for(milliseconds(10)));
    });
    EXPECT_FALSE(t->connected());
  }
  test::LoopbackServer drop("HANDSHAKE-DROP\n", {.tls = true});
  Transport t;
  t.setDestination("127.0.0.1:" + std::to_string(drop.port()));
  t.setPassThrough(false);
  EXPECT_THROW(t.connect(), TlsError);
}

}  // namespace
}  // namespace brivane
