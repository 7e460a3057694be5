#include "config_ui/screensaver_discovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string_view>
#include <system_error>

#include "common/text.h"
#include "platform/screensaver_program.h"

namespace brivane {
namespace fs = std::filesystem;

namespace {

// Limits for a walk over folders we do not control.
constexpr int kMaxDepth = 16;
constexpr size_t kMaxEntries = 20000;  // directory entries looked at, in all
constexpr size_t kMaxPrograms = 2000;

std::string realPath(const fs::path& p) {
  std::error_code ec;
  fs::path r = fs::canonical(p, ec);
  return ec ? std::string() : r.string();
}

bool nameLess(const fs::path& a, const fs::path& b) {
  const std::string x = a.filename().string(), y = b.filename().string();
  const auto lowerLess = [](char l, char r) { return asciiLowerChar(l) < asciiLowerChar(r); };
  const bool less = std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), lowerLess);
  if (less) return true;
  const bool greater = std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end(), lowerLess);
  return !greater && x < y;  // names equal but for case: byte order
}

struct Walk {
  const std::string& own;
  const std::atomic<bool>* stop;
  std::set<std::string> searched;  // real paths of the folders already searched
  std::vector<std::string> found;
  size_t seen = 0;

  bool stopped() const {
    return (stop != nullptr && stop->load(std::memory_order_acquire)) || seen >= kMaxEntries ||
           found.size() >= kMaxPrograms;
  }

  void folder(const fs::path& dir, int depth) {
    if (depth > kMaxDepth || stopped()) return;
    const std::string real = realPath(dir);
    if (real.empty() || !searched.insert(real).second) return;
    std::vector<fs::path> files, folders;
    std::error_code ec;
    for (fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
      if (++seen >= kMaxEntries) break;
      const fs::path& p = it->path();
      std::error_code sec;
      const fs::file_status own = it->symlink_status(sec);
      if (sec) continue;
      if (fs::is_directory(own)) {
        if (p.filename().string().front() != '.') folders.push_back(p);
        continue;  // a link to a folder is a symlink, not a directory: never followed
      }
      // A program may be a link to one; what it points to must be an executable file.
      if (fs::is_symlink(own) && fs::is_directory(fs::status(p, sec))) continue;
      struct stat st {};
      if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(p.c_str(), X_OK) != 0) continue;
      files.push_back(p);
    }
    std::sort(files.begin(), files.end(), nameLess);
    std::sort(folders.begin(), folders.end(), nameLess);
    for (const fs::path& f : files) {
      if (found.size() >= kMaxPrograms) break;
      if (!own.empty() && realPath(f) == own) continue;
      if (IsScreensaverHelper(f.filename().string())) continue;
      found.push_back(f.string());
    }
    for (const fs::path& d : folders) folder(d, depth + 1);
  }
};

}  // namespace

bool IsScreensaverHelper(const std::string& fileName) {
  static constexpr std::string_view kHelpers[] = {"getimage", "getimage-file", "getimage-video", "text"};
  const std::string_view name = fileName;
  for (std::string_view helper : kHelpers) {
    if (name == helper) return true;
    if (name.size() > helper.size() && name.ends_with(helper) && name[name.size() - helper.size() - 1] == '-')
      return true;
  }
  return false;
}

std::vector<std::string> ScreensaverFolders() {
  const char* env = std::getenv("BRIVANE_SAVER_PATH");
  if (env == nullptr) return defaultHackFolders();
  std::vector<std::string> folders;
  std::string item;
  for (const char* c = env;; ++c) {
    if (*c == ':' || *c == '\0') {
      if (!item.empty()) folders.push_back(item);
      item.clear();
      if (*c == '\0') break;
    } else {
      item += *c;
    }
  }
  return folders;
}

std::string OwnProgramFile() { return realPath("/proc/self/exe"); }

std::vector<std::string> FindScreensaverPrograms(const std::vector<std::string>& folders,
                                                 const std::string& ownFile, const std::atomic<bool>* stop) {
  const std::string own = ownFile.empty() ? std::string() : realPath(ownFile);
  Walk walk{own, stop, {}, {}, 0};
  for (const std::string& f : folders) walk.folder(f, 0);  // a listed folder may itself be a link
  return std::move(walk.found);
}

std::string ScreensaverDisplayName(const std::string& path) { return fs::path(path).stem().string(); }

TGetScreensaverNames::TGetScreensaverNames(MessageTarget& owner, std::vector<std::string> folders,
                                           std::string ownFile)
    : owner_(owner), folders_(std::move(folders)), ownFile_(std::move(ownFile)) {}

TGetScreensaverNames::~TGetScreensaverNames() {
  requestStop();
  join();
}

std::vector<std::string> TGetScreensaverNames::takeNames() {
  std::lock_guard guard(lock_);
  return std::move(names_);
}

void TGetScreensaverNames::execute() {
  std::vector<std::string> names{kNone};
  for (std::string& p : FindScreensaverPrograms(folders_, ownFile_, &stopFlag())) names.push_back(std::move(p));
  deliver(std::move(names));
}

void TGetScreensaverNames::abandoned(const std::string& why) {
  (void)why;
  deliver({kNone});
}

void TGetScreensaverNames::deliver(std::vector<std::string> names) {
  if (delivered_.exchange(true)) return;
  {
    std::lock_guard guard(lock_);
    names_ = std::move(names);
  }
  owner_.post(kScreensaverNamesDone, 0);
}

}  // namespace brivane
