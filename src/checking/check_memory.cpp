#include "checking/check_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <utility>

#include "common/log_directory.h"
#include "common/xdg_paths.h"

namespace brivane {
namespace {

// A part of a key with every byte outside the printable ASCII letters,
// digits and "-._@" written as %XX, so that keys hold no blank, no "|" and
// no line break whatever the account's server or user name.
std::string percentEncodeKeyPart(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '@';
    if (plain) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The state file: a version line, then one line per entry, each ended by a
// line feed, fields separated by one blank:
//   imap <last used, Unix seconds> <UIDVALIDITY> <UIDNEXT> <folder key>
//   pop3 <last used, Unix seconds> <account key> <UIDL id>...
// Keys hold no blank (see percentEncodeKeyPart), UIDL ids cannot.
constexpr std::string_view kVersionLine = "brivane-seen 1";
// A longer file is not read: at most kMaxPopIds ids of 70 characters make
// about 350 KB per maildrop.
constexpr off_t kMaxStateBytes = 16 << 20;
constexpr size_t kMaxPopIdLength = 70;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int release() { return std::exchange(fd, -1); }
};

// What accountKey and folderKey can make: the bytes percentEncodeKeyPart
// leaves plain, "%" and the separator "|".
bool validKey(std::string_view key) {
  if (key.empty()) return false;
  for (const char c : key) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '@' || c == '%' || c == '|';
    if (!ok) return false;
  }
  return true;
}

// A UIDL id as a server may send it: 1 to 70 printable ASCII characters
// other than the blank.
bool validPopId(std::string_view id) {
  if (id.empty() || id.size() > kMaxPopIdLength) return false;
  for (const char c : id)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

// Decimal digits only (no sign, no blank), at most `max`.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (size_t pos = 0;;) {
    const size_t end = line.find(' ', pos);
    fields.push_back(line.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    if (end == std::string_view::npos) return fields;
    pos = end + 1;
  }
}

// One entry line of the state file, checked field by field; nothing when
// any field is out of range.
struct EntryLine {
  bool pop = false;
  uint64_t usedSeconds = 0;
  std::string key;
  FolderMark mark;
  std::vector<std::string> ids;
};

std::optional<EntryLine> parseEntryLine(std::string_view line) {
  const std::vector<std::string_view> f = splitFields(line);
  if (f.size() < 3) return std::nullopt;
  EntryLine entry;
  const auto used = parseNumber(f[1], std::numeric_limits<int64_t>::max());
  if (!used) return std::nullopt;
  entry.usedSeconds = *used;
  if (f[0] == "imap") {
    const auto validity = parseNumber(f[2], std::numeric_limits<uint32_t>::max());
    const auto next = f.size() == 5 ? parseNumber(f[3], std::numeric_limits<uint32_t>::max()) : std::nullopt;
    if (!validity || !next || *validity == 0 || *next == 0 || !validKey(f[4])) return std::nullopt;
    entry.mark = {static_cast<uint32_t>(*validity), static_cast<uint32_t>(*next)};
    entry.key = f[4];
    return entry;
  }
  if (f[0] == "pop3") {
    if (!validKey(f[2]) || f.size() - 3 > CheckMemory::kMaxPopIds) return std::nullopt;
    entry.pop = true;
    entry.key = f[2];
    for (size_t i = 3; i < f.size(); ++i) {
      if (!validPopId(f[i])) return std::nullopt;
      entry.ids.emplace_back(f[i]);
    }
    return entry;
  }
  return std::nullopt;
}

// The folder part and the name part of a state file's path.
bool splitPath(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return false;
  folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  name = path.substr(slash + 1);
  return true;
}

// The state file's text, read through a descriptor that follows no link in
// a folder that is this user's and closed to others; nothing when the file
// is missing, is not a regular file of this user's, is longer than
// kMaxStateBytes or cannot be read.
std::optional<std::string> readStateFile(const std::string& path) {
  std::string folder, name;
  if (!splitPath(path, folder, name)) return std::nullopt;
  const Fd dir(openUserFolder(folder, 1, false));
  if (dir.fd < 0) return std::nullopt;
  // O_NONBLOCK: a FIFO put there must not hold the checker up.
  const Fd file(::openat(dir.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() || st.st_size > kMaxStateBytes)
    return std::nullopt;
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    // Grown since fstat: still bounded.
    if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxStateBytes)) return std::nullopt;
    text.append(buffer, static_cast<size_t>(n));
  }
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Replaces the state file atomically: a new file (mode 0600) in the same
// folder, written and synced, then renamed over the old one. A reader sees
// the old file or the new one, never a part; a link in the file's place is
// replaced, never followed. False on any failure, the new file then removed.
bool writeStateFile(const std::string& path, std::string_view text) {
  std::string folder, name;
  if (!splitPath(path, folder, name)) return false;
  const Fd dir(openUserFolder(folder, 1, false));
  if (dir.fd < 0) return false;
  // Named after this process and a counter, so that no other writer, of
  // this process or another, ever opens the same temporary file.
  static std::atomic<unsigned> serial{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    temp = "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(serial++) + ".tmp";
    fd = ::openat(dir.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Left by an ended process that had this number: no one writes it.
    if (fd < 0 && errno == EEXIST) ::unlinkat(dir.fd, temp.c_str(), 0);
  }
  if (fd < 0) return false;
  Fd file(fd);
  bool ok = ::fchmod(file.fd, 0600) == 0 && writeAll(file.fd, text) && ::fsync(file.fd) == 0;
  ok = ::close(file.release()) == 0 && ok;
  ok = ok && ::renameat(dir.fd, temp.c_str(), dir.fd, name.c_str()) == 0;
  if (!ok) {
    ::unlinkat(dir.fd, temp.c_str(), 0);
    return false;
  }
  ::fsync(dir.fd);  // the rename itself; the file is whole either way
  return true;
}

int64_t unixSeconds(CheckMemory::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

bool unusedTooLong(CheckMemory::Clock::time_point used, CheckMemory::Clock::time_point now) {
  return now - used > CheckMemory::kUnusedLimit;
}

}  // namespace

CheckMemory::CheckMemory(std::string stateFile) : stateFile_(std::move(stateFile)) {}

void CheckMemory::setNow(std::function<Clock::time_point()> now) {
  std::lock_guard lock(mutex_);
  now_ = std::move(now);
}

CheckMemory::Clock::time_point CheckMemory::now() const { return now_ ? now_() : Clock::now(); }

std::string CheckMemory::accountKey(const TEmlAccount& account) {
  // Blanks and "|" cannot occur unescaped in a key, so its parts never run
  // into each other.
  return std::string(account.isPOP ? "pop3" : "imap") + "|" + percentEncodeKeyPart(account.server) + "|" +
         std::to_string(account.port) + "|" + percentEncodeKeyPart(account.username);
}

std::string CheckMemory::folderKey(const std::string& accountKey, std::string_view folderPath) {
  return accountKey + "|" + percentEncodeKeyPart(folderPath);
}

std::optional<FolderMark> CheckMemory::folderMark(const std::string& folderKey) {
  std::lock_guard lock(mutex_);
  loadLocked();
  auto it = folders_.find(folderKey);
  if (it == folders_.end()) return std::nullopt;
  return it->second.mark;
}

std::optional<std::vector<std::string>> CheckMemory::popIds(const std::string& accountKey) {
  std::lock_guard lock(mutex_);
  loadLocked();
  auto it = pops_.find(accountKey);
  if (it == pops_.end()) return std::nullopt;
  return it->second.ids;
}

bool CheckMemory::commitFolders(const std::map<std::string, FolderMark>& marksByFolderKey) {
  std::lock_guard lock(mutex_);
  loadLocked();
  const auto t = now();
  for (const auto& [key, mark] : marksByFolderKey) folders_[key] = {mark, t};
  return saveLocked();
}

bool CheckMemory::commitPopIds(const std::string& accountKey, std::optional<std::vector<std::string>> ids) {
  std::lock_guard lock(mutex_);
  loadLocked();
  if (ids && ids->size() <= kMaxPopIds) pops_[accountKey] = {std::move(*ids), now()};
  else pops_.erase(accountKey);
  return saveLocked();
}

std::optional<std::string> CheckMemory::password(const std::string& accountKey) {
  std::lock_guard lock(mutex_);
  auto it = passwords_.find(accountKey);
  if (it == passwords_.end()) return std::nullopt;
  return it->second;
}

void CheckMemory::keepPassword(const std::string& accountKey, std::string password) {
  std::lock_guard lock(mutex_);
  passwords_[accountKey] = std::move(password);
}

void CheckMemory::forgetPassword(const std::string& accountKey) {
  std::lock_guard lock(mutex_);
  passwords_.erase(accountKey);
}

AccountCache CheckMemory::takeCache(const std::string& accountKey, PanelPrivacy fetched) {
  std::lock_guard lock(mutex_);
  auto it = caches_.find(accountKey);
  if (it == caches_.end()) return AccountCache{fetched, {}, {}};
  AccountCache cache = std::move(it->second);
  caches_.erase(it);
  if (cache.fetched != fetched) return AccountCache{fetched, {}, {}};
  return cache;
}

void CheckMemory::keepCache(const std::string& accountKey, AccountCache cache) {
  std::lock_guard lock(mutex_);
  caches_[accountKey] = std::move(cache);
}

std::string CheckMemory::stateFileIn(const std::string& logFolder, std::string_view name) {
  if (logFolder.empty() || name.empty()) return {};
  std::string folder = logFolder;
  if (folder.back() != '/') folder += '/';
  folder += "seen";
  // The log folder and "seen" are the program's own: never links, this
  // user's, closed to others.
  const Fd fd(openUserFolder(folder, 2, true));
  if (fd.fd < 0) return {};
  return folder + "/" + std::string(name);
}

std::string CheckMemory::saverStateFile() {
  std::string logFolder;
  return GetLogDirectory(logFolder) ? stateFileIn(logFolder, "saver") : std::string();
}

std::string CheckMemory::checkModeStateFile() {
  std::string logFolder;
  return GetLogDirectory(logFolder) ? stateFileIn(logFolder, "check") : std::string();
}

void CheckMemory::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  if (stateFile_.empty()) return;
  const std::optional<std::string> text = readStateFile(stateFile_);
  if (!text) return;
  std::string_view rest = *text;
  // Another program's file or a later version's: as good as none.
  const size_t first = rest.find('\n');
  if (first == std::string_view::npos || rest.substr(0, first) != kVersionLine) return;
  rest.remove_prefix(first + 1);
  const Clock::time_point t = now();
  const auto nowSeconds = static_cast<uint64_t>(std::max<int64_t>(unixSeconds(t), 0));
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // cut short: the last line is not whole
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    std::optional<EntryLine> entry = parseEntryLine(line);
    if (!entry) continue;
    // A time ahead of the clock (set back since) counts as now.
    const Clock::time_point used{std::chrono::seconds(std::min(entry->usedSeconds, nowSeconds))};
    if (unusedTooLong(used, t)) continue;
    if (entry->pop) pops_.emplace(std::move(entry->key), PopEntry{std::move(entry->ids), used});
    else folders_.emplace(std::move(entry->key), FolderEntry{entry->mark, used});
  }
}

