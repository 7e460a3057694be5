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

// Scripted fake mail server for protocol tests. A script is text, one step a
// line ('#' starts a comment line):
//   C: LINE          the client must send exactly LINE
//   C~ PREFIX        the client must send a line starting with PREFIX
//   C?               the client sends any one line
//   S: LINE          the server sends LINE + CR LF
//   R: BYTES         raw bytes without line end; escapes \r \n \t \\ \xHH
//   W: MS            pause MS milliseconds
//   X                close the connection (abruptly, also under TLS)
//   SLOW / FAST      following output one byte per send / whole sends again
//   DRIP: MS         following output one byte every MS milliseconds
//   STALL            send nothing more but keep the connection open
//   REPEAT: N LINE   send LINE + CR LF N times (generated on the fly)
//   FILL: N [C]      send N bytes of C (default 'a'), no line end
//   HANDSHAKE-DROP   (loopback, TLS) read the client's hello, then close
// MemoryServer plays a script over an in-memory stream on the caller's thread
// with a ManualClock (W:, DRIP and STALL advance it instead of sleeping);
// LoopbackServer plays it on 127.0.0.1 in a thread of its own, optionally with
// TLS from the first byte. Transcript entries: "C: line" for every client
// line, "S: line", "R: <n bytes>", "REPEAT: <n>", "FILL: <n>", "X" for a close.
namespace brivane::test {

struct ScriptStep;

class MemoryServer {
 public:
  explicit MemoryServer(std::string_view script, ManualClock* clock = nullptr);
  ~MemoryServer();

  // A Transport connector recording the request and handing out a stream that
  // plays the script (there is one connection per server).
  Transport::Connector connector();

  std::vector<std::string> transcript() const { return transcript_; }
  std::vector<std::string> errors() const { return errors_; }
  // True when every step that needs the client has been played.
  bool done() const;
  const std::vector<Transport::ConnectRequest>& connects() const { return connects_; }

 private:
  class Stream;
  size_t read(char* buf, size_t cap, int timeoutMs);
  void write(std::string_view data);
  bool matchClientLines();

  std::vector<ScriptStep> steps_;
  ManualClock* clock_;
  size_t index_ = 0, outHead_ = 0;
  uint64_t produced_ = 0;  // of the output step at index_
  std::string out_, clientIn_;
  bool serverClosed_ = false, clientClosed_ = false;
  int64_t dripMs_ = -1, waitLeft_ = -1;  // output: whole (-1) or a byte every dripMs_
  std::vector<std::string> transcript_, errors_;
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
  void record(std::string entry, bool error = false);

  std::vector<ScriptStep> steps_;
  Options options_;
  int listenFd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false}, done_{false}, ended_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> transcript_, errors_;
  std::thread thread_;
};

}  // namespace brivane::test
