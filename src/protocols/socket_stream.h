#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "protocols/byte_stream.h"

struct addrinfo;

// A connected TCP socket as a ByteStream, and the connect procedure.
namespace brivane {

class SocketStream : public ByteStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  ~SocketStream() override;
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  size_t read(char* buf, size_t cap, int timeoutMs) override;
  void write(std::string_view data) override;
  bool readableWithin(int timeoutMs) override;
  void close() override;
  bool isOpen() const override { return fd_ >= 0; }

  // Longest time one write may wait for room in the send buffer.
  void setWriteTimeout(int ms) { writeTimeoutMs_ = ms; }
  // True when the connection was closed because the peer reset or shut it.
  bool closedByPeer() const { return closedByPeer_; }

 private:
  [[noreturn]] void fail(int err);
  int fd_;
  int writeTimeoutMs_ = 60000;
  bool closedByPeer_ = false;
};

// Resolves `host` (IPv4 and IPv6) and connects to the addresses in order;
// an address still trying after 250 ms gets company from the next one, and
// the first connection made wins. Resolution and every connect attempt
// share `timeoutMs` (-1: no limit); the wait runs in slices of 125 ms that
// test `stop`. Errors: ConnectTimeoutError,
// StopRequestedError, SocketError (the last address's error; for a failed
// lookup the resolver's code and message).
std::unique_ptr<SocketStream> connectTcp(const std::string& host, int port, int timeoutMs,
                                         const std::atomic<bool>* stop);


// The connect step alone, over an already resolved list.
std::unique_ptr<SocketStream> connectAddresses(const ::addrinfo* list, int timeoutMs,
                                               const std::atomic<bool>* stop);

}  // namespace brivane
