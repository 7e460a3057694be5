// Stores as files: one written by this program (UTF-8) and one exported on
// Windows (UTF-16LE, CR LF), both holding the same three accounts.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

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

class StoreFixture : public test::TempDirTest {
 protected:
  // A copy of the fixture in the temporary folder.
  std::string copy(const char* name) {
    const std::string to = dir / name;
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
  const std::string before = test::readAll(path);
  FileRegistryStore store(path);
  ASSERT_TRUE(store.load());
  const AccountList accounts = accountsOf(store);
  ASSERT_TRUE(store.transact([&](RegistryStore& s) {
    SaveAccounts(s, accounts);
    return true;
  }));
  EXPECT_EQ(test::readAll(path), before);
}

TEST_F(StoreFixture, ASaveKeepsWhatTheProgramDoesNotKnow) {
  const std::string path = copy("windows_export.reg");
  FileRegistryStore store(path);
  ASSERT_TRUE(store.load());
  DialogSettings d = dialogOf(store);
  d.accounts.pop_back();
  ASSERT_TRUE(SaveSettings(store, d)) << store.lastError();
  const std::string text = test::readAll(path);
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

}  // namespace
}  // namespace brivane
