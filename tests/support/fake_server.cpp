#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "common/text.h"
#include "protocols/protocol_errors.h"
#include "test_tls.h"

namespace brivane::test {
namespace {

std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x':
        if (i + 2 < s.size()) {
          out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
          i += 2;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

uint64_t number(std::string_view s, std::string_view line) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  uint64_t v = 0;
  bool any = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, any = true) v = v * 10 + static_cast<uint64_t>(s[i] - '0');
  if (!any) throw std::invalid_argument("script: number expected in: " + std::string(line));
  return v;
}

bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

std::string rest(std::string_view line, size_t n) {
  std::string_view r = line.substr(std::min(n, line.size()));
  if (!r.empty() && r[0] == ' ') r.remove_prefix(1);
  return std::string(r);
}

bool isOutput(ScriptStep::Kind k) {
  return k == ScriptStep::Send || k == ScriptStep::Raw || k == ScriptStep::Repeat || k == ScriptStep::Fill;
}
bool isExpect(ScriptStep::Kind k) {
  return k == ScriptStep::Expect || k == ScriptStep::ExpectPrefix || k == ScriptStep::ExpectAny;
}

// Checks one client line against an expectation step; empty when it matches.
std::string mismatch(const ScriptStep& step, const std::string& line) {
  bool ok = step.kind == ScriptStep::ExpectAny || (step.kind == ScriptStep::Expect && line == step.text) ||
            (step.kind == ScriptStep::ExpectPrefix && starts(line, step.text));
  if (ok) return {};
  return "expected " + transcriptEntry(step) + ", client sent: " + line;
}

}  // namespace

std::vector<ScriptStep> parseScript(std::string_view text) {
  std::vector<ScriptStep> steps;
  for (bool more = true; more;) {
    std::string_view line;
    more = takeLine(text, line);
    size_t lead = 0;
    while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
    line.remove_prefix(lead);
    if (line.empty() || line[0] == '#') continue;
    ScriptStep st{ScriptStep::Stall, {}, 0};
    if (starts(line, "C:")) st = {ScriptStep::Expect, rest(line, 2)};
    else if (starts(line, "C~")) st = {ScriptStep::ExpectPrefix, rest(line, 2)};
    else if (starts(line, "C?")) st = {ScriptStep::ExpectAny, {}};
    else if (starts(line, "S:")) st = {ScriptStep::Send, rest(line, 2)};
    else if (starts(line, "R:")) st = {ScriptStep::Raw, unescape(rest(line, 2))};
    else if (starts(line, "W:")) st = {ScriptStep::Wait, {}, number(line.substr(2), line)};
    else if (line == "X") st = {ScriptStep::Close, {}};
    else if (line == "SLOW") st = {ScriptStep::Slow, {}};
    else if (line == "FAST") st = {ScriptStep::Fast, {}};
    else if (starts(line, "DRIP:")) st = {ScriptStep::Drip, {}, number(line.substr(5), line)};
    else if (line == "STALL") st = {ScriptStep::Stall, {}};
    else if (line == "STARTTLS") st = {ScriptStep::StartTls, {}};
    else if (line == "HANDSHAKE-DROP") st = {ScriptStep::HandshakeDrop, {}};
    else if (starts(line, "REPEAT:")) {
      std::string r = rest(line, 7);
      size_t sp = r.find(' ');
      st = {ScriptStep::Repeat, sp == std::string::npos ? "" : r.substr(sp + 1), number(r, line)};
    } else if (starts(line, "FILL:")) {
      std::string r = rest(line, 5);
      size_t sp = r.find(' ');
      st = {ScriptStep::Fill, sp == std::string::npos ? "a" : r.substr(sp + 1, 1), number(r, line)};
    } else throw std::invalid_argument("script: unknown step: " + std::string(line));
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
    case ScriptStep::StartTls: return "TLS";
    default: return {};
  }
}

bool StepOutput::exhausted() const {
  switch (step_->kind) {
    case ScriptStep::Send: return produced_ >= step_->text.size() + 2;
    case ScriptStep::Raw: return produced_ >= step_->text.size();
    default: return produced_ >= step_->count;
  }
}

