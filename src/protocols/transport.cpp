#include "protocols/transport.h"

#include <algorithm>
#include <cstring>

#include "protocols/protocol_errors.h"
#include "protocols/socket_stream.h"
#include "protocols/tls_stream.h"

namespace brivane {
namespace {
constexpr int kSliceMs = 125;
constexpr size_t kReadChunk = 65536;
}  // namespace

Transport::Transport() : clock_(&Clock::steady()) {}

Transport::~Transport() { close(); }

void Transport::setDestination(std::string_view destination) {
  size_t colon = destination.rfind(':');
  if (colon == std::string_view::npos) {
    host_ = std::string(destination);
    return;
  }
  std::string_view host = destination.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  host_ = std::string(host);
  port_ = 0;
  for (char c : destination.substr(colon + 1)) {
    if (c < '0' || c > '9' || port_ > 65535) {
      port_ = 0;
      break;
    }
    port_ = port_ * 10 + (c - '0');
  }
  if (port_ > 65535) port_ = 0;
}

void Transport::connect() {
  if (connected()) throw AlreadyConnectedError();
  if (host_.empty()) throw HostRequiredError();
  if (port_ == 0) throw PortRequiredError();
  close();
  int connectTimeout = connectTimeoutMs_;
  if (checkLimited_) connectTimeout = checkLimitWait(connectTimeout < 0 ? (1 << 30) : connectTimeout);
  ConnectRequest request{host_, port_, connectTimeout, stop_};
  std::unique_ptr<ByteStream> stream;
  if (connector_) {
    stream = connector_(request);
  } else {
    auto socket = connectTcp(host_, port_, connectTimeout, stop_);
    if (lineLimitMs_ > 0) socket->setWriteTimeout(lineLimitMs_);
    stream = std::move(socket);
  }
  peer_.reset();
  if (!passThrough_) {
    TlsHandshakeLimits limits{connectTimeout >= 0 ? connectTimeout : lineLimitMs_, stop_, clock_};
    auto tls = std::make_unique<TlsStream>(std::move(stream), host_, limits, trust_);
    peer_ = tls->peerCertificate();
    stream = std::move(tls);
  }
  attach(std::move(stream));
  tls_ = !passThrough_;
}

void Transport::attach(std::unique_ptr<ByteStream> stream) {
  stream_ = std::move(stream);
  tls_ = false;
  cutting_ = false;
  cutLine_.clear();
  buffer_.clear();
  head_ = scanned_ = 0;
  timedOut_ = false;
  bytesRead_ = 0;
  replyStart_ = clock_->now();
}

void Transport::startTls() {
  if (!connected()) throw NotConnectedError();
  // Bytes that came before the handshake are not the server's answer inside
  // TLS: a man in the middle could have sent them to pass as protected.
  if (head_ < buffer_.size() || stream().readableWithin(0)) {
    close();
    throw PlainTextInjectionError();
  }
  buffer_.clear();
  head_ = scanned_ = 0;
  TlsHandshakeLimits limits{checkLimited_ ? checkLimitWait(lineLimitMs_ < 0 ? (1 << 30) : lineLimitMs_) : lineLimitMs_,
                            stop_, clock_};
  auto tls = std::make_unique<TlsStream>(std::move(stream_), host_, limits, trust_);
  peer_ = tls->peerCertificate();
  stream_ = std::move(tls);
  tls_ = true;
}

bool Transport::connected() const { return stream_ && stream_->isOpen(); }

void Transport::close() {
  if (stream_) {
    stream_->close();
    stream_.reset();
  }
  tls_ = false;
  buffer_.clear();
  head_ = scanned_ = 0;
}

ByteStream& Transport::stream() {
  if (!stream_) throw NotConnectedError();
  return *stream_;
}

void Transport::checkStop() const {
  if (stop_ && stop_->load(std::memory_order_acquire)) throw StopRequestedError();
}

void Transport::setCheckLimit(std::chrono::milliseconds limit) {
  checkLimited_ = limit.count() >= 0;
  checkLimitMs_ = limit.count();
  checkDeadline_ = clock_->now() + limit;
}

int Transport::checkLimitWait(int wait) const {
  if (!checkLimited_) return wait;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(checkDeadline_ - clock_->now()).count();
  if (left <= 0) throw CheckTimeLimitError(checkLimitMs_);
  return static_cast<int>(std::min<long long>(left, wait));
}

void Transport::writeLine(std::string_view line) {
  std::string data;
  data.reserve(line.size() + 2);
  data.append(line).append("\r\n");
  write(data);
}

void Transport::write(std::string_view data) { stream().write(data); }

bool Transport::fill(Clock::TimePoint deadline, bool limited, bool timeoutIsError) {
  ByteStream& s = stream();
  if (head_ > 0 && (head_ >= buffer_.size() || head_ > kReadChunk)) {
    buffer_.erase(0, head_);
    scanned_ -= std::min(scanned_, head_);
    head_ = 0;
  }
  char chunk[kReadChunk];
  for (;;) {
    checkStop();
    int wait = kSliceMs;
    if (limited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_->now()).count();
      if (left <= 0) {
        if (timeoutIsError) throw ReadTimeoutError();
        return false;
      }
      wait = static_cast<int>(std::min<long long>(left, kSliceMs));
    }
    wait = checkLimitWait(wait);
    size_t n = s.read(chunk, sizeof chunk, wait);
    if (n > 0) {
      buffer_.append(chunk, n);
      bytesRead_ += n;
      return true;
    }
  }
}

