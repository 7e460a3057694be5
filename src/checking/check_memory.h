#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checking/message_summary.h"
#include "settings/account.h"

namespace brivane {

// Where an IMAP folder stood when the last completed check of it ended: new
// mail is an unseen message whose UID is at or above `uidNext`, as long as
// the folder keeps its `uidValidity`.
struct FolderMark {
  uint32_t uidValidity = 0;
  uint32_t uidNext = 0;
  friend bool operator==(const FolderMark&, const FolderMark&) = default;
};

// The rows a run already built for one IMAP folder, by UID, valid while the
// folder keeps `uidValidity`.
struct CachedFolder {
  uint32_t uidValidity = 0;
  std::map<uint32_t, MessageSummary> rows;
};

// The rows one account's last completed check built, so that a re-check
// fetches only messages it has not seen. Rows are used only by a check that
// fetches as much as the one that made them (previews, subjects, senders).
struct AccountCache {
  PanelPrivacy fetched = PanelPrivacy::NoPreviews;
  std::map<std::string, CachedFolder> folders;    // by folder name as LIST sent it
  std::map<std::string, MessageSummary> popRows;  // by UIDL id
};

// What checks remember about mailboxes, shared by the checker threads of a
// run (every member may be called from any thread):
// - kept in a state file across runs: per IMAP folder its FolderMark, per
//   POP3 maildrop the UIDL ids of its messages (at most kMaxPopIds), each
//   entry with the time it was last used; entries unused for kUnusedLimit
//   are dropped when the file is written;
// - kept in memory for the run only: each account's AccountCache.
// Accounts and folders are keyed by what identifies the mailbox (protocol,
// server, port, user name, folder path), so renaming or reordering accounts
// keeps what was remembered.
class CheckMemory {
 public:
  using Clock = std::chrono::system_clock;
  static constexpr size_t kMaxPopIds = 5000;
  static constexpr std::chrono::hours kUnusedLimit{24 * 90};

  // `stateFile`: the file the marks are read from (at the first use) and
  // written to (after each commit); empty keeps them in memory only. A file
  // that cannot be read or parsed counts as empty and is replaced at the
  // next commit.
  explicit CheckMemory(std::string stateFile = {});
  CheckMemory(const CheckMemory&) = delete;
  CheckMemory& operator=(const CheckMemory&) = delete;

  // The state file of the saver or of `--check` inside the log folder's
  // "seen" folder, which the log housekeeping leaves alone; the folders are
  // made and checked as the log folder is. Empty when none can be used.
  static std::string saverStateFile();
  static std::string checkModeStateFile();
  // The state file `name` in the "seen" folder of `logFolder` (a log folder
  // given by the caller, as the saver's tests give one); the log folder and
  // "seen" must be real folders of this user's closed to others. Empty when
  // they are not, or "seen" cannot be made.
  static std::string stateFileIn(const std::string& logFolder, std::string_view name);

  // The key of an account's mailbox, and of one of its IMAP folders.
  static std::string accountKey(const TEmlAccount& account);
  static std::string folderKey(const std::string& accountKey, std::string_view folderPath);

  // The remembered mark of an IMAP folder; nothing when none is.
  std::optional<FolderMark> folderMark(const std::string& folderKey);
  // The remembered UIDL ids of a POP3 maildrop; nothing when none are.
  std::optional<std::vector<std::string>> popIds(const std::string& accountKey);

  // What a completed check of an account learnt: the marks of the folders it
  // scanned, or its maildrop's ids (nothing: forget them, as for a maildrop
  // past kMaxPopIds or a server without UIDL). Stored as used now, and the
  // state file rewritten (atomically, mode 0600). False when the file could
  // not be written (the marks are kept in memory all the same).
  bool commitFolders(const std::map<std::string, FolderMark>& marksByFolderKey);
  bool commitPopIds(const std::string& accountKey, std::optional<std::vector<std::string>> ids);

  // The account's cache, taken out of the memory: empty when there is none
  // or it was made fetching other parts. A check that fails simply never
  // gives it back, so its next check starts afresh.
  AccountCache takeCache(const std::string& accountKey, PanelPrivacy fetched);
  void keepCache(const std::string& accountKey, AccountCache cache);

  // A password the account's command printed earlier in this run (kept in
  // memory only, never in the state file); forgotten when the server
  // refused it, so the next check asks the command again.
  std::optional<std::string> password(const std::string& accountKey);
  void keepPassword(const std::string& accountKey, std::string password);
  void forgetPassword(const std::string& accountKey);

  // Tests set the clock.
  void setNow(std::function<Clock::time_point()> now);

 private:
  struct FolderEntry {
    FolderMark mark;
    Clock::time_point used;
  };
  struct PopEntry {
    std::vector<std::string> ids;
    Clock::time_point used;
  };

  void loadLocked();
  bool saveLocked();
  Clock::time_point now() const;

  std::mutex mutex_;
  std::string stateFile_;
  bool loaded_ = false;
  std::map<std::string, FolderEntry> folders_;
  std::map<std::string, PopEntry> pops_;
  std::map<std::string, AccountCache> caches_;
  std::map<std::string, std::string> passwords_;
  std::function<Clock::time_point()> now_;
};

}  // namespace brivane
