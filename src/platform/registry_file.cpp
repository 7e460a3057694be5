#include "platform/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/xdg_paths.h"

namespace brivane {

namespace {

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return path == "." ? std::string(cwd) : std::string(cwd) + "/" + path;
}

// The file a path finally names, following links (also a dangling last one).
std::string linkTarget(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string to(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<size_t>(n) >= to.size()) return path;
    to.resize(static_cast<size_t>(n));
    path = to[0] == '/' ? to : folderOf(path) + "/" + to;
  }
  return path;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Holds an exclusive flock on a lock file for its lifetime.
class FileLock {
 public:
  bool acquire(const std::string& path, std::chrono::milliseconds wait, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd_ < 0) {
      error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      error = path + " is not a regular file";
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        error = "cannot lock " + path + ": " + std::strerror(errno);
        return false;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        error = "the store is locked by another process: " + path;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }

 private:
  int fd_ = -1;
};

}  // namespace

// ---- FileRegistryStore ----

FileRegistryStore::FileRegistryStore(std::string path) : path_(std::move(path)) {}

std::string FileRegistryStore::defaultPath() {
  if (const char* p = std::getenv("BRIVANE_STORE"); p && *p) return p;
  const std::string config = xdgConfigHome();
  if (config.empty()) return {};
  return config + "/torvex/Brivane/brivane.reg";
}

FileRegistryStore::ReadResult FileRegistryStore::readFile(RegNode& root) {
  // Without blocking: a FIFO or a device named as the store must not hang
  // the program; anything but a regular file is refused below.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::Missing;
    error_ = "cannot open " + path_ + ": " + std::strerror(errno);
    return ReadResult::Failed;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error_ = path_ + " is not a regular file";
    return ReadResult::Failed;
  }
  std::string bytes;
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = "cannot read " + path_ + ": " + std::strerror(errno);
      ::close(fd);
      return ReadResult::Failed;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
    if (bytes.size() > kMaxStoreFileSize) {
      error_ = path_ + " is larger than the largest store accepted";
      ::close(fd);
      return ReadResult::Failed;
    }
  }
  ::close(fd);
  std::string why;
  RegNode parsed;
  if (!parseRegistryFile(bytes, parsed, why)) {
    error_ = path_ + ": " + why;
    return ReadResult::Failed;  // nothing of a refused file is served
  }
  root = std::move(parsed);
  return ReadResult::Ok;
}

bool FileRegistryStore::writeFile(const RegNode& root, const std::string& target) {
  const std::string text = serializeRegistryFile(root);
  std::string why;
  // A file that no load would accept is never written: every reader would
  // then see an empty store and lose every account.
  if (text.size() > kMaxStoreFileSize) {
    error_ = "the settings would make " + target + " larger than " + std::to_string(kMaxStoreFileSize >> 20) +
             " MB, a file that cannot be read back; nothing was saved and the file is left as it was";
    return false;
  }
  if (RegNode check; !parseRegistryFile(text, check, why)) {
    error_ = "the settings would make " + target + " a file that cannot be read back (" + why +
             "); nothing was saved and the file is left as it was";
    return false;
  }
  const std::string tmp = target + ".tmp";
  const auto fail = [&](const std::string& what, int fd) {
    error_ = what;
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  };
  ::unlink(tmp.c_str());  // a leftover of an interrupted commit (we hold the lock)
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail("cannot create " + tmp + ": " + std::strerror(errno), -1);
  // The file holds passwords: 0600 whatever the umask.
  if (::fchmod(fd, 0600) != 0) return fail("cannot set the mode of " + tmp + ": " + std::strerror(errno), fd);
  if (!writeAll(fd, text)) return fail("cannot write " + tmp + ": " + std::strerror(errno), fd);
  if (hook_ && !hook_(CommitStep::TempWritten)) return fail("commit stopped after writing " + tmp, fd);
  if (::fsync(fd) != 0) return fail("cannot sync " + tmp + ": " + std::strerror(errno), fd);
  if (::close(fd) != 0) return fail("cannot close " + tmp + ": " + std::strerror(errno), -1);
  if (hook_ && !hook_(CommitStep::BeforeRename)) return fail("commit stopped before renaming " + tmp, -1);
  if (::rename(tmp.c_str(), target.c_str()) != 0)
    return fail("cannot rename " + tmp + " to " + target + ": " + std::strerror(errno), -1);
  // Make the rename itself durable. The new content is in place already, so a
  // failure here is not a failed commit.
  const int dfd = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool FileRegistryStore::commit(const std::function<bool(MemoryRegistryStore&)>& apply, bool onlyWhenMissing) {
  error_.clear();
  if (path_.empty()) {
    error_ = "no store location (no home folder known)";
    return false;
  }
  // A store that is a link (a dotfile manager's) is written through it: the
  // new file replaces the link's target, and the link stays.
  const std::string target = linkTarget(path_);
  for (const std::string& dir : {folderOf(path_), folderOf(target)}) {
    std::string why;
    const int fd = openUserFolder(absolutePath(dir), 0, true, &why);
    if (fd < 0) {
      error_ = "cannot use the folder " + dir + " (" + why + ")";
      return false;
    }
    ::close(fd);
  }
  FileLock lock;
  if (!lock.acquire(path_ + ".lock", lockTimeout_, error_)) return false;
  MemoryRegistryStore fresh;
  const ReadResult r = readFile(fresh.root());
  if (r == ReadResult::Failed) return false;
  if (onlyWhenMissing && r == ReadResult::Ok) {
    mem_ = std::move(fresh);  // someone else created it meanwhile: take it as it is
    return true;
  }
  if (!apply(fresh)) {
    if (error_.empty()) error_ = "the changes could not be applied";
    return false;
  }
  if (!writeFile(fresh.root(), target)) return false;
  mem_ = std::move(fresh);
  return true;
}

bool FileRegistryStore::transact(const std::function<bool(RegistryStore&)>& apply) {
  return commit([&](MemoryRegistryStore& m) { return apply(m); }, false);
}

bool FileRegistryStore::load(const std::vector<std::string>& initialKeys) {
  error_.clear();
  MemoryRegistryStore fresh;
  if (path_.empty()) {
    error_ = "no store location (no home folder known)";
    mem_ = std::move(fresh);
    return false;
  }
  switch (readFile(fresh.root())) {
    case ReadResult::Ok:
      mem_ = std::move(fresh);
      return true;
    case ReadResult::Failed:
      mem_ = MemoryRegistryStore();  // an empty store: every default
      return false;
    case ReadResult::Missing:
      break;
  }
  const auto create = [&](MemoryRegistryStore& m) {
    for (const auto& k : initialKeys)
      if (!m.openKey(k)) return false;
    return true;
  };
  if (commit(create, true)) return true;
  // Could not create it: go on with the keys in memory, as an empty store.
  mem_ = MemoryRegistryStore();
  create(mem_);
  return false;
}

}  // namespace brivane
