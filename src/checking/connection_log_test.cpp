#include "checking/connection_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "checking/message_summary.h"
#include "temp_dir.h"

using namespace brivane;
using brivane::test::readAll;
using ::testing::MatchesRegex;
namespace fs = std::filesystem;

namespace {

const std::string kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";  // "YYYY-MM-DD HH:MM:SS"

TEST(LogFileName, NamesNeverLeaveTheLogFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"Work mail", "Work mail"}, {"../../etc/passwd", "_._.._etc_passwd"}, {".hidden", "_hidden"},
      {std::string("a\0b", 3), "a_b"}, {"tab\there\r\n", "tab_here__"}, {"back\\slash", "back_slash"},
      {"M\xC3\xBCller", "M\xC3\xBCller"}};
  for (const auto& [name, file] : cases) EXPECT_EQ(connectionLogFileName(name), "brivan_conn_" + file + ".log") << name;
  // A very long name is cut to whole characters, short enough for a file name.
  std::string longName;
  for (int i = 0; i < 150; ++i) longName += "\xC3\xA9";
  const std::string file = connectionLogFileName(longName);
  EXPECT_TRUE(file.size() <= 255 && file.ends_with("\xC3\xA9.log")) << file.size();
}

// Connection logs, then the reset of their folder and the main log.
TEST(LogFolder, ConnectionLogsResetAndMainLog) {
  test::TempDir dir;
  for (int round = 0; round < 2; ++round) {
    ConnectionLog log;
    ASSERT_TRUE(log.open(dir.path() + "/", "Home"));
    log.line(" queued for check");
    log.line(" bad\r\nline");
  }
  ConnectionLog closed;
  EXPECT_FALSE(closed.open(dir.path() + "/missing/", "Home") || closed.isOpen());
  closed.line(" dropped");
  const std::string line1 = kStamp + " Home queued for check\r\n", line2 = kStamp + " Home bad  line\r\n";
  EXPECT_THAT(readAll(dir / "brivan_conn_Home.log"), MatchesRegex(line1 + line2 + line1 + line2));
  test::writeAll(dir / "other.txt", "x");
  fs::create_directories(dir / "sub");
  test::writeAll(dir / "seen/saver", "brivane-seen 1\n");  // what checks remember: not a log
  AccountList accounts(2);
  accounts[0].server = "imap.example.org", accounts[0].port = 993;
  accounts[1].isPOP = true, accounts[1].server = "pop.example.org", accounts[1].port = 110;
  ASSERT_TRUE(ResetLogFolder(dir.path() + "/", accounts));
  EXPECT_FALSE(fs::exists(dir / "brivan_conn_Home.log") || fs::exists(dir / "other.txt"));
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  EXPECT_EQ(readAll(dir / "seen/saver"), "brivane-seen 1\n");
  const std::string head = "IMAP4:imap.example.org:993\r\nPOP3:pop.example.org:110\r\n------------------\r\n";
  EXPECT_EQ(readAll(dir / "brivan.log"), head);
  ASSERT_TRUE(AppendHaltLine(dir.path() + "/"));
  EXPECT_THAT(readAll(dir / "brivan.log"), MatchesRegex(head + "Brivane Halted at " + kStamp + "\r\n"));
  // A log folder that is a link, or that others may write into, is neither emptied nor written.
  test::writeAll(dir / "real/keep.txt", "x");
  fs::create_directory_symlink(dir / "real", dir / "link");
  test::writeAll(dir / "open/keep.txt", "x");
  fs::permissions(dir / "open", fs::perms::all);
  for (const std::string sub : {"link", "open"}) {
    const bool reset = ResetLogFolder(dir / sub + "/", {});
    EXPECT_EQ(std::tuple(reset, fs::exists(dir / (sub + "/keep.txt")), fs::exists(dir / (sub + "/brivan.log"))),
              std::tuple(false, true, false)) << sub;
  }
}

TEST(RowText, CutsCleansAndConvertsFieldTexts) {
  EXPECT_EQ(rowText("a\tb\r\nc", 100), "a b  c");
  EXPECT_EQ(rowText("x\xC2\x85y", 100), "x y");       // C1 control
  EXPECT_EQ(rowText("caf\xE9", 100), "caf\xC3\xA9");  // Windows-1252
  EXPECT_EQ(rowText("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 2), "\xE2\x82\xAC\xE2\x82\xAC");
  MessageSummary row;
  row.setSubject(std::string(150, 's'));
  row.setPreview(std::string(300, 'p'));
  EXPECT_EQ(std::pair(row.subject.size(), row.preview.size()), std::pair(100ul, 255ul));
  EXPECT_EQ(statusRow("CHECKING", RowKind::Message, 3).kind, RowKind::Progress);  // a status row never has kind 0
}

}  // namespace
