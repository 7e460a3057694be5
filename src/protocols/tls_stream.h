#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "protocols/byte_stream.h"
#include "protocols/certificate.h"

// TLS client over any other ByteStream (normally a SocketStream). OpenSSL
// works on memory buffers and this class moves the records to and from the
// inner stream, so time-outs and the stop flag work exactly as for plain
// streams. TLS 1.2 and 1.3, SNI sent for host names. The server's
// certificate is verified against OpenSSL's default trust store (so
// SSL_CERT_FILE and SSL_CERT_DIR apply), for the host name or IP address
// connected to, and for its dates; one that fails is refused during the
// handshake unless it is the certificate pinned by TlsTrust.
namespace brivane {

struct TlsHandshakeLimits {
  int timeoutMs = 60000;                  // whole handshake; -1: no limit
  const std::atomic<bool>* stop = nullptr;  // tested every 125 ms
  const Clock* clock = nullptr;           // default: steady clock
};

class TlsStream : public ByteStream {
 public:
  // Runs the client handshake; throws CertificateError (a refused
  // certificate), TlsError (OpenSSL's text), TlsLibraryError,
  // ReadTimeoutError or StopRequestedError.
  TlsStream(std::unique_ptr<ByteStream> inner, const std::string& serverName,
            const TlsHandshakeLimits& limits = {}, const TlsTrust& trust = {});
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  size_t read(char* buf, size_t cap, int timeoutMs) override;
  void write(std::string_view data) override;
  bool readableWithin(int timeoutMs) override;
  void close() override;
  bool isOpen() const override { return inner_ && inner_->isOpen(); }

  // The negotiated protocol, e.g. "TLSv1.3".
  std::string protocolVersion() const;
  // The server's certificate as verified during the handshake.
  const CertificateInfo& peerCertificate() const;

 // OpenSSL's state; public only for the verification step's callback.
  struct Impl;

 private:
  void flushOut();
  bool pullIn(int timeoutMs);  // false on time-out
  [[noreturn]] void raise(int sslResult, const char* what);

  std::unique_ptr<ByteStream> inner_;
  Impl* impl_;
  std::string pending_;  // plaintext read ahead by readableWithin
};

// Initialises OpenSSL once per process; throws TlsLibraryError on failure.
void ensureOpenSsl();

// The newest OpenSSL error text, or `fallback` when the queue is empty.
std::string openSslErrorText(const std::string& fallback);

}  // namespace brivane
