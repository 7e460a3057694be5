#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "common/text.h"
#include "protocols/protocol_errors.h"
#include "protocols/tls_stream.h"

namespace brivane::test {

// Expectations, then output steps, then the rest (isExpect, isOutput and the parser rely on the order).
struct ScriptStep {
  enum Kind { Expect, ExpectPrefix, ExpectAny, Send, Raw, Repeat, Fill, Wait, Close, Drip, Fast, Stall, HandshakeDrop };
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
      {"X", K::Close}, {"SLOW", K::Drip}, {"FAST", K::Fast}, {"STALL", K::Stall}, {"HANDSHAKE-DROP", K::HandshakeDrop}};
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

// A server context with a self-signed "localhost" certificate (EC P-256) made once per process.
SSL_CTX* newServerContext() {
  static const std::pair<X509*, EVP_PKEY*> material = [] {
    ensureOpenSsl();
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    if (!key || !x) throw std::runtime_error("cannot generate the test key");
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    if (X509_sign(x, key, EVP_sha256()) == 0) throw std::runtime_error("cannot sign the test certificate");
    return std::pair{x, key};
  }();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate(ctx, material.first) != 1 || SSL_CTX_use_PrivateKey(ctx, material.second) != 1)
    throw std::runtime_error("cannot load the test certificate");
  return ctx;
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
  if (options_.tls && !steps_.empty() && steps_[0].kind == ScriptStep::HandshakeDrop) {
    conn.readSome(options_.clientTimeoutMs);
    return hangUp("HANDSHAKE-DROP");
  }
  if (options_.tls) {
    SSL_CTX* ctx = newServerContext();
    conn.ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the SSL holds its own reference
    SSL_set_fd(conn.ssl, conn.fd);
    timeval tv{5, 0};  // the handshake runs on the blocking socket, bounded by this
    setsockopt(conn.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_accept(conn.ssl) != 1) return record("TLS handshake failed on the server side", true);
  }
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

}  // namespace brivane::test
