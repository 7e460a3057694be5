#pragma once
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "protocols/clock.h"

// ByteStream: the byte pipe under the protocol sessions.
//
// Implementations: SocketStream (socket_stream.h, a connected TCP socket),
// TlsStream (tls_stream.h, TLS client over any other ByteStream) and
// MemoryStream (below, for tests). Sessions never use a stream directly;
// they talk through Transport (transport.h), which adds line framing, limits
// and the stop flag.
//
//   read(buf, cap, timeoutMs): waits at most timeoutMs (-1: no limit) and
//       returns the number of bytes read, 0 when nothing arrived in time.
//       Throws ConnectionClosedError when the peer has closed, SocketError /
//       TlsError on failures.
//   write(data): sends everything or throws (SocketError; for a peer that is
//       gone the stream closes itself first).
//   readableWithin(ms): true when data is buffered or arrives within ms.
//   close(): idempotent.
namespace brivane {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  virtual size_t read(char* buf, size_t cap, int timeoutMs) = 0;
  virtual void write(std::string_view data) = 0;
  virtual bool readableWithin(int timeoutMs) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
};

// A stream over fixed input chunks (chunk borders are kept, so a test can
// split a line anywhere). Output is collected in written(). When the input
// runs out, a read either reports the peer's close (closeAtEnd) or waits out
// its time-out, advancing `clock` when one is given.
class MemoryStream : public ByteStream {
 public:
  explicit MemoryStream(std::deque<std::string> chunks = {}, bool closeAtEnd = true,
                        ManualClock* clock = nullptr)
      : chunks_(std::move(chunks)), closeAtEnd_(closeAtEnd), clock_(clock) {}

  void push(std::string chunk) { chunks_.push_back(std::move(chunk)); }
  const std::string& written() const { return written_; }

  size_t read(char* buf, size_t cap, int timeoutMs) override;
  void write(std::string_view data) override;
  bool readableWithin(int timeoutMs) override;
  void close() override { open_ = false; }
  bool isOpen() const override { return open_; }

 private:
  std::deque<std::string> chunks_;
  bool closeAtEnd_;
  ManualClock* clock_;
  std::string written_;
  bool open_ = true;
};

}  // namespace brivane