bool StepOutput::next(std::string& out, size_t max) {
  const ScriptStep& s = *step_;
  switch (s.kind) {
    case ScriptStep::Send:
    case ScriptStep::Raw: {
      std::string all = s.kind == ScriptStep::Send ? s.text + "\r\n" : s.text;
      if (produced_ >= all.size()) return false;
      size_t n = std::min<size_t>(max, all.size() - produced_);
      out.append(all, produced_, n);
      produced_ += n;
      return true;
    }
    case ScriptStep::Repeat: {
      std::string line = s.text + "\r\n";
      if (produced_ >= s.count) return false;
      size_t lines = std::max<size_t>(1, max / line.size());
      for (size_t i = 0; i < lines && produced_ < s.count; ++i, ++produced_) out += line;
      return true;
    }
    case ScriptStep::Fill: {
      if (produced_ >= s.count) return false;
      size_t n = static_cast<size_t>(std::min<uint64_t>(max, s.count - produced_));
      out.append(n, s.text.empty() ? 'a' : s.text[0]);
      produced_ += n;
      return true;
    }
    default: return false;
  }
}

// ---------------------------------------------------------------- memory

class MemoryServer::Stream : public ByteStream {
 public:
  explicit Stream(MemoryServer* server) : server_(server) {}
  size_t read(char* buf, size_t cap, int timeoutMs) override {
    if (!peeked_.empty() && cap > 0) {
      buf[0] = peeked_[0];
      peeked_.clear();
      return 1;
    }
    return server_->read(buf, cap, timeoutMs);
  }
  void write(std::string_view data) override { server_->write(data); }
  bool readableWithin(int timeoutMs) override {
    if (!peeked_.empty() || server_->outHead_ < server_->out_.size()) return true;
    char c;
    try {
      if (server_->read(&c, 1, timeoutMs) == 0) return false;
    } catch (const ProtocolError&) {
      return true;  // the next read reports it
    }
    peeked_.assign(1, c);
    return true;
  }
  void close() override { server_->clientClosed_ = true; }
  bool isOpen() const override { return !server_->clientClosed_ && !server_->serverClosed_; }

 private:
  MemoryServer* server_;
  std::string peeked_;
};

MemoryServer::MemoryServer(std::string_view script, ManualClock* clock)
    : steps_(parseScript(script)), clock_(clock) {}

MemoryServer::~MemoryServer() = default;

std::unique_ptr<ByteStream> MemoryServer::stream() { return std::make_unique<Stream>(this); }

Transport::Connector MemoryServer::connector() {
  return [this](const Transport::ConnectRequest& request) {
    connects_.push_back(request);
    return stream();
  };
}

std::vector<std::string> MemoryServer::errors() const { return errors_; }

bool MemoryServer::done() const {
  for (size_t i = index_; i < steps_.size(); ++i) {
    auto k = steps_[i].kind;
    if (isExpect(k) || isOutput(k)) return false;
  }
  return outHead_ >= out_.size() && clientIn_.empty();
}

void MemoryServer::spend(int64_t& budget, int64_t ms) {
  if (clock_) clock_->advance(std::chrono::milliseconds(ms));
  if (budget >= 0) budget -= ms;
}

