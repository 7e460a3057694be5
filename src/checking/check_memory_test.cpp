#include "checking/check_memory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "temp_dir.h"

using namespace brivane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Ids = std::vector<std::string>;

namespace {

constexpr int64_t kT0 = 1'800'000'000;  // Unix seconds of the tests' "now"
CheckMemory::Clock::time_point day(int days) {
  return CheckMemory::Clock::time_point(std::chrono::seconds(kT0) + std::chrono::hours(24 * days));
}

TEmlAccount account(bool pop, std::string server, std::string user, int32_t port = 993) {
  TEmlAccount a;
  a.isPOP = pop, a.server = std::move(server), a.username = std::move(user), a.port = port;
  return a;
}

class MemoryFile : public test::TempDirTest {
 protected:
  // A memory over the state file, its clock at `days` after kT0.
  std::unique_ptr<CheckMemory> open(int days = 0) {
    auto memory = std::make_unique<CheckMemory>(file_);
    memory->setNow([days] { return day(days); });
    return memory;
  }
  void writeFile(const std::string& text) { test::writeAll(file_, text); }
  std::string fileText() const { return test::readAll(file_); }
  std::string seen() const { return dir / "log/seen"; }
  const std::string file_ = CheckMemory::stateFileIn(dir / "log/", "saver");
};

TEST_F(MemoryFile, MarksAndIdsSurviveTheFileWhateverTheNames) {
  ASSERT_EQ(file_, seen() + "/saver");
  const std::string folders[] = {"INBOX", "Sent Items", "a|b", "Entw\xC3\xBC rfe", "tab\there\r\nline", "%41"};
  const TEmlAccount imaps[] = {account(false, "mail.example.org", "ann"), account(false, "mail.example.org", "ann b"),
                               account(false, "a|b", "c"), account(false, "a", "b|c"),
                               account(false, "m\xC3\xBCller.example", "\x01\x7F\n")};
  const TEmlAccount pops[] = {account(true, "pop.example", "ann", 995), account(true, "pop.example", "ann", 110),
                              account(true, "pop example", "\xE2\x82\xAC")};
  std::map<std::string, FolderMark> marks;
  uint32_t n = 1;
  for (const TEmlAccount& a : imaps)
    for (const std::string& f : folders) {
      marks[CheckMemory::folderKey(CheckMemory::accountKey(a), f)] = {n, n + 1};
      n += 2;
    }
  marks[CheckMemory::folderKey(CheckMemory::accountKey(imaps[0]), "INBOX")] = {4294967295u, 4294967295u};
  const Ids popIds[] = {{"a", std::string(70, '~'), "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~"}, {}, {"x1", "x2"}};
  {
    auto memory = open();
    ASSERT_TRUE(memory->commitFolders(marks));
    for (size_t i = 0; i < std::size(pops); ++i)
      ASSERT_TRUE(memory->commitPopIds(CheckMemory::accountKey(pops[i]), popIds[i]));
    ASSERT_TRUE(memory->commitPopIds("pop3|gone", Ids{"1"}) && memory->commitPopIds("pop3|gone", std::nullopt));
  }
  // Every key distinct, one line each: no name broke a line or ran into another.
  ASSERT_EQ(marks.size(), std::size(imaps) * std::size(folders));
  const std::string text = fileText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + marks.size() + std::size(pops)) << text;
  auto memory = open(1);
  for (const auto& [key, mark] : marks) EXPECT_EQ(memory->folderMark(key), mark) << key;
  for (size_t i = 0; i < std::size(pops); ++i) EXPECT_EQ(memory->popIds(CheckMemory::accountKey(pops[i])), popIds[i]);
  EXPECT_EQ(memory->popIds("pop3|gone"), std::nullopt);
  EXPECT_EQ(memory->folderMark(CheckMemory::folderKey(CheckMemory::accountKey(imaps[0]), "Drafts")), std::nullopt);
}

TEST_F(MemoryFile, EntriesUnusedFor90DaysAreDropped) {
  CheckMemory::Clock::time_point now = day(0);
  auto memory = std::make_unique<CheckMemory>(file_);
  memory->setNow([&now] { return now; });
  ASSERT_TRUE(memory->commitFolders({{"imap|old", {1, 10}}, {"imap|kept", {1, 20}}}));
  ASSERT_TRUE(memory->commitPopIds("pop3|old", Ids{"a"}));
  now = day(60);
  ASSERT_TRUE(memory->commitFolders({{"imap|kept", {1, 21}}}));
  ASSERT_TRUE(memory->commitPopIds("pop3|kept", Ids{"b"}));
  // Read at day 91: the day-0 entries are ignored, the day-60 ones kept.
  auto later = open(91);
  EXPECT_EQ(later->folderMark("imap|old"), std::nullopt);
  EXPECT_EQ(later->popIds("pop3|old"), std::nullopt);
  EXPECT_EQ(later->folderMark("imap|kept"), (FolderMark{1, 21}));
  EXPECT_EQ(later->popIds("pop3|kept"), Ids{"b"});
  // Written at day 91: they leave the file and the memory that wrote it.
  now = day(91);
  ASSERT_TRUE(memory->commitFolders({}));
  EXPECT_EQ(fileText().find("old"), std::string::npos) << fileText();
  EXPECT_EQ(memory->folderMark("imap|old"), std::nullopt);
  // A time ahead of the clock counts as now, not as never expiring.
  writeFile("brivane-seen 1\nimap 99999999999 1 5 imap|future\n");
  EXPECT_EQ(open(0)->folderMark("imap|future"), (FolderMark{1, 5}));
  EXPECT_TRUE(open(0)->commitFolders({}));
  EXPECT_EQ(open(91)->folderMark("imap|future"), std::nullopt);
}

