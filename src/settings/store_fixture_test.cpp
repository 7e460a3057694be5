// Stores as files: one written by this program (UTF-8) and one exported on
// Windows (UTF-16LE, CR LF), both holding the same settings and accounts.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <tuple>

#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

class StoreFixture : public test::TempDirTest {
 protected:
  // A copy of the fixture in the temporary folder, loaded.
  FileRegistryStore& open(const char* name) {
    std::filesystem::copy_file(std::string(BRIVANE_STORE_FIXTURES) + "/" + name, path = dir / name);
    store.emplace(path);
    EXPECT_TRUE(store->load()) << store->lastError();
    return *store;
  }
  std::string path;
  std::optional<FileRegistryStore> store;
};

TEST_F(StoreFixture, BothFilesLoadTheSameSettingsAndTheProgramWritesItsOwnByteForByte) {
  using Row = std::tuple<std::string, bool, std::string, std::string, std::string, int, bool, size_t>;
  const Row want[] = {{"Home", false, "me@example.org", "abc", "imap.example.org", 993, true, 2},
                      {"Work", true, "worker", "bop~", "pop.example.org", 110, false, 0},
                      {"Café", false, "cafe", "ò", "mail.example.org", 143, false, 0}};
  for (const char* name : {"windows_export.reg", "program_written.reg"}) {
    SCOPED_TRACE(name);
    SaverSettings s;
    TColor color = 0;
    int32_t width = 0;
    AccountList accounts;
    LoadSettings(open(name), s, color, width, accounts);
    EXPECT_EQ(std::tuple(s.pollInterval, color, width, s.displayDate), std::tuple(300000, 0x800000u, 400, true));
    ASSERT_EQ(accounts.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TEmlAccount& a = accounts[i];
      EXPECT_EQ(Row(a.name, a.isPOP, a.username, a.password, a.server, a.port, a.useTLS, a.folders.size()), want[i]);
    }
    EXPECT_EQ(accounts[0].folders, (std::vector<std::string>{"INBOX;Inbox", "Sent Items;Sent Items"}));
  }
  const std::string before = test::readAll(path);
  AccountList accounts;
  LoadAccounts(*store, accounts);
  ASSERT_TRUE(store->transact([&](RegistryStore& s) { return SaveAccounts(s, accounts), true; }));
  EXPECT_EQ(test::readAll(path), before);
}

TEST_F(StoreFixture, ASaveKeepsWhatTheProgramDoesNotKnow) {
  FileRegistryStore& windows = open("windows_export.reg");
  DialogSettings d;
  LoadDialogSettings(windows, d);
  d.accounts.pop_back();
  ASSERT_TRUE(SaveSettings(windows, d)) << windows.lastError();
  const std::string text = test::readAll(path);
  EXPECT_EQ(text.compare(0, 37, "Windows Registry Editor Version 5.00\n"), 0);  // now UTF-8
  for (const char* part : {"\"soundFolder\"=hex(2):25,00,55,00,53,00,45,00", "\"recentSounds\"=hex(7):61,00,2e,00,77,00",
                           "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Plugins]\n"
                           "\"enabled\"=dword:00000001\n\"note\"=\"kept as it is\"\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part;
  FileRegistryStore again(path);
  ASSERT_TRUE(again.load());
  EXPECT_EQ(again.getValue(kMainKey, "soundFolder"), windows.getValue(kMainKey, "soundFolder"));
  AccountList accounts;
  LoadAccounts(again, accounts);
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts[1].password, "bop~");
  EXPECT_EQ(again.readInteger(kModulesKey, "previewWidth").value, 400);  // no preset chosen: kept
}

}  // namespace
}  // namespace brivane
