// Preloaded into a process under test (LD_PRELOAD): lookups of names ending in
// ".held.test" act like a DNS server that never answers: they wait
// $BRIVANE_HELD_LOOKUP_MS (default 60000) ms, then fail with EAI_AGAIN. The
// name is first appended to the file $BRIVANE_HELD_LOOKUP_LOG, if set, so a
// test knows the lookup is under way. Other and numeric-only lookups go on.
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  const std::string_view name = node ? node : "", suffix = ".held.test";
  if ((hints == nullptr || (hints->ai_flags & AI_NUMERICHOST) == 0) && name.size() > suffix.size() &&
      name.ends_with(suffix)) {
    const char* log = std::getenv("BRIVANE_HELD_LOOKUP_LOG");
    if (const int fd = log && *log ? open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1; fd >= 0) {
      if (write(fd, node, name.size()) == static_cast<ssize_t>(name.size())) (void)!write(fd, "\n", 1);
      close(fd);
    }
    const char* ms = std::getenv("BRIVANE_HELD_LOOKUP_MS");
    const long wait = ms && *ms ? std::strtol(ms, nullptr, 10) : 60000;
    for (timespec left = {wait / 1000, (wait % 1000) * 1000000L}; nanosleep(&left, &left) != 0 && errno == EINTR;) {
    }
    return EAI_AGAIN;
  }
  static const auto real = reinterpret_cast<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>(
      dlsym(RTLD_NEXT, "getaddrinfo"));
  return real ? real(node, service, hints, res) : EAI_SYSTEM;
}
