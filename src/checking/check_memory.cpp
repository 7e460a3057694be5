#include "checking/check_memory.h"

#include <utility>


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

AccountCache CheckMemory::takeCache(const std::string& accountKey, bool preview) {
  std::lock_guard lock(mutex_);
  auto it = caches_.find(accountKey);
  if (it == caches_.end()) return AccountCache{preview, {}, {}};
  AccountCache cache = std::move(it->second);
  caches_.erase(it);
  if (cache.preview != preview) return AccountCache{preview, {}, {}};
  return cache;
}

void CheckMemory::keepCache(const std::string& accountKey, AccountCache cache) {
  std::lock_guard lock(mutex_);
  caches_[accountKey] = std::move(cache);
}

}  // namespace brivane

// --- persistence: until the state file is written, marks live in memory ---
namespace brivane {
std::string CheckMemory::saverStateFile() { return {}; }
std::string CheckMemory::checkModeStateFile() { return {}; }
void CheckMemory::loadLocked() { loaded_ = true; }
bool CheckMemory::saveLocked() { return true; }
}  // namespace brivane
