#include "checking/connection_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log_directory.h"
#include "common/text.h"
#include "common/time.h"
#include "common/xdg_paths.h"

namespace brivane {

namespace {

// Longest account-name part of a log file name, in bytes (file names end at 255).
constexpr size_t kMaxNameBytes = 200;

// Control characters in a log line become blanks: a line is always one line.
std::string oneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string logTimestamp() { return formatLocalTime(nowSeconds(), "%Y-%m-%d %H:%M:%S"); }

std::string connectionLogFileName(std::string_view accountName) {
  std::string name = isValidUtf8(accountName) ? std::string(accountName) : bytesToUtf8(accountName);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') c = '_';
  }
  if (!name.empty() && name[0] == '.') name[0] = '_';
  if (name.size() > kMaxNameBytes) {
    size_t cut = 0;  // whole characters only
    while (cut < name.size()) {
      size_t n = utf8SequenceLength(std::string_view(name).substr(cut));
      if (n == 0) n = 1;
      if (cut + n > kMaxNameBytes) break;
      cut += n;
    }
    name.resize(cut);
  }
  return std::string(CONN_LOG_PREFIX) + name + ".log";
}

bool ConnectionLog::open(const std::string& directory, const std::string& accountName) {
  close();
  const std::string path = directory + connectionLogFileName(accountName);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  file_ = ::fdopen(fd, "a");
  if (!file_) {
    ::close(fd);
    return false;
  }
  name_ = oneLine(accountName);
  return true;
}

void ConnectionLog::line(std::string_view text) {
  if (!file_) return;
  const std::string out = logTimestamp() + " " + name_ + oneLine(text) + "\r\n";
  std::fwrite(out.data(), 1, out.size(), file_);
  std::fflush(file_);
}

void ConnectionLog::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

bool ResetLogFolder(const std::string& directory, const AccountList& accounts) {
  // The folder itself, never a link, must be this user's and closed to
  // others: otherwise nothing is deleted and nothing written.
  const int dfd = openUserFolder(directory, 1, false);
  if (dfd < 0) return false;
  const int listFd = ::dup(dfd);
  DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (!dir && listFd >= 0) ::close(listFd);
  if (dir) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(st.st_mode)) continue;  // files only
      ::unlinkat(dfd, name.c_str(), 0);
    }
    ::closedir(dir);
  }
  std::string text;
  for (const TEmlAccount& account : accounts)
    text += std::string(account.isPOP ? "POP3:" : "IMAP4:") + oneLine(account.server) + ":" +
            std::to_string(account.port) + "\r\n";
  text += "------------------\r\n";
  const int fd = ::openat(dfd, MAIN_LOG_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  ::close(dfd);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, text);
  return ::close(fd) == 0 && ok;
}

bool AppendHaltLine(const std::string& directory) {
  return AppendMainLogLine(directory, "Brivane Halted at " + logTimestamp());
}

bool AppendMainLogLine(const std::string& directory, std::string_view line) {
  const std::string path = directory + MAIN_LOG_FILE;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, oneLine(line) + "\r\n");
  return ::close(fd) == 0 && ok;
}

}  // namespace brivane
