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
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "protocols/protocol_errors.h"

namespace brivane {
namespace {

constexpr int kSliceMs = 125;
constexpr int kNextAddressDelayMs = 250;

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

// One host-name lookup on a thread of its own, so that the caller can give
// up when the connect time-out runs out or a stop is requested. The thread
// shares ownership of it: whoever ends last frees it (and the answer).
struct Lookup {
  std::string host, service;
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int rc = 0;
  int err = 0;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result) freeaddrinfo(result);
  }
  void run() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    int code = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    int e = errno;
    std::lock_guard lock(mutex);
    rc = code;
    err = e;
    result = list;
    finished = true;
    done.notify_all();
  }
};

// Resolves host (IPv4 and IPv6) within the shared time-out.
addrinfo* resolve(const std::string& host, int port, bool limited, SteadyClock::time_point deadline,
                  const std::atomic<bool>* stop) {
  std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &result) == 0) return result;

  auto lookup = std::make_shared<Lookup>();
  lookup->host = host;
  lookup->service = service;
  std::thread thread([lookup] { lookup->run(); });
  std::unique_lock lock(lookup->mutex);
  while (!lookup->finished) {
    bool timedOut = limited && SteadyClock::now() >= deadline;
    if (timedOut || stopped(stop)) {
      lock.unlock();
      // Given up for good: a resolver that never answers must hold neither
      // this stop nor the process's exit. The thread keeps the lookup alive
      // until the resolver returns and then drops its answer.
      thread.detach();
      if (timedOut) throw ConnectTimeoutError();
      throw StopRequestedError();
    }
    auto wait = std::chrono::milliseconds(kSliceMs);
    if (limited) wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()) +
                                           std::chrono::milliseconds(1));
    lookup->done.wait_for(lock, wait);
  }
  int rc = lookup->rc, err = lookup->err;
  result = lookup->result;
  lookup->result = nullptr;
  lock.unlock();
  thread.join();
  if (rc != 0) {
    if (rc == EAI_SYSTEM) throw SocketError(err, systemText(err));
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
  int left = remainingMs(limited, deadline);
  return connectAddresses(list, limited ? left : -1, stop);
}

// Connects to the addresses in order, starting the next one 250 ms after
// the previous while that one is still trying, so that an address that
// never answers (a black-holed IPv6 route) does not use up the time-out.
// The first connection that completes wins; the others are closed.
std::unique_ptr<SocketStream> connectAddresses(const addrinfo* list, int timeoutMs,
                                               const std::atomic<bool>* stop) {
  bool limited = timeoutMs >= 0;
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  std::vector<std::unique_ptr<SocketStream>> trying;
  std::vector<pollfd> fds;
  int lastError = ECONNREFUSED;
  const addrinfo* next = list;
  auto nextStart = SteadyClock::now();
  for (;;) {
    if (stopped(stop)) throw StopRequestedError();
    // Start the next address when its turn has come, or at once when
    // nothing else is trying.
    while (next && (trying.empty() || SteadyClock::now() >= nextStart)) {
      const addrinfo* ai = next;
      next = next->ai_next;
      int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
      if (fd < 0) {
        lastError = errno;
        continue;
      }
      auto stream = std::make_unique<SocketStream>(fd);
      if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return stream;
      }
      if (errno != EINPROGRESS) {
        lastError = errno;
        continue;
      }
      trying.push_back(std::move(stream));
      fds.push_back(pollfd{fd, POLLOUT, 0});
      nextStart = SteadyClock::now() + std::chrono::milliseconds(kNextAddressDelayMs);
    }
    if (trying.empty()) throw SocketError(lastError, systemText(lastError));
    int left = remainingMs(limited, deadline);
    if (left == 0) throw ConnectTimeoutError();
    int wait = left < 0 ? kSliceMs : std::min(left, kSliceMs);
    if (next) {
      auto toNext = std::chrono::duration_cast<std::chrono::milliseconds>(nextStart - SteadyClock::now()).count();
      wait = std::min<int>(wait, static_cast<int>(std::max<long long>(toNext, 0)));
    }
    for (auto& p : fds) p.revents = 0;
    int prc = ::poll(fds.data(), fds.size(), wait);
    if (prc < 0 && errno != EINTR) throw SocketError(errno, systemText(errno));
    if (prc <= 0) continue;
    for (size_t k = 0; k < fds.size();) {
      if (fds[k].revents == 0) {
        ++k;
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fds[k].fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err == 0) {
        int one = 1;
        setsockopt(fds[k].fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return std::move(trying[k]);  // the others close as `trying` goes
      }
      lastError = err;
      trying.erase(trying.begin() + static_cast<long>(k));
      fds.erase(fds.begin() + static_cast<long>(k));
    }
  }
}

}  // namespace brivane