bool Transport::takeLine(std::string& line) {
  const char* base = buffer_.data();
  size_t from = std::max(scanned_, head_);
  const void* lf = std::memchr(base + from, '\n', buffer_.size() - from);
  if (!lf) {
    scanned_ = buffer_.size();
    // One byte more than the limit is allowed: the CR of a line end whose LF is still to come.
    if (buffer_.size() - head_ > maxLineLength_ + 1) {
      if (!cutLongLines_) {
        close();
        throw LineTooLongError();
      }
      // Keep the line's start, drop what follows up to its end.
      if (!cutting_) cutLine_.assign(base + head_, maxLineLength_);
      cutting_ = true;
      head_ = scanned_ = buffer_.size();
    }
    return false;
  }
  size_t end = static_cast<size_t>(static_cast<const char*>(lf) - base);
  size_t next = end + 1;
  if (end > head_ && base[end - 1] == '\r') --end;
  if (cutting_) {
    line = std::move(cutLine_);
    cutLine_.clear();
    cutting_ = false;
    head_ = scanned_ = next;
    return true;
  }
  if (end - head_ > maxLineLength_) {
    if (!cutLongLines_) {
      close();
      throw LineTooLongError();
    }
    end = head_ + maxLineLength_;
  }
  line.assign(base + head_, end - head_);
  head_ = next;
  scanned_ = next;
  return true;
}

Clock::TimePoint Transport::lineDeadline() const {
  constexpr auto far = Clock::TimePoint::max();
  auto deadline = far;
  if (lineLimitMs_ >= 0) deadline = clock_->now() + std::chrono::milliseconds(lineLimitMs_);
  if (replyLimitMs_ >= 0) deadline = std::min(deadline, replyStart_ + std::chrono::milliseconds(replyLimitMs_));
  return deadline;
}

std::string Transport::readLine() {
  timedOut_ = false;
  std::string line;
  for (;;) {
    if (takeLine(line)) return line;
    auto deadline = clock_->now() + std::chrono::milliseconds(std::max(readTimeoutMs_, 0));
    if (!fill(deadline, readTimeoutMs_ >= 0, false)) {
      timedOut_ = true;
      return {};
    }
  }
}

void Transport::beginReply() { replyStart_ = clock_->now(); }

std::string Transport::readReplyLine() {
  timedOut_ = false;
  std::string line;
  auto deadline = lineDeadline();
  bool limited = deadline != Clock::TimePoint::max();
  while (!takeLine(line)) fill(deadline, limited, true);
  return line;
}

size_t Transport::capture(std::vector<std::string>& lines, std::string_view delimiter, bool dotTransparency,
                          size_t maxLines) {
  size_t dropped = 0;
  for (;;) {
    std::string line = readReplyLine();
    if (line == delimiter) return dropped;
    if (dotTransparency && line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
    if (lines.size() < maxLines) lines.push_back(std::move(line));
    else ++dropped;
  }
}

std::string Transport::readBytes(size_t n, size_t keep) {
  std::string out;
  out.reserve(std::min({n, keep, size_t{1} << 20}));
  while (n > 0) {
    if (head_ >= buffer_.size()) {
      auto deadline = lineDeadline();
      fill(deadline, deadline != Clock::TimePoint::max(), true);
    }
    size_t take = std::min(n, buffer_.size() - head_);
    if (out.size() < keep) out.append(buffer_, head_, std::min(take, keep - out.size()));
    head_ += take;
    scanned_ = std::max(scanned_, head_);
    n -= take;
  }
  return out;
}

bool Transport::readableWithin(int ms) {
  if (ms <= 0) return inputWaiting();
  if (head_ < buffer_.size()) return true;
  auto deadline = clock_->now() + std::chrono::milliseconds(ms);
  return fill(deadline, true, false);
}

bool Transport::inputWaiting() {
  if (head_ < buffer_.size()) return true;
  checkStop();
  // Not through a deadline: a zero wait measured on the clock may have
  // passed before the stream is looked at.
  return stream().readableWithin(0);
}

}  // namespace brivane
