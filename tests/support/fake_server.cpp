#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/text.h"
#include "protocols/protocol_errors.h"
#include "protocols/tls_stream.h"

namespace brivane::test {

// Expectations, then output steps, then the rest (isExpect, isOutput and the parser rely on the order).
struct ScriptStep {
  enum Kind { Expect, ExpectPrefix, ExpectAny, Send, Raw, Repeat, Fill, Wait, Close, Drip, Fast, Stall, HandshakeDrop,
              StartTls };
  Kind kind;
  std::string text;
  uint64_t count = 0;  // Wait/Drip: milliseconds (SLOW is DRIP: 0); Repeat/Fill: how many
};

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

bool isExpect(ScriptStep::Kind k) { return k <= ScriptStep::ExpectAny; }
bool isOutput(ScriptStep::Kind k) { return k >= ScriptStep::Send && k <= ScriptStep::Fill; }

std::string unescape(std::string_view s) {
  static constexpr std::string_view from = "rnt0", to{"\r\n\t\0", 4};
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
    } else if (s[++i] != 'x') {
      out += from.find(s[i]) == from.npos ? s[i] : to[from.find(s[i])];
    } else if (i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

std::vector<ScriptStep> parseScript(std::string_view text) {
  using K = ScriptStep::Kind;
  static const std::pair<std::string_view, K> words[] = {
      {"X", K::Close}, {"SLOW", K::Drip}, {"FAST", K::Fast}, {"STALL", K::Stall}, {"HANDSHAKE-DROP", K::HandshakeDrop},
      {"STARTTLS", K::StartTls}};
  static const std::pair<std::string_view, K> prefixes[] = {
      {"C:", K::Expect}, {"C~", K::ExpectPrefix}, {"C?", K::ExpectAny}, {"S:", K::Send}, {"R:", K::Raw},
      {"W:", K::Wait},   {"DRIP:", K::Drip},      {"REPEAT:", K::Repeat}, {"FILL:", K::Fill}};
  std::vector<ScriptStep> steps;
  for (bool more = true; more;) {
    std::string_view line;
    more = takeLine(text, line);
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t")));
    if (line.empty() || line[0] == '#') continue;
    auto word = std::ranges::find(words, line, [](auto& w) { return w.first; });
    auto prefix = std::ranges::find_if(prefixes, [&](auto& p) { return line.starts_with(p.first); });
    if (word != std::end(words)) {
      steps.push_back({word->second, {}});
      continue;
    }
    if (prefix == std::end(prefixes)) throw std::invalid_argument("script: unknown step: " + std::string(line));
    std::string arg(line.substr(prefix->first.size()));
    if (!arg.empty() && arg[0] == ' ') arg.erase(0, 1);
    ScriptStep st{prefix->second, arg};
    if (st.kind == K::Raw) st.text = unescape(arg);
    const char* digits = arg.data() + std::min(arg.size(), arg.find_first_not_of(' '));
    if (st.kind >= K::Repeat && std::from_chars(digits, arg.data() + arg.size(), st.count).ec != std::errc())  // numbered
      throw std::invalid_argument("script: number expected in: " + std::string(line));
    if (st.kind == K::Repeat || st.kind == K::Fill) {
      size_t sp = arg.find(' ');
      st.text = sp == std::string::npos ? "" : arg.substr(sp + 1, st.kind == K::Fill ? 1 : std::string::npos);
      if (st.kind == K::Fill && st.text.empty()) st.text = "a";
    }
    steps.push_back(std::move(st));
  }
  return steps;
}

std::string transcriptEntry(const ScriptStep& s) {
  switch (s.kind) {
    case ScriptStep::Expect: return "C: " + s.text;
    case ScriptStep::ExpectPrefix: return "C~ " + s.text;
    case ScriptStep::ExpectAny: return "C?";
    case ScriptStep::Send: return "S: " + s.text;
    case ScriptStep::Raw: return "R: <" + std::to_string(s.text.size()) + " bytes>";
    case ScriptStep::Repeat: return "REPEAT: <" + std::to_string(s.count) + ">";
    case ScriptStep::Fill: return "FILL: <" + std::to_string(s.count) + ">";
    case ScriptStep::Close: return "X";
    case ScriptStep::HandshakeDrop: return "HANDSHAKE-DROP";
    case ScriptStep::StartTls: return "STARTTLS";
    default: return {};
  }
}

// Checks one client line against an expectation step; empty when it matches.
std::string mismatch(const ScriptStep& step, const std::string& line) {
  bool ok = step.kind == ScriptStep::ExpectAny || (step.kind == ScriptStep::Expect && line == step.text) ||
            (step.kind == ScriptStep::ExpectPrefix && line.starts_with(step.text));
  return ok ? std::string() : "expected " + transcriptEntry(step) + ", client sent: " + line;
}

// Appends the next chunk (about `max` bytes) of an output step, generated on
// the fly so that huge steps use no memory; false once the step is exhausted.
bool nextChunk(const ScriptStep& s, uint64_t& produced, std::string& out, size_t max) {
  if (s.kind == ScriptStep::Repeat) {
    const std::string line = s.text + "\r\n";
    for (size_t n = std::max<size_t>(1, max / line.size()); n > 0 && produced < s.count; --n, ++produced) out += line;
    return produced < s.count;
  }
  if (s.kind == ScriptStep::Fill) {
    const auto n = static_cast<size_t>(std::min<uint64_t>(max, s.count - produced));
    out.append(n, s.text[0]);
    return (produced += n) < s.count;
  }
  const std::string all = s.kind == ScriptStep::Send ? s.text + "\r\n" : s.text;
  const size_t n = std::min<size_t>(max, all.size() - produced);
  out.append(all, produced, n);
  return (produced += n) < all.size();
}

// ---------------------------------------------------------------- certificates

using Certificate = LoopbackServer::Options::Certificate;

constexpr long kDay = 24L * 3600;

struct KeyAndCertificate {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

void addExtension(X509* x, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, x, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext || X509_add_ext(x, ext, -1) != 1) throw std::runtime_error(std::string("test certificate: ") + value);
  X509_EXTENSION_free(ext);
}

// A certificate for `key` named `cn`, valid from `fromSec` to `toSec` (relative to now), signed by
// `issuer` (itself when null). A CA gets the CA extensions, a server certificate "localhost" and 127.0.0.1.
KeyAndCertificate makeCertificate(EVP_PKEY* key, const char* cn, const KeyAndCertificate* issuer, long fromSec,
                                  long toSec, const EVP_MD* digest, bool ca) {
  X509* x = X509_new();
  unsigned char serial[8];
  if (!key || !x || RAND_bytes(serial, sizeof serial) != 1) throw std::runtime_error("cannot make a test certificate");
  serial[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
  BN_free(bn);
  X509_set_version(x, 2);
  X509_gmtime_adj(X509_getm_notBefore(x), fromSec);
  X509_gmtime_adj(X509_getm_notAfter(x), toSec);
  X509_set_pubkey(x, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* signer = issuer ? issuer->cert : x;
  X509_set_issuer_name(x, X509_get_subject_name(signer));
  addExtension(x, signer, NID_subject_key_identifier, "hash");
  if (issuer) addExtension(x, signer, NID_authority_key_identifier, "keyid:always");
  if (ca) {
    addExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(x, signer, NID_basic_constraints, "CA:FALSE");
    addExtension(x, signer, NID_ext_key_usage, "serverAuth");
    addExtension(x, signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  }
  if (X509_sign(x, issuer ? issuer->key : key, digest) == 0) throw std::runtime_error("cannot sign a test certificate");
  return {key, x};
}

// The test CA and one certificate of each kind, made at first use and kept for the process.
struct TestCertificates {
  KeyAndCertificate ca, caSigned, selfSigned, expired, weak;

  static const TestCertificates& get() {
    static const TestCertificates all;
    return all;
  }
  const KeyAndCertificate& of(Certificate kind) const {
    switch (kind) {
      case Certificate::SelfSigned: return selfSigned;
      case Certificate::Expired: return expired;
      case Certificate::WeakRsa1024: return weak;
      case Certificate::CaSigned: break;
    }
    return caSigned;
  }

 private:
  // EC keys: made in a millisecond; the one RSA key is as small as it gets.
  TestCertificates() {
    ensureOpenSsl();
    const EVP_MD* sha256 = EVP_sha256();
    ca = makeCertificate(EVP_EC_gen("P-256"), "Brivane Loopback Test CA", nullptr, -kDay, 3650 * kDay, sha256, true);
    caSigned = makeCertificate(EVP_EC_gen("P-256"), "localhost", &ca, -3600, 365 * kDay, sha256, false);
    selfSigned = makeCertificate(EVP_EC_gen("P-256"), "localhost", nullptr, -3600, 365 * kDay, sha256, false);
    expired = makeCertificate(EVP_EC_gen("P-256"), "localhost", &ca, -730 * kDay, -365 * kDay, sha256, false);
    weak = makeCertificate(EVP_RSA_gen(1024), "localhost", nullptr, -3600, 365 * kDay, EVP_sha1(), false);
  }
};

// A server context presenting one kind of certificate. Security level 0, so
// that the weak certificate can be loaded at all: what a client accepts is
// the client's decision.
SSL_CTX* newServerContext(Certificate kind) {
  const KeyAndCertificate& material = TestCertificates::get().of(kind);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) throw std::runtime_error("cannot make a TLS server context");
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate(ctx, material.cert) != 1 || SSL_CTX_use_PrivateKey(ctx, material.key) != 1) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("cannot load the test certificate");
  }
  return ctx;
}

std::string pemOf(X509* x) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, x);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(std::max(n, 0L)));
  BIO_free(bio);
  return pem;
}

}  // namespace

