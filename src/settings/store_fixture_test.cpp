// Store files as the program writes them (UTF-8) and as Windows exports them
// (UTF-16LE, CR LF, with values and keys the program does not know), holding
// the same settings and accounts.
#include <gtest/gtest.h>
#include <filesystem>
#include <tuple>

#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

class StoreFixture : public test::TempDirTest {};

TEST_F(StoreFixture, BothFilesLoadTheSameAndTheProgramWritesItsOwnByteForByte) {
  using Row = std::tuple<std::string, bool, std::string, std::string, std::string, int, bool, size_t>;
  const Row want[] = {{"Home", false, "me@example.org", "abc", "imap.example.org", 993, true, 2},
                      {"Work", true, "worker", "bop~", "pop.example.org", 110, false, 0},
                      {"Café", false, "cafe", "ò", "mail.example.org", 143, false, 0}};
  for (const std::string name : {"windows_export.reg", "program_written.reg"}) {
    SCOPED_TRACE(name);
    std::filesystem::copy_file(std::string(BRIVANE_STORE_FIXTURES) + "/" + name, dir / name);
    FileRegistryStore store(dir / name);
    ASSERT_TRUE(store.load()) << store.lastError();
    SaverSettings s;
    TColor color = 0;
    int32_t width = 0;
    AccountList accounts;
    LoadSettings(store, s, color, width, accounts);
    EXPECT_EQ(std::tuple(s.pollInterval, color, width, s.displayDate), std::tuple(300000, 0x800000u, 400, true));
    ASSERT_EQ(accounts.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TEmlAccount& a = accounts[i];
      EXPECT_EQ(Row(a.name, a.isPOP, a.username, a.password, a.server, a.port, a.useTLS, a.folders.size()), want[i]);
    }
    EXPECT_EQ(accounts[0].folders, (std::vector<std::string>{"INBOX;Inbox", "Sent Items;Sent Items"}));
    const std::string before = test::readAll(dir / name);
    ASSERT_TRUE(store.transact([&](RegistryStore& t) { return SaveAccounts(t, accounts), true; }));
    EXPECT_EQ(name == "program_written.reg" ? test::readAll(dir / name) : before, before);
  }
}

}  // namespace
}  // namespace brivane