TEST_F(MemoryFile, AnUnusableFileCountsAsEmptyAndIsReplaced) {
  const std::string good = "imap " + std::to_string(kT0) + " 7 100 imap|k\n";
  std::string overLong = "brivane-seen 1\n" + good;
  const std::string filler = "pop3 " + std::to_string(kT0) + " pop3|filler " + std::string(70, 'x') + "\n";
  while (overLong.size() <= (16u << 20)) overLong += filler;
  const std::pair<const char*, std::string> rows[] = {
      {"garbled", std::string("\x89PNG\r\n\x1a\n\0\0", 10) + good},
      {"other version", "brivane-seen 2\n" + good},
      {"no version line", good},
      {"version line with a CR", "brivane-seen 1\r\n" + good},
      {"over 16 MB", overLong},
  };
  for (const auto& [name, text] : rows) {
    writeFile(text);
    auto memory = open();
    EXPECT_EQ(memory->folderMark("imap|k"), std::nullopt) << name;
    EXPECT_TRUE(memory->commitFolders({{"imap|new", {1, 2}}})) << name;
    EXPECT_EQ(open()->folderMark("imap|new"), (FolderMark{1, 2})) << name;
  }
}

TEST_F(MemoryFile, ABadLineIsDroppedAndTheOthersKept) {
  const std::string t = std::to_string(kT0);
  struct Row {
    const char* name;
    std::string line;  // entry of the key "imap|bad" or "pop3|bad"
  };
  const Row rows[] = {
      {"UIDVALIDITY 0", "imap " + t + " 0 5 imap|bad"},
      {"UIDNEXT 0", "imap " + t + " 7 0 imap|bad"},
      {"UIDVALIDITY past 32 bits", "imap " + t + " 4294967296 5 imap|bad"},
      {"signed number", "imap " + t + " +7 5 imap|bad"},
      {"time not a number", "imap 1e9 7 5 imap|bad"},
      {"time past 64 bits", "imap 99999999999999999999 7 5 imap|bad"},
      {"field missing", "imap " + t + " 7 imap|bad"},
      {"field too many", "imap " + t + " 7 5 imap|bad x"},
      {"double blank", "imap " + t + " 7  5 imap|bad"},
      {"carriage return", "imap " + t + " 7 5 imap|bad\r"},
      {"key with a slash", "imap " + t + " 7 5 imap|bad/x"},
      {"key with UTF-8", "imap " + t + " 7 5 imap|bad\xC3\xA9"},
      {"unknown kind", "smtp " + t + " 7 5 imap|bad"},
      {"id over 70 characters", "pop3 " + t + " pop3|bad " + std::string(71, 'x')},
      {"id with a DEL", "pop3 " + t + " pop3|bad a\x7F"},
      {"id with a high byte", "pop3 " + t + " pop3|bad \xC3\xA9"},
      {"more ids than kept", "pop3 " + t + " pop3|bad" + [] {
         std::string ids;
         for (size_t i = 0; i <= CheckMemory::kMaxPopIds; ++i) ids += " " + std::to_string(i);
         return ids;
       }()},
  };
  for (const Row& row : rows) {
    writeFile("brivane-seen 1\nimap " + t + " 7 100 imap|a\n" + row.line + "\npop3 " + t + " pop3|z 1 2\n");
    auto memory = open();
    EXPECT_EQ(memory->folderMark("imap|a"), (FolderMark{7, 100})) << row.name;
    EXPECT_EQ(memory->popIds("pop3|z"), (Ids{"1", "2"})) << row.name;
    EXPECT_EQ(std::pair(memory->folderMark("imap|bad"), memory->popIds("pop3|bad")),
              std::pair(std::optional<FolderMark>(), std::optional<Ids>())) << row.name;
    // Nor written back: the replaced file holds the good lines only.
    EXPECT_TRUE(memory->commitFolders({}));
    EXPECT_EQ(fileText(), "brivane-seen 1\nimap " + t + " 7 100 imap|a\npop3 " + t + " pop3|z 1 2\n") << row.name;
  }
  // A last line without its line end was cut short.
  writeFile("brivane-seen 1\nimap " + t + " 7 100 imap|a\nimap " + t + " 7 10 imap|cut");
  EXPECT_EQ(open()->folderMark("imap|a"), (FolderMark{7, 100}));
  EXPECT_EQ(open()->folderMark("imap|cut"), std::nullopt);
  // An id that would break the file is not written; its neighbours are.
  EXPECT_TRUE(open()->commitPopIds("pop3|s", Ids{"ok", "new\nline", "fine"}));
  EXPECT_EQ(open()->popIds("pop3|s"), (Ids{"ok", "fine"}));
}