// ---------------------------------------------------------------- memory

class MemoryServer::Stream : public ByteStream {
 public:
  explicit Stream(MemoryServer* server) : s_(server) {}
  size_t read(char* buf, size_t cap, int timeoutMs) override {
    if (peeked_.empty() || cap == 0) return s_->read(buf, cap, timeoutMs);
    buf[0] = peeked_[0], peeked_.clear();
    return 1;
  }
  void write(std::string_view data) override { s_->write(data); }
  bool readableWithin(int timeoutMs) override {
    if (!peeked_.empty() || s_->outHead_ < s_->out_.size()) return true;
    char c;
    try {
      if (s_->read(&c, 1, timeoutMs) == 0) return false;
    } catch (const ProtocolError&) {
      return true;  // the next read reports it
    }
    peeked_.assign(1, c);
    return true;
  }
  void close() override { s_->clientClosed_ = true; }
  bool isOpen() const override { return !s_->clientClosed_ && !s_->serverClosed_; }

 private:
  MemoryServer* s_;
  std::string peeked_;
};

MemoryServer::MemoryServer(std::string_view script, ManualClock* clock) : steps_(parseScript(script)), clock_(clock) {}
MemoryServer::~MemoryServer() = default;

Transport::Connector MemoryServer::connector() {
  return [this](const Transport::ConnectRequest& r) { connects_.push_back(r); return std::make_unique<Stream>(this); };
}

