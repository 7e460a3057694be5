#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "checking/check_memory.h"
#include "checking/checker_thread.h"

namespace brivane {

class ImapSession;

// The checker of one IMAP4 account for one cycle: logs in, lists the
// folders, keeps the watched ones in the account's order, opens each
// read-only (EXAMINE), finds its unseen messages by UID and reads the header
// (with previews also the start of the text, BODY.PEEK; for a panel that
// shows senders only just From and Date; for counts only nothing) of those
// the run has not seen yet, in batches. New mail is an unseen message at or above the
// UIDNEXT that the last completed check recorded (CheckMemory). Nothing on
// the server changes, not even a \Recent flag.
class TIMAPChecker : public CheckerThread {
 public:
  explicit TIMAPChecker(CheckCycle& cycle);
  ~TIMAPChecker() override;

  static constexpr int kConnectTimeoutMs = 10000;
  static constexpr int kFetchReadTimeoutMs = 20000;

  // The watched folders among the server's `names`, in the order of the
  // account's folder entries ("path;caption"; paths compared without
  // surrounding blanks and ASCII case).
  static std::vector<std::string> watchedFolders(const std::vector<std::string>& names,
                                                 const std::vector<std::string>& entries);
  // The same as indices into `names`.
  static std::vector<size_t> watchedFolderIndices(const std::vector<std::string>& names,
                                                  const std::vector<std::string>& entries);

 protected:
  void execute() override;

 private:
  // The folder phase; false when the check ended in it (a status row was set
  // or nothing more is to be done).
  bool readFolders(ImapSession& client);
  void scanFolders(ImapSession& client);
  void stopPoint() const;

  // What the scan of the watched folders gathers for the end of the check.
  struct FolderScan {
    AccountCache cache;
    std::map<std::string, FolderMark> marks;  // by CheckMemory::folderKey
    bool anyUnseen = false;
    bool newMail = false;
  };

  // A watched folder: its decoded name (shown, matched against the
  // account's entries) and its name as LIST sent it (used on the wire).
  struct Folder {
    std::string name;
    std::string wire;
  };
  void scanFolder(ImapSession& client, const Folder& entry, FolderScan& scan);

  std::vector<Folder> folderNames;
  std::string memoryKey_;
};

}  // namespace brivane