TEST_F(MemoryFile, WrittenPrivateThroughNoLinkIntoAClosedFolder) {
  const mode_t oldMask = ::umask(0);
  EXPECT_TRUE(open()->commitFolders({{"imap|k", {1, 2}}}));
  ::umask(oldMask);
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(seen()), {}), 1) << "a temporary file was left";

  // A link in the file's place is neither read nor written through.
  const std::string target = dir / "target", theirs = "brivane-seen 1\nimap " + std::to_string(kT0) + " 1 9 imap|k\n";
  test::writeAll(target, theirs);
  fs::remove(file_);
  fs::create_symlink(target, file_);
  auto memory = open();
  EXPECT_EQ(memory->folderMark("imap|k"), std::nullopt);
  EXPECT_TRUE(memory->commitFolders({{"imap|k", {1, 3}}}));
  EXPECT_EQ(test::readAll(target), theirs);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file_)));

  // A "seen" folder others may write into is neither offered, read nor written.
  fs::permissions(seen(), fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(CheckMemory::stateFileIn(dir / "log/", "saver"), "");
  memory = open();
  EXPECT_EQ(memory->folderMark("imap|k"), std::nullopt);
  EXPECT_FALSE(memory->commitFolders({{"imap|k", {1, 4}}}));
  fs::permissions(seen(), fs::perms::group_write, fs::perm_options::remove);
  EXPECT_EQ(open()->folderMark("imap|k"), (FolderMark{1, 3}));
  // No file at all: marks are kept in memory only, every commit succeeds.
  CheckMemory inMemory;
  EXPECT_TRUE(inMemory.commitFolders({{"imap|k", {1, 5}}}));
  EXPECT_EQ(inMemory.folderMark("imap|k"), (FolderMark{1, 5}));
}

TEST_F(MemoryFile, SaverAndCheckModeHaveTheirOwnFileInTheLogFolder) {
  const char* old = std::getenv("XDG_STATE_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
  const std::string saver = CheckMemory::saverStateFile(), check = CheckMemory::checkModeStateFile();
  old ? ::setenv("XDG_STATE_HOME", saved.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(saver, dir / "state/Torvex/Brivane/seen/saver");
  EXPECT_EQ(check, dir / "state/Torvex/Brivane/seen/check");
  EXPECT_EQ(fs::status(dir / "state/Torvex/Brivane/seen").permissions(), fs::perms::owner_all);
}

TEST(CheckMemoryCache, RowsFetchedWithOtherPartsAreNotUsed) {
  CheckMemory memory;
  const AccountCache withPreview{.fetched = PanelPrivacy::Everything, .folders = {}, .popRows = {{"id1", MessageSummary{}}}};
  memory.keepCache("pop3|a", withPreview);
  EXPECT_TRUE(memory.takeCache("pop3|a", PanelPrivacy::NoPreviews).popRows.empty());
  EXPECT_TRUE(memory.takeCache("pop3|a", PanelPrivacy::Everything).popRows.empty()) << "taken out even when not used";
  memory.keepCache("pop3|a", withPreview);
  EXPECT_EQ(memory.takeCache("pop3|a", PanelPrivacy::Everything).popRows.size(), 1u);
}

// Checker threads commit at once: each commit rewrites the file whole, none is lost.
TEST_F(MemoryFile, CommitsFromManyThreadsAllLand) {
  constexpr uint32_t kThreads = 6, kCommits = 15;
  const auto key = [](uint32_t t, uint32_t i) { return std::to_string(t) + "-" + std::to_string(i); };
  {
    auto memory = open();
    std::vector<std::jthread> threads;
    for (uint32_t t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (uint32_t i = 0; i < kCommits; ++i)
          EXPECT_TRUE(i % 2 ? memory->commitPopIds("pop3|" + key(t, i), Ids{key(t, i)})
                            : memory->commitFolders({{"imap|" + key(t, i), {1, i + 1}}}));
      });
  }
  auto memory = open();
  for (uint32_t t = 0; t < kThreads; ++t)
    for (uint32_t i = 0; i < kCommits; ++i)
      EXPECT_TRUE((i % 2 ? memory->popIds("pop3|" + key(t, i)) == Ids{key(t, i)}
                         : memory->folderMark("imap|" + key(t, i)) == FolderMark{1, i + 1})) << key(t, i);
  EXPECT_EQ(std::distance(fs::directory_iterator(seen()), {}), 1) << "a temporary file was left";
}

}  // namespace
