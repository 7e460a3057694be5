// Preloaded into a process under test (LD_PRELOAD): host-name lookups of
// names ending in ".held.test" behave like a DNS server that never answers.
// Such a lookup waits $BRIVANE_HELD_LOOKUP_MS milliseconds (default 60000)
// and then fails with EAI_AGAIN; when $BRIVANE_HELD_LOOKUP_LOG names a file,
// the name is appended to it as the wait begins, so a test knows the lookup
// is under way. Every other lookup, and every numeric-only one, goes to the
// C library as usual.
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

bool isHeld(const char* node) {
  static const char suffix[] = ".held.test";
  if (node == nullptr) return false;
  const size_t n = std::strlen(node), s = sizeof suffix - 1;
  return n > s && std::strcmp(node + n - s, suffix) == 0;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  const bool numericOnly = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0;
  if (!numericOnly && isHeld(node)) {
    const char* log = std::getenv("BRIVANE_HELD_LOOKUP_LOG");
    if (log != nullptr && *log != '\0') {
      const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) {
        const size_t len = std::strlen(node);
        if (write(fd, node, len) == static_cast<ssize_t>(len)) (void)!write(fd, "\n", 1);
        close(fd);
      }
    }
    const char* ms = std::getenv("BRIVANE_HELD_LOOKUP_MS");
    const long wait = ms != nullptr && *ms != '\0' ? std::strtol(ms, nullptr, 10) : 60000;
    timespec left = {wait / 1000, (wait % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return EAI_AGAIN;
  }
  static const auto real = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (real == nullptr) return EAI_SYSTEM;
  return real(node, service, hints, res);
}