bool CheckMemory::saveLocked() {
  const Clock::time_point t = now();
  std::erase_if(folders_, [&](const auto& e) { return unusedTooLong(e.second.used, t); });
  std::erase_if(pops_, [&](const auto& e) { return unusedTooLong(e.second.used, t); });
  if (stateFile_.empty()) return true;
  // Only what the loader accepts is written: a key or an id that could
  // break a line (a server's UIDL id is not trusted) stays in memory only.
  std::string text = std::string(kVersionLine) + "\n";
  const auto seconds = [](Clock::time_point used) { return std::to_string(std::max<int64_t>(unixSeconds(used), 0)); };
  for (const auto& [key, entry] : folders_) {
    if (!validKey(key) || entry.mark.uidValidity == 0 || entry.mark.uidNext == 0) continue;
    text += "imap " + seconds(entry.used) + " " + std::to_string(entry.mark.uidValidity) + " " +
            std::to_string(entry.mark.uidNext) + " " + key + "\n";
  }
  for (const auto& [key, entry] : pops_) {
    if (!validKey(key)) continue;
    text += "pop3 " + seconds(entry.used) + " " + key;
    for (const std::string& id : entry.ids)
      if (validPopId(id)) text += " " + id;
    text += "\n";
  }
  return writeStateFile(stateFile_, text);
}

}  // namespace brivane