bool MemoryServer::done() const {
  return std::none_of(steps_.begin() + static_cast<ptrdiff_t>(index_), steps_.end(),
                      [](const ScriptStep& s) { return s.kind <= ScriptStep::Fill; }) &&
         outHead_ >= out_.size() && clientIn_.empty();
}

bool MemoryServer::matchClientLines() {
  bool any = false;
  for (std::string line; index_ < steps_.size() && isExpect(steps_[index_].kind) && takeCompleteLine(clientIn_, line);
       ++index_, any = true) {
    transcript_.push_back("C: " + line);
    if (std::string bad = mismatch(steps_[index_], line); !bad.empty()) errors_.push_back(bad);
  }
  return any;
}

void MemoryServer::write(std::string_view data) {
  if (clientClosed_) throw ConnectionClosedError();
  if (serverClosed_) throw SocketError(EPIPE, std::strerror(EPIPE));
  clientIn_.append(data);
  matchClientLines();
}

size_t MemoryServer::read(char* buf, size_t cap, int timeoutMs) {
  if (clientClosed_) throw ConnectionClosedError();
  int64_t budget = timeoutMs;  // negative: no time-out
  auto spend = [&](int64_t ms) {
    if (clock_) clock_->advance(milliseconds(ms));
    if (budget >= 0) budget -= ms;
  };
  // Ends the connection (the client's next read or write reports it); `why`, when given, is a script error.
  auto hangUp = [&](std::string why) -> size_t {
    if (!why.empty()) errors_.push_back(std::move(why));
    serverClosed_ = true;
    throw ConnectionClosedError();
  };
  auto stall = [&]() -> size_t {
    if (budget < 0) return hangUp("the client waits without a time-out while the script waits for the client");
    spend(budget);
    return 0;
  };
  for (;;) {
    if (outHead_ < out_.size()) {
      if (dripMs_ > 0 && budget >= 0 && budget < dripMs_) return stall();
      if (dripMs_ > 0) spend(dripMs_);
      const size_t n = dripMs_ < 0 ? std::min(cap, out_.size() - outHead_) : 1;
      std::memcpy(buf, out_.data() + outHead_, n);
      if ((outHead_ += n) == out_.size()) out_.clear(), outHead_ = 0;
      return n;
    }
    if (serverClosed_) throw ConnectionClosedError();
    if (index_ >= steps_.size()) return stall();
    const ScriptStep& step = steps_[index_];
    if (isExpect(step.kind)) {
      if (!matchClientLines()) return stall();
      continue;
    }
    if (isOutput(step.kind)) {
      if (produced_ == 0) transcript_.push_back(transcriptEntry(step));
      if (!nextChunk(step, produced_, out_, 65536)) produced_ = 0, ++index_;
      continue;
    }
    switch (step.kind) {
      case ScriptStep::Wait:
        if (waitLeft_ < 0) waitLeft_ = static_cast<int64_t>(step.count);
        if (budget >= 0 && budget < waitLeft_) return waitLeft_ -= budget, stall();
        spend(waitLeft_), waitLeft_ = -1;
        break;
      case ScriptStep::Close:
        transcript_.push_back("X"), ++index_;
        return hangUp({});
      case ScriptStep::Drip: dripMs_ = static_cast<int64_t>(step.count); break;
      case ScriptStep::Fast: dripMs_ = -1; break;
      case ScriptStep::Stall: return stall();
      default: return hangUp("step not supported by the memory server: " + transcriptEntry(step));
    }
    ++index_;
  }
}