bool MemoryServer::matchClientLines() {
  bool any = false;
  while (index_ < steps_.size() && isExpect(steps_[index_].kind)) {
    std::string line;
    if (!takeCompleteLine(clientIn_, line)) break;
    transcript_.push_back("C: " + line);
    std::string bad = mismatch(steps_[index_], line);
    if (!bad.empty()) errors_.push_back(bad);
    ++index_;
    any = true;
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
  int64_t budget = timeoutMs;
  auto stall = [&]() -> size_t {
    if (budget < 0) {
      errors_.push_back("the client waits without a time-out while the script waits for the client");
      serverClosed_ = true;
      throw ConnectionClosedError();
    }
    spend(budget, budget);
    return 0;
  };
  for (;;) {
    if (outHead_ < out_.size()) {
      if (mode_ == Mode::Drip) {
        if (budget >= 0 && budget < dripMs_) return stall();
        spend(budget, dripMs_);
      }
      size_t n = mode_ == Mode::Fast ? std::min(cap, out_.size() - outHead_) : 1;
      std::memcpy(buf, out_.data() + outHead_, n);
      outHead_ += n;
      if (outHead_ == out_.size()) {
        out_.clear();
        outHead_ = 0;
      }
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
      if (!output_) {
        output_ = std::make_unique<StepOutput>(step);
        transcript_.push_back(transcriptEntry(step));
      }
      output_->next(out_, 65536);
      if (output_->exhausted()) {
        output_.reset();
        ++index_;
      }
      continue;
    }
    switch (step.kind) {
      case ScriptStep::Wait:
        if (waitLeft_ < 0) waitLeft_ = static_cast<int64_t>(step.count);
        if (budget >= 0 && budget < waitLeft_) {
          waitLeft_ -= budget;
          return stall();
        }
        spend(budget, waitLeft_);
        waitLeft_ = -1;
        ++index_;
        break;
      case ScriptStep::Close:
        transcript_.push_back("X");
        serverClosed_ = true;
        ++index_;
        throw ConnectionClosedError();
      case ScriptStep::Slow: mode_ = Mode::Slow; ++index_; break;
      case ScriptStep::Fast: mode_ = Mode::Fast; ++index_; break;
      case ScriptStep::Drip:
        mode_ = Mode::Drip;
        dripMs_ = static_cast<int64_t>(step.count);
        ++index_;
        break;
      case ScriptStep::Stall: return stall();
      default:
        errors_.push_back("step not supported by the memory server: " + transcriptEntry(step));
        serverClosed_ = true;
        throw ConnectionClosedError();
    }
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
    if (fd >= 0) {
      ::shutdown(fd, SHUT_RDWR);
      ::close(fd);
      fd = -1;
    }
  }
  // Reads what is there within ms; false on end of stream.
  bool readSome(int ms) {
    if (fd < 0 || eof) return false;
    if (!(ssl && SSL_pending(ssl) > 0)) {
      pollfd p{fd, POLLIN, 0};
      int rc = ::poll(&p, 1, ms);
      if (rc <= 0) return true;
    }
    char buf[16384];
    int n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
    if (n <= 0) {
      if (!ssl && n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
      eof = true;
      return false;
    }
    in.append(buf, static_cast<size_t>(n));
    return true;
  }
  bool writeAll(std::string_view data) {
    while (!data.empty()) {
      if (fd < 0) return false;
      int n = ssl ? SSL_write(ssl, data.data(), static_cast<int>(data.size()))
                  : static_cast<int>(::send(fd, data.data(), data.size(), MSG_NOSIGNAL));
      if (n <= 0) {
        if (!ssl && n < 0 && errno == EINTR) continue;
        return false;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
};

LoopbackServer::LoopbackServer(std::string_view script, Options options)
    : steps_(parseScript(script)), options_(options) {
  // The server side writes through OpenSSL, which cannot ask for
  // MSG_NOSIGNAL; a client that hangs up must not kill the test process.
  std::signal(SIGPIPE, SIG_IGN);
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 4) != 0)
    throw std::runtime_error("loopback server: cannot listen");
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

void LoopbackServer::finish(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ended_.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> LoopbackServer::transcript() const {
  std::lock_guard lock(mutex_);
  return transcript_;
}

std::vector<std::string> LoopbackServer::errors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

void LoopbackServer::record(std::string entry) {
  std::lock_guard lock(mutex_);
  transcript_.push_back(std::move(entry));
}

void LoopbackServer::error(std::string text) {
  std::lock_guard lock(mutex_);
  errors_.push_back(std::move(text));
}

void LoopbackServer::run() {
  ServerConnection conn;
  auto acceptDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.acceptTimeoutMs);
  while (!stop_ && conn.fd < 0) {
    if (std::chrono::steady_clock::now() > acceptDeadline) {
      error("no client connected");
      ended_ = true;
      return;
    }
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) conn.fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  if (conn.fd < 0) {
    ended_ = true;
    return;
  }
  int one = 1;
  setsockopt(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  play(conn);
  ended_ = true;
}

void LoopbackServer::play(ServerConnection& conn) {
  SSL_CTX* ctx = nullptr;
  struct CtxGuard {
    SSL_CTX*& c;
    ~CtxGuard() {
      if (c) SSL_CTX_free(c);
    }
  } guard{ctx};
  auto handshake = [&]() -> bool {
    ctx = newTestServerContext();
    conn.ssl = SSL_new(ctx);
    SSL_set_fd(conn.ssl, conn.fd);
    // The handshake runs on the blocking socket, bounded by a receive time-out.
    timeval tv{5, 0};
    setsockopt(conn.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_accept(conn.ssl) != 1) {
      error("TLS handshake failed on the server side");
      return false;
    }
    return true;
  };
  if (options_.tls) {
    if (!steps_.empty() && steps_[0].kind == ScriptStep::HandshakeDrop) {
      conn.readSome(options_.clientTimeoutMs);
      record("HANDSHAKE-DROP");
      conn.abort();
      done_ = true;
      return;
    }
    if (!handshake()) return;
  }
  enum class Mode { Fast, Slow, Drip } mode = Mode::Fast;
  uint64_t dripMs = 0;
  auto sleepMs = [&](uint64_t ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          until - std::chrono::steady_clock::now(), std::chrono::milliseconds(10)));
  };
  for (size_t i = 0; i < steps_.size() && !stop_; ++i) {
    const ScriptStep& step = steps_[i];
    if (isExpect(step.kind)) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.clientTimeoutMs);
      std::string line;
      while (!takeCompleteLine(conn.in, line)) {
        if (stop_ || std::chrono::steady_clock::now() > deadline) {
          error("timed out waiting for " + transcriptEntry(step));
          return;
        }
        if (!conn.readSome(20)) {
          error("client closed while the script expects " + transcriptEntry(step));
          return;
        }
      }
      record("C: " + line);
      std::string bad = mismatch(step, line);
      if (!bad.empty()) error(bad);
      continue;
    }
    if (isOutput(step.kind)) {
      record(transcriptEntry(step));
      StepOutput output(step);
      std::string chunk;
      for (;;) {
        chunk.clear();
        if (!output.next(chunk, 65536) || stop_) break;
        bool ok = true;
        if (mode == Mode::Fast) {
          ok = conn.writeAll(chunk);
        } else {
          for (size_t k = 0; k < chunk.size() && ok && !stop_; ++k) {
            if (mode == Mode::Drip) sleepMs(dripMs);
            ok = conn.writeAll(std::string_view(&chunk[k], 1));
          }
        }
        if (!ok) {
          error("the client is gone while the server sends");
          return;
        }
      }
      continue;
    }
    switch (step.kind) {
      case ScriptStep::Wait: sleepMs(step.count); break;
      case ScriptStep::Close:
        record("X");
        conn.abort();
        done_ = true;
        return;
      case ScriptStep::Slow: mode = Mode::Slow; break;
      case ScriptStep::Fast: mode = Mode::Fast; break;
      case ScriptStep::Drip:
        mode = Mode::Drip;
        dripMs = step.count;
        break;
      case ScriptStep::Stall:
        done_ = true;
        while (!stop_ && conn.readSome(20)) {
        }
        return;
      case ScriptStep::StartTls:
        record("TLS");
        if (!handshake()) return;
        break;
      default: error("step not supported here: " + transcriptEntry(step)); return;
    }
  }
  done_ = true;
  // The script has ended: wait for the client to close; lines it still sends are reported.
  while (!stop_) {
    if (std::string line; takeCompleteLine(conn.in, line)) {
      record("C: " + line);
      error("unexpected client line after the script: " + line);
      continue;
    }
    if (!conn.readSome(20)) break;
  }
}

}  // namespace brivane::test
