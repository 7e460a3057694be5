#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_target.h"
#include "platform/worker_thread.h"

// Finding the screensaver programs the Background tab offers.
//
// The search (Qt-free, FindScreensaverPrograms) walks the given folders
// recursively: in each folder first its executable regular files, then its
// subfolders, both sorted by name. Links to folders are not followed and a
// folder reached twice (same real path: a folder listed twice, a bind mount)
// is searched once, so the walk always ends. The program's own file (by its
// real path) is never listed, nor the helper programs that share the
// screensaver folders but are no screensavers (IsScreensaverHelper). The walk
// is bounded (depth, entries) and stops early when asked to.
namespace brivane {

// The folders to search: those of $BRIVANE_SAVER_PATH (colon separated)
// when it is set, otherwise the hack collections' folders.
std::vector<std::string> ScreensaverFolders();

// The real path of the running program (/proc/self/exe); empty when unknown.
std::string OwnProgramFile();

// Full paths of the programs found, in search order. `ownFile`: a path whose
// real path is excluded. `stop`: polled between entries; the walk ends early
// (with what it has) when it becomes true.
std::vector<std::string> FindScreensaverPrograms(const std::vector<std::string>& folders,
                                                 const std::string& ownFile,
                                                 const std::atomic<bool>* stop = nullptr);

// Whether a file name is one of the helpers kept among the screensavers
// (image grabbers, text sources and the like): they draw nothing, exit at
// once and are never offered. The name itself or any "<prefix>-" + name.
bool IsScreensaverHelper(const std::string& fileName);

// The name the list shows: the file name without its extension.
std::string ScreensaverDisplayName(const std::string& path);

// Runs the search on its own thread and posts kScreensaverNamesDone
// (wParam 0) to the owner when it has ended, also when it was stopped or
// failed. The owner then takes the list with takeNames(), on its own thread.
// The list starts with "(None)", followed by the full paths found.
class TGetScreensaverNames : public WorkerThread {
 public:
  static constexpr uint32_t kScreensaverNamesDone = 0x9541;
  static constexpr const char* kNone = "(None)";

  TGetScreensaverNames(MessageTarget& owner, std::vector<std::string> folders, std::string ownFile);
  ~TGetScreensaverNames() override;

  // The delivered list (moved out); empty before the end.
  std::vector<std::string> takeNames();

 protected:
  void execute() override;
  void abandoned(const std::string& why) override;

 private:
  void deliver(std::vector<std::string> names);

  MessageTarget& owner_;
  const std::vector<std::string> folders_;
  const std::string ownFile_;
  std::mutex lock_;
  std::vector<std::string> names_;  // guarded by lock_
  std::atomic<bool> delivered_{false};
};

}  // namespace brivane