// ---------------------------------------------------------------- loopback

struct ServerConnection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string in;
  bool eof = false;

  ~ServerConnection() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
  void abort() {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR), ::close(fd);
    fd = -1;
  }
  // Reads what is there within ms; false on end of stream.
  bool readSome(int ms) {
    if (fd < 0 || eof) return false;
    if (pollfd p{fd, POLLIN, 0}; !(ssl && SSL_pending(ssl) > 0) && ::poll(&p, 1, ms) <= 0) return true;
    char buf[16384];
    int n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
    if (n <= 0 && !ssl && n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return !(eof = true);
    in.append(buf, static_cast<size_t>(n));
    return true;
  }
  // Runs the server's side of a TLS handshake on the open socket; empty when
  // it succeeded, else why not (OpenSSL's words where it has some).
  std::string acceptTls(Certificate kind) {
    SSL_CTX* ctx = newServerContext(kind);
    ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the SSL holds its own reference
    SSL_set_fd(ssl, fd);
    timeval tv{5, 0};  // the handshake runs on the blocking socket, bounded by this
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ERR_clear_error();
    errno = 0;
    if (SSL_accept(ssl) == 1) return {};
    const int savedErrno = errno;
    if (const unsigned long e = ERR_peek_last_error(); e != 0) {
      const char* reason = ERR_reason_error_string(e);
      ERR_clear_error();
      return reason ? reason : "OpenSSL error " + std::to_string(e);
    }
    if (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK) return "no handshake from the client within 5 s";
    return "the client closed the connection";
  }
  bool writeAll(std::string_view data) {
    while (!data.empty()) {
      if (fd < 0) return false;
      int n = ssl ? SSL_write(ssl, data.data(), static_cast<int>(data.size()))
                  : static_cast<int>(::send(fd, data.data(), data.size(), MSG_NOSIGNAL));
      if (n <= 0 && !ssl && n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
};

LoopbackServer::LoopbackServer(std::string_view script, Options options)
    : steps_(parseScript(script)), options_(options) {
  // OpenSSL writes cannot ask for MSG_NOSIGNAL: a client hanging up must not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  if (options_.tls || std::ranges::any_of(steps_, [](const ScriptStep& s) { return s.kind == ScriptStep::StartTls; }))
    trustTestCa();
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 4) != 0)
    throw std::runtime_error("loopback server: cannot listen");
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer() {
  finish(0);
  if (listenFd_ >= 0) ::close(listenFd_);
}

void LoopbackServer::finish(int timeoutMs) {
  for (auto deadline = steady_clock::now() + milliseconds(timeoutMs); !ended_ && steady_clock::now() < deadline;)
    std::this_thread::sleep_for(milliseconds(5));
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> LoopbackServer::transcript() const { std::lock_guard lock(mutex_); return transcript_; }
std::vector<std::string> LoopbackServer::errors() const { std::lock_guard lock(mutex_); return errors_; }

void LoopbackServer::record(std::string entry, bool error) {
  std::lock_guard lock(mutex_);
  (error ? errors_ : transcript_).push_back(std::move(entry));
}

void LoopbackServer::run() {
  ServerConnection conn;
  for (auto deadline = steady_clock::now() + milliseconds(options_.acceptTimeoutMs); !stop_ && conn.fd < 0;) {
    if (steady_clock::now() > deadline) {
      record("no client connected", true);
      break;
    }
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) conn.fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  if (int one = 1; conn.fd >= 0) {
    setsockopt(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    play(conn);
  }
  ended_ = true;
}

void LoopbackServer::play(ServerConnection& conn) {
  const auto hangUp = [&](const char* entry) { record(entry), conn.abort(), done_ = true; };
  // The handshake before step `next`; a failure ends the connection, and is an error when steps are left.
  const auto handshake = [&](size_t next) {
    const std::string why = conn.acceptTls(options_.certificate);
    if (why.empty()) return true;
    record("TLS handshake failed: " + why);
    if (next < steps_.size()) record("TLS handshake failed on the server side: " + why, true);
    conn.abort();
    done_ = next >= steps_.size();
    return false;
  };
  // A script starting with HANDSHAKE-DROP reads the client's hello instead of answering it.
  if (options_.tls && (steps_.empty() || steps_[0].kind != ScriptStep::HandshakeDrop) && !handshake(0)) return;
  int64_t dripMs = -1;
  auto sleepMs = [&](int64_t ms) {
    for (auto until = steady_clock::now() + milliseconds(ms); !stop_ && steady_clock::now() < until;)
      std::this_thread::sleep_for(std::min<steady_clock::duration>(until - steady_clock::now(), milliseconds(10)));
  };
  auto send = [&](std::string_view chunk) {
    bool ok = dripMs >= 0 || conn.writeAll(chunk);
    for (size_t k = 0; dripMs >= 0 && k < chunk.size() && ok && !stop_; ++k) {
      sleepMs(dripMs);
      ok = conn.writeAll(chunk.substr(k, 1));
    }
    return ok;
  };
  size_t i = 0;
  for (; i < steps_.size() && !stop_; ++i) {
    const ScriptStep& step = steps_[i];
    if (isExpect(step.kind)) {
      const auto deadline = steady_clock::now() + milliseconds(options_.clientTimeoutMs);
      std::string line, entry = transcriptEntry(step);
      while (!takeCompleteLine(conn.in, line)) {
        if (stop_ || steady_clock::now() > deadline) return record("timed out waiting for " + entry, true);
        if (!conn.readSome(20)) return record("client closed while the script expects " + entry, true);
      }
      record("C: " + line);
      if (std::string bad = mismatch(step, line); !bad.empty()) record(bad, true);
    } else if (isOutput(step.kind)) {
      record(transcriptEntry(step));
      for (uint64_t produced = 0, more = 1; more && !stop_;) {
        std::string chunk;
        more = nextChunk(step, produced, chunk, 65536);
        if (!send(chunk)) return record("the client is gone while the server sends", true);
      }
    } else if (step.kind == ScriptStep::Wait) {
      sleepMs(static_cast<int64_t>(step.count));
    } else if (step.kind == ScriptStep::Drip || step.kind == ScriptStep::Fast) {
      dripMs = step.kind == ScriptStep::Fast ? -1 : static_cast<int64_t>(step.count);
    } else if (step.kind == ScriptStep::Close) {
      return hangUp("X");
    } else if (step.kind == ScriptStep::Stall) {
      break;
    } else if (step.kind == ScriptStep::HandshakeDrop) {
      conn.readSome(options_.clientTimeoutMs);
      return hangUp("HANDSHAKE-DROP");
    } else if (step.kind == ScriptStep::StartTls) {
      if (conn.ssl) return record("STARTTLS on a connection that is TLS already", true);
      record("STARTTLS");
      // What the client sent after its command came before the handshake: a client must wait for the answer.
      if (!conn.in.empty()) {
        record("the client sent " + std::to_string(conn.in.size()) + " bytes after STARTTLS, before its handshake",
               true);
        return conn.abort();
      }
      if (!handshake(i + 1)) return;
    } else {
      return record("step not supported here: " + transcriptEntry(step), true);
    }
  }
  done_ = true;
  // The script has ended or stalls: wait for the client to close; lines it sends after the end are reported.
  for (const bool stalled = i < steps_.size(); !stop_;) {
    if (std::string line; !stalled && takeCompleteLine(conn.in, line)) {
      record("C: " + line);
      record("unexpected client line after the script: " + line, true);
    } else if (!conn.readSome(20)) {
      break;
    }
  }
}

// ---------------------------------------------------------------- trust

std::string certificateSha256(LoopbackServer::Options::Certificate kind) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(TestCertificates::get().of(kind).cert, EVP_sha256(), md, &n) != 1)
    throw std::runtime_error("cannot hash the test certificate");
  std::string hex;
  for (unsigned int k = 0; k < n; ++k) {
    char byte[4];
    std::snprintf(byte, sizeof byte, k ? ":%02X" : "%02X", md[k]);
    hex += byte;
  }
  return hex;
}

void trustTestCa() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string bundle = pemOf(TestCertificates::get().ca.cert);
    if (const char* prior = std::getenv("SSL_CERT_FILE"); prior && *prior) {
      std::ifstream in(prior, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      bundle += "\n" + text.str();
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/brivane-test-ca.XXXXXX.pem";
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) throw std::runtime_error("cannot write the test CA bundle " + path + ": " + std::strerror(errno));
    const bool written = ::write(fd, bundle.data(), bundle.size()) == static_cast<ssize_t>(bundle.size());
    ::close(fd);
    if (!written) {
      ::unlink(path.c_str());
      throw std::runtime_error("cannot write the test CA bundle " + path);
    }
    // Removed at exit by this process only: a forked child (a death test) exiting must leave it.
    static const pid_t owner = ::getpid();
    static const std::string bundlePath = path;
    std::atexit([] {
      if (::getpid() == owner) ::unlink(bundlePath.c_str());
    });
    ::setenv("SSL_CERT_FILE", path.c_str(), 1);
  });
}

}  // namespace brivane::test
