#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/byte_stream.h"
#include "protocols/certificate.h"
#include "protocols/clock.h"

// Transport: the line-oriented connection a protocol session talks through.
//
// Usage (session side):
//   Transport t;                       // or t.setConnector(...) in tests
//   t.setHost("mail.example.org"); t.setPort(995); t.setPassThrough(false);
//   t.connect();                       // TCP (+ TLS from the first byte)
//   t.writeLine("CAPA");
//   t.beginReply();                    // starts the whole-reply limit
//   std::string line = t.readReplyLine();   // a complete line, never a time-out
//   t.capture(lines, ".", true, 1000);     // up to ".", dot-unstuffed, capped
//   std::string lit = t.readBytes(n, keep); // exactly n bytes (IMAP literals)
//   t.close();
//
// Limits: a reply line must arrive complete within lineLimitMs (default
// 60000), a whole reply within replyLimitMs of beginReply() (default 10
// minutes); past either a ReadTimeoutError ("Read timed out.") is raised.
// A line longer than maxLineLength (default 16384; IMAP raises it) raises
// LineTooLongError and closes the connection, or with setCutLongLines is cut. Every wait runs in slices of at
// most 125 ms that test the stop flag (StopRequestedError).
//
// Tests: setConnector() replaces the TCP connect (e.g. by a fake server's
// memory stream) and setClock() a ManualClock, so that silences cost no time.
namespace brivane {

class Transport {
 public:
  struct ConnectRequest {
    std::string host;
    int port = 0;
    int timeoutMs = -1;
    const std::atomic<bool>* stop = nullptr;
  };
  using Connector = std::function<std::unique_ptr<ByteStream>(const ConnectRequest&)>;

  static constexpr size_t kDefaultMaxLineLength = 16384;

  Transport();
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Settings.
  void setHost(std::string host) { host_ = std::move(host); }
  const std::string& host() const { return host_; }
  void setPort(int port) { port_ = port; }
  int port() const { return port_; }
  // "host:port" (an IPv6 literal in brackets: "[::1]:993").
  void setDestination(std::string_view destination);
  void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
  int connectTimeout() const { return connectTimeoutMs_; }
  void setReadTimeout(int ms) { readTimeoutMs_ = ms; }
  int readTimeout() const { return readTimeoutMs_; }
  // true: plain TCP; false: TLS from the first byte.
  void setPassThrough(bool plain) { passThrough_ = plain; }
  bool passThrough() const { return passThrough_; }
  void setMaxLineLength(size_t bytes) { maxLineLength_ = bytes; }
  size_t maxLineLength() const { return maxLineLength_; }
  // true: a line longer than maxLineLength is read to its end and its first
  // maxLineLength bytes are returned (POP3 keeps only parts of lines
  // anyway); false (default): LineTooLongError.
  void setCutLongLines(bool cut) { cutLongLines_ = cut; }
  void setLineLimit(int ms) { lineLimitMs_ = ms; }
  int lineLimit() const { return lineLimitMs_; }
  void setReplyLimit(int ms) { replyLimitMs_ = ms; }
  int replyLimit() const { return replyLimitMs_; }
  void setStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
  // Bounds everything that follows: from now on, every wait of this
  // transport ends at most `limit` from now, then CheckTimeLimitError.
  // A negative limit removes the bound.
  void setCheckLimit(std::chrono::milliseconds limit);
  void setClock(const Clock* clock) { clock_ = clock ? clock : &Clock::steady(); }
  void setConnector(Connector connector) { connector_ = std::move(connector); }
  // What TLS accepts besides a certificate that verifies (the account's
  // trusted certificate); applies to the next connect() or startTls().
  void setTlsTrust(TlsTrust trust) { trust_ = std::move(trust); }
  const TlsTrust& tlsTrust() const { return trust_; }

  // Connection.
  void connect();
  // Uses an already open stream (tests, or a connection made elsewhere).
  void attach(std::unique_ptr<ByteStream> stream);
  // Wraps the open connection in TLS (explicit TLS after STARTTLS/STLS).
  // Bytes the server sent after its reply and before the handshake would
  // pass as if protected: they are an error (PlainTextInjectionError).
  void startTls();
  bool connected() const;
  void close();
  bool usingTls() const { return tls_; }
  // The server's certificate once TLS was reached on the last connection
  // (kept after close(), so a caller can show it).
  const std::optional<CertificateInfo>& peerCertificate() const { return peer_; }

  // Writing: the text and CR LF in one send.
  void writeLine(std::string_view line);
  void write(std::string_view data);

  // Reading with the plain time-out semantics: waits at most readTimeout per
  // wait; on a time-out returns "" and sets timedOut().
  std::string readLine();
  bool timedOut() const { return timedOut_; }

  // Reading replies (what sessions use).
  void beginReply();
  std::string readReplyLine();
  // Reads lines up to `delimiter`; with dotTransparency a line beginning
  // with ".." loses its first dot. At most maxLines are kept, the others are
  // read and dropped. Returns the number of lines dropped.
  size_t capture(std::vector<std::string>& lines, std::string_view delimiter = ".",
                 bool dotTransparency = true, size_t maxLines = static_cast<size_t>(-1));
  // Reads exactly n bytes; keeps the first `keep` of them, drops the rest.
  std::string readBytes(size_t n, size_t keep = static_cast<size_t>(-1));
  // True when data is buffered or arrives within ms (0: inputWaiting()).
  bool readableWithin(int ms);
  // One look without waiting: true when bytes are buffered here or have
  // reached the stream (over TLS: a complete record).
  bool inputWaiting();
  // Bytes read from the stream since connect/attach (after TLS: plaintext).
  uint64_t bytesRead() const { return bytesRead_; }

 private:
  bool fill(Clock::TimePoint deadline, bool limited, bool timeoutIsError);
  bool takeLine(std::string& line);
  Clock::TimePoint lineDeadline() const;
  ByteStream& stream();
  void checkStop() const;
  // Milliseconds left before the check limit (clamped to `wait`); throws
  // once it has passed.
  int checkLimitWait(int wait) const;

  std::string host_;
  int port_ = 0;
  int connectTimeoutMs_ = -1;
  int readTimeoutMs_ = -1;
  bool passThrough_ = true;
  size_t maxLineLength_ = kDefaultMaxLineLength;
  bool cutLongLines_ = false;
  bool cutting_ = false;  // inside a long line: its bytes are dropped up to LF
  std::string cutLine_;   // the kept start of that line
  int lineLimitMs_ = 60000;
  int replyLimitMs_ = 600000;
  const std::atomic<bool>* stop_ = nullptr;
  const Clock* clock_;
  Connector connector_;
  TlsTrust trust_;
  std::optional<CertificateInfo> peer_;

  std::unique_ptr<ByteStream> stream_;
  bool tls_ = false;
  std::string buffer_;
  size_t head_ = 0;     // start of the unread bytes of buffer_
  size_t scanned_ = 0;  // offset up to which buffer_ is known to hold no LF
  bool timedOut_ = false;
  Clock::TimePoint replyStart_;
  bool checkLimited_ = false;
  long long checkLimitMs_ = 0;
  Clock::TimePoint checkDeadline_;
  uint64_t bytesRead_ = 0;
};

}  // namespace brivane
