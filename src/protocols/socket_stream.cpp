#include "protocols/socket_stream.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

constexpr int kSliceMs = 125;

std::string systemText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);  // GNU variant returns the text
}

bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_acquire); }

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, or -1 when there is none.
int remainingMs(bool limited, SteadyClock::time_point deadline) {
  if (!limited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Name resolution with the shared time-out. The lookup runs in the resolver
// threads of the C library (getaddrinfo_a) so the caller can give up.
addrinfo* resolve(const std::string& host, int port, bool limited, SteadyClock::time_point deadline,
                  const std::atomic<bool>* stop) {
  std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &result) == 0) return result;

  // Not a literal address: an asynchronous lookup. The request block must
  // live until the lookup has ended, so on a time-out it is handed to the
  // library's cancel and, when that cannot stop it, left to the lookup.
  struct Request {
    std::string host, service;
    addrinfo hints{};
    gaicb cb{};
  };
  auto* req = new Request{host, service, {}, {}};
  req->hints.ai_family = AF_UNSPEC;
  req->hints.ai_socktype = SOCK_STREAM;
  req->hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  req->cb.ar_name = req->host.c_str();
  req->cb.ar_service = req->service.c_str();
  req->cb.ar_request = &req->hints;
  gaicb* list[1] = {&req->cb};
  int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (rc != 0) {
    delete req;
    throw SocketError(rc, gai_strerror(rc));
  }
  for (;;) {
    rc = gai_error(&req->cb);
    if (rc != EAI_INPROGRESS) break;
    bool timedOut = limited && SteadyClock::now() >= deadline;
    if (timedOut || stopped(stop)) {
      if (gai_cancel(&req->cb) == EAI_CANCELED || gai_error(&req->cb) != EAI_INPROGRESS) {
        if (req->cb.ar_result) freeaddrinfo(req->cb.ar_result);
        delete req;
      }  // else: the lookup still owns the block; it is a few hundred bytes.
      if (timedOut) throw ConnectTimeoutError();
      throw StopRequestedError();
    }
    int wait = kSliceMs;
    int left = remainingMs(limited, deadline);
    if (left >= 0) wait = std::min(wait, std::max(left, 1));
    timespec ts{0, static_cast<long>(wait) * 1000000L};
    const gaicb* waitList[1] = {&req->cb};
    gai_suspend(waitList, 1, &ts);
  }
  result = req->cb.ar_result;
  delete req;
  if (rc != 0) {
    if (rc == EAI_SYSTEM) throw SocketError(errno, systemText(errno));
    throw SocketError(rc, gai_strerror(rc));
  }
  return result;
}

}  // namespace

SocketStream::~SocketStream() { close(); }

void SocketStream::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void SocketStream::fail(int err) {
  if (err == ECONNRESET || err == ECONNABORTED || err == EPIPE || err == ESHUTDOWN) {
    closedByPeer_ = true;
    close();
  }
  throw SocketError(err, systemText(err));
}

size_t SocketStream::read(char* buf, size_t cap, int timeoutMs) {
  if (fd_ < 0) throw ConnectionClosedError();
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (rc == 0) return 0;
    ssize_t n = ::recv(fd_, buf, cap, 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) {
      closedByPeer_ = true;
      close();
      throw ConnectionClosedError();
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    fail(errno);
  }
}

void SocketStream::write(std::string_view data) {
  if (fd_ < 0) throw ConnectionClosedError();
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(writeTimeoutMs_);
  while (!data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int left = remainingMs(true, deadline);
      if (left == 0) fail(ETIMEDOUT);
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, std::min(left, kSliceMs));
      continue;
    }
    fail(n < 0 ? errno : EPIPE);
  }
}

bool SocketStream::readableWithin(int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int rc;
  do rc = ::poll(&p, 1, timeoutMs);
  while (rc < 0 && errno == EINTR);
  return rc > 0;
}

std::unique_ptr<SocketStream> connectTcp(const std::string& host, int port, int timeoutMs,
                                         const std::atomic<bool>* stop) {
  bool limited = timeoutMs >= 0;
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  addrinfo* list = resolve(host, port, limited, deadline, stop);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, freeaddrinfo);

  int lastError = ECONNREFUSED;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    auto stream = std::make_unique<SocketStream>(fd);
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc < 0 && errno != EINPROGRESS) {
      lastError = errno;
      continue;
    }
    while (rc < 0) {
      if (stopped(stop)) throw StopRequestedError();
      int left = remainingMs(limited, deadline);
      if (left == 0) throw ConnectTimeoutError();
      pollfd p{fd, POLLOUT, 0};
      int wait = left < 0 ? kSliceMs : std::min(left, kSliceMs);
      int prc = ::poll(&p, 1, wait);
      if (prc < 0 && errno != EINTR) {
        lastError = errno;
        break;
      }
      if (prc > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) rc = 0;
        else {
          lastError = err;
          break;
        }
      }
    }
    if (rc == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return stream;
    }
  }
  throw SocketError(lastError, systemText(lastError));
}

}  // namespace brivane
