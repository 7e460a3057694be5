#include "platform/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/text.h"
#include "common/xdg_paths.h"
#include "platform/utf16.h"

namespace brivane {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// ---- reading ----

// The encoding is decided once for the whole file: a UTF-16LE byte-order
// mark, else UTF-8 (with or without its mark) when every byte of it is
// well-formed, else Windows-1252, as an older export saved as "ANSI" is.
// Deciding piece by piece would read runs of an ANSI file that happen to be
// valid UTF-8 (a scrambled password) as something else.
std::string decodeFileText(std::string_view b) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  if (b.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return utf16LeToWtf8(b.substr(2));
  if (b.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) b.remove_prefix(3);
  return isValidUtf8(b) ? std::string(b) : windows1252ToUtf8(b);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A value of the file. One named a second time takes the place of the last
// mention (where it wins), so the values between two kept lines stay between
// them on writing: kept lines brought together could read back as one value.
void readValueAgain(RegNode& key, const std::string& name, const RegValue& v) {
  for (size_t i = 0; i < key.values.size(); ++i) {
    if (compareRegistryNames(key.values[i].first, name) != 0) continue;
    key.values.erase(key.values.begin() + static_cast<std::ptrdiff_t>(i));
    for (RawLine& line : key.extraLines)
      if (line.place > i) --line.place;
    break;
  }
  key.values.emplace_back(name, v);
}

class Parser {
 public:
  explicit Parser(std::string_view t) : t_(t) {}

  // Index of the end of the line that holds `from` (its '\n' or the end).
  size_t lineEnd(size_t from) const {
    const size_t e = t_.find('\n', from);
    return e == std::string_view::npos ? t_.size() : e;
  }
  // The line starting at `from`, without its line end (LF or CR LF).
  std::string_view line(size_t from) const {
    std::string_view l = t_.substr(from, lineEnd(from) - from);
    while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    return l;
  }

  // Parses a value entry starting at `p`. On success sets name and value
  // and returns the index after the entry's last line end.
  bool value(size_t p, std::string& name, RegValue& v, size_t& next) const {
    while (p < t_.size() && isBlank(t_[p])) ++p;
    if (p >= t_.size()) return false;
    if (t_[p] == '@') {
      name.clear();
      ++p;
    } else if (!quoted(p, name, false)) {
      return false;
    }
    while (p < t_.size() && isBlank(t_[p])) ++p;
    if (p >= t_.size() || t_[p] != '=') return false;
    ++p;
    while (p < t_.size() && isBlank(t_[p])) ++p;
    const std::string_view rest = t_.substr(p);
    if (!rest.empty() && rest[0] == '"') {
      std::string s;
      if (!quoted(p, s, true)) return false;
      v = RegValue::string(s);
    } else if (startsWithIgnoreCase(rest, "dword:")) {
      p += 6;
      uint32_t d = 0;
      int digits = 0;
      while (p < t_.size() && hexDigitValue(t_[p]) >= 0 && digits < 9) {
        d = (d << 4) | static_cast<uint32_t>(hexDigitValue(t_[p]));
        ++p;
        ++digits;
      }
      if (digits == 0 || digits > 8) return false;
      v = RegValue::dword(d);
    } else if (startsWithIgnoreCase(rest, "hex")) {
      p += 3;
      uint32_t type = kRegBinary;
      if (p < t_.size() && t_[p] == '(') {
        ++p;
        type = 0;
        int digits = 0;
        while (p < t_.size() && hexDigitValue(t_[p]) >= 0 && digits < 9) {
          type = (type << 4) | static_cast<uint32_t>(hexDigitValue(t_[p]));
          ++p;
          ++digits;
        }
        if (digits == 0 || digits > 8 || p >= t_.size() || t_[p] != ')') return false;
        ++p;
      }
      if (p >= t_.size() || t_[p] != ':') return false;
      ++p;
      v.type = type;
      v.data.clear();
      if (!hexList(p, v.data)) return false;
    } else {
      return false;
    }
    // Only blanks may follow on the entry's last line.
    while (p < t_.size() && (isBlank(t_[p]) || t_[p] == '\r')) ++p;
    if (p < t_.size() && t_[p] != '\n') return false;
    next = p < t_.size() ? p + 1 : p;
    return true;
  }

 private:
  // A double-quoted text starting at `p` ('"'); "\\" and "\"" are escapes,
  // anything else is taken as it stands. A name must close on its own line;
  // a string may run across line ends (Windows writes control characters
  // raw), but never into a line that starts a key, so that a broken line
  // cannot swallow the sections after it. A scan ends at the first quote
  // after its own, and only a line that starts with a quote (or "@=") starts
  // the next one, so broken lines cost linear time in all.
  bool quoted(size_t& p, std::string& out, bool multiLine) const {
    out.clear();
    size_t q = p + 1;
    while (q < t_.size()) {
      const char c = t_[q];
      if (c == '\\' && q + 1 < t_.size() && (t_[q + 1] == '\\' || t_[q + 1] == '"')) {
        out.push_back(t_[q + 1]);
        q += 2;
      } else if (c == '"') {
        p = q + 1;
        return true;
      } else if (c == '\n' && (!multiLine || (q + 1 < t_.size() && t_[q + 1] == '['))) {
        break;
      } else {
        out.push_back(c);
        ++q;
      }
    }
    return false;  // not closed
  }

  // Comma-separated hex bytes; "\" at a line end continues on the next line.
  bool hexList(size_t& p, std::string& out) const {
    while (true) {
      while (p < t_.size() && isBlank(t_[p])) ++p;
      if (p >= t_.size() || t_[p] == '\r' || t_[p] == '\n') return true;
      if (t_[p] == '\\') {
        ++p;
        while (p < t_.size() && (isBlank(t_[p]) || t_[p] == '\r')) ++p;
        if (p >= t_.size()) return true;
        if (t_[p] != '\n') return false;
        ++p;
        continue;
      }
      const int hi = hexDigitValue(t_[p]);
      if (hi < 0) return false;
      int byte = hi;
      ++p;
      if (p < t_.size() && hexDigitValue(t_[p]) >= 0) {
        byte = (byte << 4) | hexDigitValue(t_[p]);
        ++p;
      }
      out.push_back(static_cast<char>(byte));
      while (p < t_.size() && isBlank(t_[p])) ++p;
      if (p < t_.size() && t_[p] == ',') ++p;
      else if (p < t_.size() && t_[p] != '\r' && t_[p] != '\n' && t_[p] != '\\') return false;
    }
  }

  std::string_view t_;
};

// Splits "HKEY_CURRENT_USER\Software\..." into its components; false when one is not a valid name.
bool splitFullPath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  size_t pos = 0;
  while (true) {
    if (parts.size() > kMaxKeyDepth) return false;
    size_t end = path.find('\\', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    if (!isValidKeyName(part)) return false;
    parts.push_back(part);
    if (end == path.size()) return true;
    pos = end + 1;
  }
}

// ---- writing ----

// Names and kept lines as well-formed UTF-8, so that the file as a whole
// reads back as UTF-8: an unpaired surrogate (from a UTF-16 file) becomes
// U+FFFD, a stray byte its Windows-1252 character. The reader applies it to
// names and kept lines too, so that what it holds is what a save writes and
// reads back (only string data keeps unpaired surrogates: it is UTF-16).
std::string wellFormed(std::string_view s) { return isValidUtf8(s) ? std::string(s) : utf16LeToUtf8(utf8ToUtf16Le(s)); }

std::string quote(std::string_view text) {
  const std::string s = wellFormed(text);
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool hasControlCharacter(std::string_view utf8) {
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) return true;
  }
  return false;
}

// The text of a REG_SZ that can be written in the quoted form, or nothing.
std::optional<std::string> plainString(const std::string& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  if (data[data.size() - 1] != '\0' || data[data.size() - 2] != '\0') return std::nullopt;
  const std::string_view body(data.data(), data.size() - 2);
  if (!isWellFormedUtf16Le(body)) return std::nullopt;
  std::string text = utf16LeToUtf8(body);
  if (hasControlCharacter(text)) return std::nullopt;  // also catches an embedded NUL
  return text;
}

void appendHex(std::string& out, size_t lineStart, const std::string& data) {
  static const char* digits = "0123456789abcdef";
  size_t col = out.size() - lineStart;
  for (size_t i = 0; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
    col += 2;
    if (i + 1 < data.size()) {
      out.push_back(',');
      ++col;
      if (col >= 76) {
        out += "\\\n  ";
        col = 2;
      }
    }
  }
}

void writeValue(std::string& out, const std::string& name, const RegValue& v) {
  const size_t lineStart = out.size();
  out += name.empty() ? std::string("@") : quote(name);
  out.push_back('=');
  if (v.type == kRegSz) {
    if (auto text = plainString(v.data)) {
      out += quote(*text);
      out.push_back('\n');
      return;
    }
  }
  if (v.type == kRegDword && v.data.size() == 4) {
    uint32_t d = 0;
    for (int k = 0; k < 4; ++k) d |= static_cast<uint32_t>(static_cast<unsigned char>(v.data[k])) << (8 * k);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    out += buf;
  } else if (v.type == kRegBinary) {
    out += "hex:";
    appendHex(out, lineStart, v.data);
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
    appendHex(out, lineStart, v.data);
  }
  out.push_back('\n');
}

void writeNode(std::string& out, const RegNode& node, const std::string& path) {
  if (node.listed || !node.values.empty() || !node.extraLines.empty()) {
    out += "[" + wellFormed(path) + "]\n";
    // Unknown lines go back among the values where they stood. Two that
    // stood apart (in two sections of the key, or with a value since
    // deleted between them), and one and a default value after it, are kept
    // apart by the key line written again: a line that starts a key ends any
    // quoted text.
    size_t next = 0;
    bool lastKept = false;
    for (size_t i = 0; i <= node.values.size(); ++i) {
      while (next < node.extraLines.size() && (node.extraLines[next].place <= i || i == node.values.size())) {
        const RawLine& line = node.extraLines[next++];
        if (lastKept && !line.followsKept) out += "[" + wellFormed(path) + "]\n";
        out += wellFormed(line.text) + "\n";
        lastKept = true;
      }
      if (i < node.values.size()) {
        // "@=" holds no quote to end an open one, as a named value's line does.
        if (lastKept && node.values[i].first.empty()) out += "[" + wellFormed(path) + "]\n";
        writeValue(out, node.values[i].first, node.values[i].second);
        lastKept = false;
      }
    }
    out += "\n";
  }
  for (const auto& c : node.children) writeNode(out, c, path + "\\" + c.name);
}

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

bool parseRegistryFile(std::string_view bytes, RegNode& root, std::string& error) {
  const std::string text = decodeFileText(bytes);
  const Parser parser(text);
  size_t p = 0;
  // Header: the first line that is not blank.
  while (p < text.size()) {
    const std::string_view l = parser.line(p);
    if (!trimControl(l).empty()) break;
    p = parser.lineEnd(p) + 1;
  }
  if (p >= text.size()) return true;  // empty file: an empty store
  const std::string header = trimControl(parser.line(p));
  if (header != kHeader5 && header != kHeader4) {
    error = "not a registry export file (first line: \"" + utf8Cut(header, 60) + "\")";
    return false;
  }
  p = parser.lineEnd(p) + 1;

  RegNode* current = nullptr;
  std::vector<std::string_view> parts;
  size_t keys = 0;
  bool lastKept = false;  // the last line that was not blank was kept
  while (p < text.size()) {
    const std::string_view l = parser.line(p);
    size_t lead = 0;
    while (lead < l.size() && isBlank(l[lead])) ++lead;
    const std::string_view body = l.substr(lead);
    size_t next = parser.lineEnd(p) + 1;
    bool known = false;
    if (body.empty()) {
      known = true;
    } else if (body[0] == '[') {
      // The key path runs to the last "]" of the line, so names may hold "]".
      // The lines after a key line that is not valid (a deletion "[-...]",
      // an empty or NUL-holding name, text after the "]") belong to no key:
      // they are kept as lines, never applied to the key before.
      current = nullptr;
      const size_t close = body.rfind(']');
      if (close != std::string_view::npos && close > 1 && body[1] != '-' &&
          trimControl(body.substr(close + 1)).empty() && splitFullPath(body.substr(1, close - 1), parts)) {
        current = &root;
        for (const auto& raw : parts) {
          const std::string part = wellFormed(raw);
          RegNode* existing = current->child(part);
          if (!existing && ++keys > kMaxStoreKeys) {
            error = "more than " + std::to_string(kMaxStoreKeys) + " keys";
            return false;
          }
          current = existing ? existing : &current->childOrCreate(part);
        }
        current->listed = true;
        known = true;
      }
    } else if ((body[0] == '"' || body[0] == '@') && current) {
      std::string name;
      RegValue v;
      size_t after = 0;
      if (parser.value(p + lead, name, v, after)) {
        name = wellFormed(name);
        if (current->values.size() >= kMaxValuesPerKey && !current->value(name)) {
          error = "more than " + std::to_string(kMaxValuesPerKey) + " values in one key";
          return false;
        }
        readValueAgain(*current, name, v);
        next = after;
        known = true;
      }
    }
    if (!known) {
      RegNode& owner = current ? *current : root;
      owner.extraLines.push_back({owner.values.size(), wellFormed(l), lastKept && current != nullptr});
      lastKept = true;
    } else if (!body.empty()) {
      lastKept = false;
    }
    p = next;
  }
  return true;
}

std::string serializeRegistryFile(const RegNode& root) {
  std::string out(kHeader5);
  out += "\n\n";
  // Lines that belong to no key (before the first key, or after a key line
  // that is not valid) stand before every key, where they read back the same.
  for (const auto& l : root.extraLines) out += wellFormed(l.text) + "\n";
  if (!root.extraLines.empty()) out += "\n";
  for (const auto& hive : root.children) writeNode(out, hive, hive.name);
  return out;
}

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
