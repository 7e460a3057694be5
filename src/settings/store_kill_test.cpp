// The store file under processes that die in the middle of a save, and
// under two processes saving at once. Children are forked; each uses its own
// FileRegistryStore on the same file, as two runs of the program would.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "platform/registry_file.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

using Step = FileRegistryStore::CommitStep;

// About 100 KB: 40 keys of 25 values, each carrying the generation of the save that wrote it.
void forEachValue(const std::function<void(const std::string& key, const std::string& name)>& f) {
  for (int k = 0; k < 40; ++k)
    for (int v = 0; v < 25; ++v) f("Software\\torvex\\KillTest\\Key" + std::to_string(k), "v" + std::to_string(v));
}
bool writeGeneration(RegistryStore& s, uint64_t gen) {
  const std::string value = std::to_string(gen) + ";" + std::string(90, 'x');
  forEachValue([&](auto& key, auto& name) { s.writeString(key, name, value); });
  return true;
}
// The one generation every value holds; nothing when they differ or one is missing.
std::optional<uint64_t> storedGeneration(RegistryStore& s) {
  std::set<std::string> seen;
  forEachValue([&](auto& key, auto& name) { seen.insert(s.readString(key, name).value.substr(0, 20)); });
  if (seen.size() != 1 || seen.begin()->empty()) return std::nullopt;
  return std::stoull(*seen.begin());
}

// A child saving generations from `next` on, each written to `ack` once saved;
// with `killAt` it kills itself at that step of its `killOnSave`-th save.
pid_t spawnSaver(const std::string& path, uint64_t next, int ack, std::optional<Step> killAt, int killOnSave) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  FileRegistryStore store(path);
  store.load();
  int saves = 0;
  if (killAt) store.setCommitHook([&](Step at) { return at != *killAt || saves != killOnSave || ::raise(SIGKILL); });
  for (uint64_t gen = next;; ++gen, ++saves)
    if (!store.transact([gen](RegistryStore& s) { return writeGeneration(s, gen); }) ||
        ::write(ack, &gen, sizeof gen) != sizeof gen)
      ::_exit(2);
}

class StoreKill : public test::TempDirTest {
 protected:
  const std::string path_ = dir / "brivane.reg";
};

// 200 kills at random moments (one in eight from the child's start, during
// its load; the others after its first save), then 3 at each commit step.
TEST_F(StoreKill, ASaveKilledAtAnyMomentLeavesOneWholeGenerationAndNoStaleLock) {
  const auto started = std::chrono::steady_clock::now();
  FileRegistryStore first(path_);
  ASSERT_TRUE(first.load() && first.transact([](RegistryStore& s) { return writeGeneration(s, 0); }));
  const std::chrono::microseconds savePeriod =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  ASSERT_GT(std::filesystem::file_size(path_), 100000u);
  std::mt19937 random(20261207);
  uint64_t acked = 0, gen = 0;
  const std::pair<std::optional<Step>, int> plan[] = {{{}, 200}, {Step::TempWritten, 3}, {Step::BeforeRename, 3}};
  for (const auto& [step, count] : plan)
    for (int i = 0; i < count; ++i) {
      SCOPED_TRACE("kill " + std::to_string(i) + (step ? " at a commit step" : ""));
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      const pid_t child = spawnSaver(path_, acked + 1, fds[1], step, i % 3);
      ::close(fds[1]);
      const auto readAck = [&] { return ::read(fds[0], &gen, sizeof gen) == sizeof gen && (acked = gen, true); };
      if (!step) {
        ASSERT_TRUE(i % 8 == 0 || readAck());
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (2 * savePeriod.count() + 1)));
        ::kill(child, SIGKILL);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended by itself: " << status;
      while (readAck()) {}
      ::close(fds[0]);
      struct stat st {};
      EXPECT_TRUE(::stat((path_ + ".tmp").c_str(), &st) != 0 || (st.st_mode & 07777) == 0600) << "leftover not 0600";
      FileRegistryStore store(path_);
      ASSERT_TRUE(store.load()) << store.lastError();
      const auto found = storedGeneration(store);
      ASSERT_TRUE(found && (*found == acked || *found == acked + 1))
          << "acknowledged " << acked << ", found " << (found ? std::to_string(*found) : "mixed");
      EXPECT_TRUE(!step || *found == acked) << "a save killed before its rename is in the file";
      acked = *found;
      // The next save goes through at once (no lock is left behind) and removes a leftover temporary file.
      store.setLockTimeout(std::chrono::milliseconds(0));
      ASSERT_TRUE(store.transact([](RegistryStore& s) { return s.writeDword("Software\\torvex\\K", "probe", 1); }))
          << store.lastError();
      EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
    }
}

TEST_F(StoreKill, TwoProcessesCommittingInTurnKeepEachOthersValues) {
  const std::string main = "Software\\torvex\\Brivane\\1.0\\Main";
  FileRegistryStore store(path_);
  ASSERT_TRUE(store.load() && store.transact([](RegistryStore& s) { return s.writeString("\\Other", "kept", "1"); }));
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    if ((children[c] = ::fork()) != 0) continue;
    FileRegistryStore mine(path_);
    mine.load();
    DialogSettings dialog;
    dialog.pollMinutes = std::to_string(c + 1);
    for (uint32_t i = 1; i <= 40; ++i)
      if (!mine.transact([&](RegistryStore& s) { return s.writeDword(main, "proc" + std::to_string(c), i); }) ||
          !SaveSettings(mine, dialog))
        ::_exit(1);
    ::_exit(0);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ASSERT_TRUE(store.load());
  EXPECT_EQ(std::tuple(store.readDword(main, "proc0").value, store.readDword(main, "proc1").value,
                       store.readString("\\Other", "kept").value, store.readInteger(main, "pollInterval").ok()),
            std::tuple(40u, 40u, "1", true));
}

}  // namespace
}  // namespace brivane
