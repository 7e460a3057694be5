// Stores as files: one written by this program (UTF-8) and one exported on
// Windows (UTF-16LE, CR LF), both holding the same three accounts.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <tuple>

#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

AccountList accountsOf(RegistryStore& s) {
  AccountList accounts;
  LoadAccounts(s, accounts);
  return accounts;
}

DialogSettings dialogOf(RegistryStore& s) {
  DialogSettings d;
  LoadDialogSettings(s, d);
  return d;
}

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (fs::temp_directory_path() / "brivane-fixture-XXXXXX").string();
    dir_ = mkdtemp(t.data());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A copy of the fixture in the temporary folder.
  std::string copy(const char* name) {
    const std::string to = dir_ + "/" + name;
    fs::copy_file(std::string(BRIVANE_STORE_FIXTURES) + "/" + name, to);
    return to;
  }

  static void expectTheThreeAccounts(const AccountList& list) {
    using Row = std::tuple<std::string, bool, std::string, std::string, std::string, int, bool, size_t>;
    const Row want[] = {{"Home", false, "me@example.org", "abc", "imap.example.org", 993, true, 2},
                        {"Work", true, "worker", "bop~", "pop.example.org", 110, false, 0},
                        {"Café", false, "cafe", "ò", "mail.example.org", 143, false, 0}};
    ASSERT_EQ(list.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TEmlAccount& a = list[i];
      EXPECT_EQ(Row(a.name, a.isPOP, a.username, a.password, a.server, a.port, a.useTLS, a.folders.size()), want[i]);
    }
    EXPECT_EQ(list[0].folders, (std::vector<std::string>{"INBOX;Inbox", "Sent Items;Sent Items"}));
  }

  std::string dir_;
};

TEST_F(StoreFixture, BothFilesLoadTheSameSettings) {
  for (const char* name : {"program_written.reg", "windows_export.reg"}) {
    SCOPED_TRACE(name);
    FileRegistryStore store(copy(name));
    ASSERT_TRUE(store.load()) << store.lastError();
    SaverSettings s;
    TColor color = 0;
    int32_t width = 0;
    AccountList accounts;
    LoadSettings(store, s, color, width, accounts);
    EXPECT_EQ(std::tuple(s.pollInterval, color, width, s.displayDate), std::tuple(300000, 0x800000u, 400, true));
    expectTheThreeAccounts(accounts);
  }
}

TEST_F(StoreFixture, TheProgramWritesItsOwnFileByteForByte) {
  const std::string path = copy("program_written.reg");
  const std::string before = readAll(path);
  FileRegistryStore store(path);
  ASSERT_TRUE(store.load());
  const AccountList accounts = accountsOf(store);
  ASSERT_TRUE(store.transact([&](RegistryStore& s) {
    SaveAccounts(s, accounts);
    return true;
  }));
  EXPECT_EQ(readAll(path), before);
}

TEST_F(StoreFixture, ASaveKeepsWhatTheProgramDoesNotKnow) {
  const std::string path = copy("windows_export.reg");
  FileRegistryStore store(path);
  ASSERT_TRUE(store.load());
  DialogSettings d = dialogOf(store);
  d.accounts.pop_back();
  ASSERT_TRUE(SaveSettings(store, d)) << store.lastError();
  const std::string text = readAll(path);
  EXPECT_EQ(text.compare(0, 37, "Windows Registry Editor Version 5.00\n"), 0);  // now UTF-8
  for (const char* part : {"\"soundFolder\"=hex(2):25,00,55,00,53,00,45,00",
                           "\"recentSounds\"=hex(7):61,00,2e,00,77,00", "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Plugins]\n"
                           "\"enabled\"=dword:00000001\n\"note\"=\"kept as it is\"\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part;

  FileRegistryStore again(path);
  ASSERT_TRUE(again.load());
  EXPECT_EQ(again.getValue(kMainKey, "soundFolder"), store.getValue(kMainKey, "soundFolder"));
  EXPECT_EQ(again.getValue(kMainKey, "recentSounds")->type, kRegMultiSz);
  const AccountList accounts = accountsOf(again);
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts[1].password, "bop~");
  EXPECT_EQ(again.readInteger(kModulesKey, "previewWidth").value, 400);  // no preset chosen: kept
}

TEST_F(StoreFixture, ASaveThatFailsBeforeTheRenameLeavesTheOldFile) {
  const std::string path = copy("windows_export.reg");
  const std::string before = readAll(path);
  FileRegistryStore store(path);
  ASSERT_TRUE(store.load());
  DialogSettings d = dialogOf(store);
  d.accounts.clear();
  d.pollMinutes = "1";
  store.setCommitHook([](FileRegistryStore::CommitStep step) {
    return step != FileRegistryStore::CommitStep::BeforeRename;
  });
  EXPECT_FALSE(SaveSettings(store, d));
  EXPECT_EQ(readAll(path), before);
  EXPECT_FALSE(fs::exists(path + ".tmp"));

  // Neither the file nor the store in memory lost an account.
  const auto check = [](RegistryStore& s) {
    expectTheThreeAccounts(accountsOf(s));
    EXPECT_EQ(s.readInteger(kMainKey, "pollInterval").value, 300000);
  };
  check(store);
  FileRegistryStore reread(path);
  ASSERT_TRUE(reread.load());
  check(reread);
}

TEST(StoreMutations, DamagedStoresLoadWithoutHarmAndSaveStably) {
  // Random damage to both fixtures: whatever still reads as a store loads,
  // saves, and reads back to the same file.
  std::mt19937 rng(20261206);
  const std::string alphabet("\"\\[]@=:,()-hexdword0123456789abcdef\r\n \t;?\xff\xfe\x00\xc3", 45);
  for (const char* name : {"program_written.reg", "windows_export.reg"}) {
    const std::string base = readAll(std::string(BRIVANE_STORE_FIXTURES) + "/" + name);
    for (int round = 0; round < 400; ++round) {
      std::string bytes = base;
      for (int k = 0, n = 1 + static_cast<int>(rng() % 8); k < n; ++k) {
        const size_t at = rng() % (bytes.size() + 1);
        switch (rng() % 3) {
          case 0: if (at < bytes.size()) bytes[at] = alphabet[rng() % alphabet.size()]; break;
          case 1: bytes.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
          default: if (at < bytes.size()) bytes.erase(at, 1 + rng() % 20); break;
        }
      }
      MemoryRegistryStore store;
      std::string error;
      if (!parseRegistryFile(bytes, store.root(), error)) continue;
      const DialogSettings d = dialogOf(store);
      ASSERT_TRUE(SaveSettings(store, d));
      const std::string written = serializeRegistryFile(store.root());
      MemoryRegistryStore back;
      ASSERT_TRUE(parseRegistryFile(written, back.root(), error)) << error;
      ASSERT_EQ(serializeRegistryFile(back.root()), written) << "round " << round << " of " << name;
      EXPECT_EQ(dialogOf(back).accounts.size(), d.accounts.size());
    }
  }
}

}  // namespace
}  // namespace brivane
