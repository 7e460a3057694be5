#include "protocols/tls_stream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

#include "protocols/protocol_errors.h"

namespace brivane {

void ensureOpenSsl() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) == 1; });
  if (!ok) throw TlsLibraryError();
}

std::string openSslErrorText(const std::string& fallback) {
  unsigned long code = 0, last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (last == 0) return fallback;
  char buf[256];
  ERR_error_string_n(last, buf, sizeof buf);
  return buf;
}

struct TlsStream::Impl {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // records from the peer, owned by ssl
  BIO* out = nullptr;  // records to the peer, owned by ssl
  TlsTrust trust;
  CertificateInfo peer;  // filled by the verification step
  bool refused = false;  // the verification step refused the certificate
  ~Impl() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
};

namespace {
constexpr int kSliceMs = 125;

bool isIpLiteral(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// A distinguished name, most specific part first ("CN=mail.example.org,O=Example"),
// as UTF-8 with control characters escaped.
std::string nameText(const X509_NAME* name) {
  if (!name) return {};
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return {};
  constexpr unsigned long kFlags =
      XN_FLAG_SEP_COMMA_PLUS | XN_FLAG_DN_REV | XN_FLAG_FN_SN | XN_FLAG_DUMP_UNKNOWN_FIELDS | ASN1_STRFLGS_UTF8_CONVERT;
  X509_NAME_print_ex(bio, name, 0, kFlags);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string text = n > 0 ? escapeControl(std::string_view(data, static_cast<size_t>(std::min(n, 4096L)))) : "";
  BIO_free(bio);
  return text;
}

std::string timeText(const ASN1_TIME* t) {
  std::tm tm{};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return "?";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string fingerprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert, EVP_sha256(), md, &n) != 1) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    if (i > 0) out.push_back(':');
    out.push_back(kHex[md[i] >> 4]);
    out.push_back(kHex[md[i] & 15]);
  }
  return out;
}

CertificateProblem problemOf(int verifyError) {
  switch (verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return CertificateProblem::UnknownIssuer;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return CertificateProblem::NameMismatch;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return CertificateProblem::Expired;
    default:
      return CertificateProblem::Other;
  }
}

// The verification step of the handshake: the chain, name and dates as
// OpenSSL checks them, then the account's exception. Returning 0 ends the
// handshake with an alert, before any application data.
int verifyPeer(X509_STORE_CTX* store, void* arg) {
  auto* impl = static_cast<TlsStream::Impl*>(arg);
  const int ok = X509_verify_cert(store);
  X509* leaf = X509_STORE_CTX_get0_cert(store);
  CertificateInfo& info = impl->peer;
  info = {};
  if (leaf) {
    info.subject = nameText(X509_get_subject_name(leaf));
    info.issuer = nameText(X509_get_issuer_name(leaf));
    info.notBefore = timeText(X509_get0_notBefore(leaf));
    info.notAfter = timeText(X509_get0_notAfter(leaf));
    info.sha256 = fingerprint(leaf);
  }
  if (ok == 1) {
    info.verifies = true;
    return 1;
  }
  const int error = X509_STORE_CTX_get_error(store);
  info.problem = problemOf(error);
  info.reason = certificateReasonText(info.problem, X509_verify_cert_error_string(error));
  const bool pinned = !impl->trust.pinnedSha256.empty() && !info.sha256.empty() &&
                      normalizeFingerprint(impl->trust.pinnedSha256) == info.sha256;
  if (pinned || impl->trust.inspectOnly) {
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
  }
  if (!impl->trust.pinnedSha256.empty()) {
    info.problem = CertificateProblem::ChangedSinceTrusted;
    info.reason = certificateReasonText(info.problem);
  }
  impl->refused = true;
  return 0;
}
}  // namespace

