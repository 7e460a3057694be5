#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocols/byte_stream.h"
#include "protocols/clock.h"
#include "protocols/transport.h"

// Scripted fake mail server for protocol tests.
//
// A script is text, one step a line ('#' starts a comment line):
//   C: LINE          the client must send exactly LINE
//   C~ PREFIX        the client must send a line starting with PREFIX
//   C?               the client sends any one line
//   S: LINE          the server sends LINE + CR LF
//   R: BYTES         raw bytes without line end; escapes \r \n \t \\ \xHH
//   W: MS            pause MS milliseconds
//   X                close the connection (abruptly, also under TLS)
//   SLOW             following output one byte per send (FAST ends it)
//   DRIP: MS         following output one byte every MS milliseconds
//   FAST             back to whole sends
//   STALL            send nothing more but keep the connection open
//   REPEAT: N LINE   send LINE + CR LF N times (generated on the fly)
//   FILL: N [C]      send N bytes of C (default 'a'), no line end
//   STARTTLS         (loopback) the server runs the TLS handshake here
//   HANDSHAKE-DROP   (loopback, TLS) read the client's hello, then close
//
// MemoryServer plays a script over an in-memory stream, single-threaded and
// with a ManualClock: W:, DRIP and STALL advance the clock instead of
// sleeping. LoopbackServer plays it over 127.0.0.1 on an ephemeral port in a
// thread of its own, optionally with TLS from the first byte.
//
//   ManualClock clock;
//   MemoryServer server("S: +OK hi\nC: QUIT\nS: +OK bye\nX\n", &clock);
//   Transport t; t.setClock(&clock); t.setConnector(server.connector());
//   ... run the session ...
//   EXPECT_THAT(server.transcript(), ElementsAre("S: +OK hi", "C: QUIT", "S: +OK bye"));
//   EXPECT_TRUE(server.errors().empty());
//
//   LoopbackServer server(script, {.tls = true});
//   t.setHost("127.0.0.1"); t.setPort(server.port()); t.setPassThrough(false);
//   ... ; t.close(); server.finish();
//
// Transcript entries: "C: line" for every line the client sent, "S: line"
// for S: steps, "R: <n bytes>", "REPEAT: <n>", "FILL: <n>",
// "X" for a close, "TLS" for a STARTTLS handshake.
namespace brivane::test {

struct ScriptStep {
  enum Kind {
    Expect, ExpectPrefix, ExpectAny, Send, Raw, Wait, Close, Slow, Drip, Fast, Stall,
    Repeat, Fill, StartTls, HandshakeDrop
  };
  Kind kind;
  std::string text;
  uint64_t count = 0;  // Wait/Drip: milliseconds; Repeat/Fill: how many
};

// Throws std::invalid_argument on an unknown step.
std::vector<ScriptStep> parseScript(std::string_view text);

// Output of a data step, produced in chunks so that huge steps use no memory.
class StepOutput {
 public:
  explicit StepOutput(const ScriptStep& step) : step_(&step) {}
  // Appends at most `max` further bytes; false when the step is exhausted.
  bool next(std::string& out, size_t max);
  // True when everything has been produced.
  bool exhausted() const;

 private:
  const ScriptStep* step_;
  uint64_t produced_ = 0;
};

std::string transcriptEntry(const ScriptStep& step);

class MemoryServer {
 public:
  explicit MemoryServer(std::string_view script, ManualClock* clock = nullptr);
  ~MemoryServer();

  // A stream playing the script; there is one connection per server.
  std::unique_ptr<ByteStream> stream();
  // A Transport connector handing out stream() and recording the request.
  Transport::Connector connector();

  std::vector<std::string> transcript() const { return transcript_; }
  std::vector<std::string> errors() const;
  // True when every step that needs the client has been played.
  bool done() const;
  const std::vector<Transport::ConnectRequest>& connects() const { return connects_; }

 private:
  class Stream;
  friend class Stream;
  size_t read(char* buf, size_t cap, int timeoutMs);
  void write(std::string_view data);
  bool matchClientLines();
  void spend(int64_t& budget, int64_t ms);

  std::vector<ScriptStep> steps_;
  ManualClock* clock_;
  size_t index_ = 0;
  std::unique_ptr<StepOutput> output_;
  std::string out_;
  size_t outHead_ = 0;
  enum class Mode { Fast, Slow, Drip } mode_ = Mode::Fast;
  int64_t dripMs_ = 0;
  int64_t waitLeft_ = -1;
  std::string clientIn_;
  bool serverClosed_ = false;
  bool clientClosed_ = false;
  std::vector<std::string> transcript_;
  std::vector<std::string> errors_;
  std::vector<Transport::ConnectRequest> connects_;
};

class LoopbackServer {
 public:
  struct Options {
    bool tls = false;           // TLS from the first byte
    int acceptTimeoutMs = 10000;
    int clientTimeoutMs = 10000;  // longest wait for one client line
  };
  explicit LoopbackServer(std::string_view script) : LoopbackServer(script, Options{}) {}
  LoopbackServer(std::string_view script, Options options);
  ~LoopbackServer();

  int port() const { return port_; }
  // Waits up to timeoutMs for the script and the client to end, then stops.
  void finish(int timeoutMs = 5000);

  std::vector<std::string> transcript() const;
  std::vector<std::string> errors() const;
  bool done() const { return done_.load(); }

 private:
  void run();
  void play(struct ServerConnection& conn);
  void record(std::string entry);
  void error(std::string text);

  std::vector<ScriptStep> steps_;
  Options options_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> ended_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> transcript_;
  std::vector<std::string> errors_;
  std::thread thread_;
};

}  // namespace brivane::test
