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
//   HANDSHAKE-DROP   (loopback) read what the client sends (its TLS hello), then close
//   STARTTLS         (loopback) run the server's side of a TLS handshake now, with
//                    the server's certificate; later steps go over TLS. Bytes
//                    sent before it stay plain (R: before STARTTLS is how a test
//                    injects them between "OK Begin TLS" and the handshake); a
//                    client that sent bytes after its command is an error.
// MemoryServer plays a script over an in-memory stream on the caller's thread
// with a ManualClock (W:, DRIP and STALL advance it instead of sleeping);
// LoopbackServer plays it on 127.0.0.1 in a thread of its own, optionally with
// TLS from the first byte. Transcript entries: "C: line" for every client
// line, "S: line", "R: <n bytes>", "REPEAT: <n>", "FILL: <n>", "X" for a close,
// "STARTTLS", and "TLS handshake failed: REASON" (OpenSSL's words, such as
// "tlsv1 alert unknown ca" when the client refused the certificate; an error
// too when script steps were left).
//
// Certificates: a test CA (EC P-256, "Brivane Loopback Test CA") and the
// certificates of Options::Certificate are made once per process.
// trustTestCa() makes the CA trusted by OpenSSL's default verify paths in
// this process and the programs it starts; every LoopbackServer that uses
// TLS calls it, so a client that verifies accepts CaSigned.
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
    // What the server presents in a TLS handshake (from the first byte or at STARTTLS).
    enum class Certificate {
      CaSigned,     // by the test CA; subjectAltName DNS:localhost, IP:127.0.0.1; valid now
      SelfSigned,   // the same names, its own issuer
      Expired,      // by the test CA, the same names; notBefore and notAfter in the past
      WeakRsa1024,  // self-signed, RSA 1024 bits, SHA-1 signature (OpenSSL refuses it at security level 2)
    };
    bool tls = false;           // TLS from the first byte
    Certificate certificate = Certificate::CaSigned;
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

// The SHA-256 fingerprint of a certificate's DER form, "AB:CD:..." (upper
// case, 95 characters), as a test pins it.
std::string certificateSha256(LoopbackServer::Options::Certificate kind);

// Makes the test CA trusted, once per process (later calls do nothing):
// writes a PEM bundle of the test CA and the certificates of the
// $SSL_CERT_FILE already set (the Dovecot harness's CA under CTest) to a
// temporary file, removed when the process exits, and points $SSL_CERT_FILE
// at it. It changes the environment: call it before starting threads that
// read it (the LoopbackServer constructor does). Throws std::runtime_error
// when the file cannot be written.
void trustTestCa();

}  // namespace brivane::test