TlsStream::TlsStream(std::unique_ptr<ByteStream> inner, const std::string& serverName,
                     const TlsHandshakeLimits& limits, const TlsTrust& trust)
    : inner_(std::move(inner)), impl_(new Impl) {
  std::unique_ptr<Impl> guard(impl_);
  ensureOpenSsl();
  ERR_clear_error();
  impl_->ctx = SSL_CTX_new(TLS_client_method());
  if (!impl_->ctx) throw TlsLibraryError();
  SSL_CTX_set_min_proto_version(impl_->ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(impl_->ctx, TLS1_3_VERSION);
  impl_->trust = trust;
  // A missing or unreadable store leaves nothing trusted: every certificate
  // then fails as from an unknown issuer, never the other way round.
  SSL_CTX_set_default_verify_paths(impl_->ctx);
  SSL_CTX_set_verify(impl_->ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(impl_->ctx, verifyPeer, impl_);
  impl_->ssl = SSL_new(impl_->ctx);
  impl_->in = BIO_new(BIO_s_mem());
  impl_->out = BIO_new(BIO_s_mem());
  if (!impl_->ssl || !impl_->in || !impl_->out) {
    if (impl_->in) BIO_free(impl_->in);
    if (impl_->out) BIO_free(impl_->out);
    throw TlsError(openSslErrorText("TLS set-up failed."));
  }
  BIO_set_mem_eof_return(impl_->in, -1);
  SSL_set_bio(impl_->ssl, impl_->in, impl_->out);
  // The name the certificate must carry: the host name without a final
  // dot, or the address for an IP literal.
  std::string host = serverName;
  if (host.size() > 1 && host.back() == '.') host.pop_back();
  if (isIpLiteral(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(impl_->ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(impl_->ssl, host.c_str());
    SSL_set_hostflags(impl_->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(impl_->ssl, host.c_str()) != 1) throw TlsError(openSslErrorText("TLS set-up failed."));
  }
  SSL_set_connect_state(impl_->ssl);

  const Clock& clock = limits.clock ? *limits.clock : Clock::steady();
  auto deadline = clock.now() + std::chrono::milliseconds(std::max(limits.timeoutMs, 0));
  for (;;) {
    int rc = SSL_do_handshake(impl_->ssl);
    if (rc == 1) break;
    int err = SSL_get_error(impl_->ssl, rc);
    if (impl_->refused) {
      try {
        flushOut();  // the alert that tells the server why
      } catch (const ProtocolError&) {
      }
      ERR_clear_error();
      throw CertificateError(serverName, impl_->peer);
    }
    if (err != SSL_ERROR_WANT_READ) raise(rc, "TLS handshake failed.");
    try {
      flushOut();
      for (;;) {
        if (limits.stop && limits.stop->load(std::memory_order_acquire)) throw StopRequestedError();
        int wait = kSliceMs;
        if (limits.timeoutMs >= 0) {
          auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.now()).count();
          if (left <= 0) throw TlsError("TLS handshake timed out.");
          wait = static_cast<int>(std::min<long long>(left, kSliceMs));
        }
        if (pullIn(wait)) break;
      }
    } catch (const ConnectionClosedError&) {
      throw TlsError(openSslErrorText("TLS handshake failed: the server closed the connection."));
    } catch (const SocketError& e) {
      throw TlsError(std::string("TLS handshake failed: ") + e.systemText());
    }
  }
  guard.release();
}

TlsStream::~TlsStream() {
  delete impl_;
}

void TlsStream::raise(int sslResult, const char* what) {
  int err = SSL_get_error(impl_->ssl, sslResult);
  if (err == SSL_ERROR_ZERO_RETURN) throw ConnectionClosedError();
  throw TlsError(openSslErrorText(what));
}

void TlsStream::flushOut() {
  char buf[16384];
  for (;;) {
    int n = BIO_read(impl_->out, buf, sizeof buf);
    if (n <= 0) return;
    inner_->write(std::string_view(buf, static_cast<size_t>(n)));
  }
}

bool TlsStream::pullIn(int timeoutMs) {
  char buf[16384];
  size_t n = inner_->read(buf, sizeof buf, timeoutMs);
  if (n == 0) return false;
  BIO_write(impl_->in, buf, static_cast<int>(n));
  return true;
}

size_t TlsStream::read(char* buf, size_t cap, int timeoutMs) {
  if (!pending_.empty()) {
    size_t n = std::min(cap, pending_.size());
    std::memcpy(buf, pending_.data(), n);
    pending_.erase(0, n);
    return n;
  }
  if (!inner_) throw ConnectionClosedError();
  int chunk = static_cast<int>(std::min<size_t>(cap, 1 << 20));
  for (;;) {
    ERR_clear_error();
    int rc = SSL_read(impl_->ssl, buf, chunk);
    if (rc > 0) return static_cast<size_t>(rc);
    int err = SSL_get_error(impl_->ssl, rc);
    if (err == SSL_ERROR_WANT_READ) {
      flushOut();  // TLS 1.3 may answer key updates
      if (!pullIn(timeoutMs)) return 0;
      continue;
    }
    raise(rc, "TLS read failed.");
  }
}

void TlsStream::write(std::string_view data) {
  if (!inner_ || !inner_->isOpen()) throw ConnectionClosedError();
  while (!data.empty()) {
    ERR_clear_error();
    int n = static_cast<int>(std::min<size_t>(data.size(), 1 << 20));
    int rc = SSL_write(impl_->ssl, data.data(), n);
    if (rc <= 0) raise(rc, "TLS write failed.");
    data.remove_prefix(static_cast<size_t>(rc));
    flushOut();
  }
}

bool TlsStream::readableWithin(int timeoutMs) {
  if (!pending_.empty() || SSL_pending(impl_->ssl) > 0) return true;
  char buf[16384];
  try {
    size_t n = read(buf, sizeof buf, timeoutMs);
    pending_.append(buf, n);
    return n > 0;
  } catch (const ConnectionClosedError&) {
    return true;  // the next read reports the close
  }
}

void TlsStream::close() {
  if (!inner_) return;
  if (inner_->isOpen()) {
    try {
      SSL_shutdown(impl_->ssl);
      flushOut();
    } catch (const ProtocolError&) {
      // The peer is gone already; nothing to say goodbye to.
    }
  }
  inner_->close();
}

std::string TlsStream::protocolVersion() const { return SSL_get_version(impl_->ssl); }

const CertificateInfo& TlsStream::peerCertificate() const { return impl_->peer; }

}  // namespace brivane
