#include "checking/connection_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "checking/message_summary.h"
#include "temp_dir.h"

using namespace brivane;
using brivane::test::readAll;
namespace fs = std::filesystem;

namespace {

// "YYYY-MM-DD HH:MM:SS" followed by `rest`, as a pattern.
std::string stamped(const std::string& rest) { return R"(^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2})" + rest + "$"; }

class LogFolder : public test::TempDirTest {
 protected:
  std::string d() const { return dir.path() + "/"; }
};

TEST(LogFileName, NamesNeverLeaveTheLogFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"Work mail", "brivan_conn_Work mail.log"},
      {"../../etc/passwd", "brivan_conn__._.._etc_passwd.log"},
      {".hidden", "brivan_conn__hidden.log"},
      {std::string("a\0b", 3), "brivan_conn_a_b.log"},
      {"tab\there\r\n", "brivan_conn_tab_here__.log"},
      {"back\\slash", "brivan_conn_back_slash.log"},
      {"M\xC3\xBCller", "brivan_conn_M\xC3\xBCller.log"},
  };
  for (const auto& [name, file] : cases) EXPECT_EQ(connectionLogFileName(name), file) << name;
  // A very long name is cut to whole characters, short enough for a file name.
  std::string longName;
  for (int i = 0; i < 150; ++i) longName += "\xC3\xA9";
  const std::string file = connectionLogFileName(longName);
  EXPECT_LE(file.size(), 255u);
  EXPECT_TRUE(file.ends_with("\xC3\xA9.log"));
}

TEST_F(LogFolder, ConnectionLogAppendsTimestampedCrLfLines) {
  for (int round = 0; round < 2; ++round) {
    ConnectionLog log;
    ASSERT_TRUE(log.open(d(), "Home"));
    log.line(" queued for check");
    log.line(" bad\r\nline");
  }
  ConnectionLog closed;
  EXPECT_FALSE(closed.open(d() + "missing/", "Home"));  // fails in a missing folder
  EXPECT_FALSE(closed.isOpen());
  closed.line(" dropped");  // never opened: nothing happens
  const std::string text = readAll(dir / "brivan_conn_Home.log");
  ASSERT_TRUE(text.ends_with("\r\n")) << text;
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  using ::testing::MatchesRegex;
  const auto queued = MatchesRegex(stamped(" Home queued for check")), bad = MatchesRegex(stamped(" Home bad  line"));
  EXPECT_THAT(lines, ::testing::ElementsAre(queued, bad, queued, bad)) << text;
}

TEST_F(LogFolder, ResetEmptiesTheFolderAndWritesTheMainLog) {
  test::writeAll(dir / "brivan_conn_Old.log", "old");
  test::writeAll(dir / "other.txt", "x");
  fs::create_directories(dir / "sub");
  AccountList accounts(2);
  accounts[0].server = "imap.example.org", accounts[0].port = 993;
  accounts[1].isPOP = true, accounts[1].server = "pop.example.org", accounts[1].port = 110;
  ASSERT_TRUE(ResetLogFolder(d(), accounts));
  EXPECT_FALSE(fs::exists(dir / "brivan_conn_Old.log"));
  EXPECT_FALSE(fs::exists(dir / "other.txt"));
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  const std::string head = "IMAP4:imap.example.org:993\r\nPOP3:pop.example.org:110\r\n------------------\r\n";
  EXPECT_EQ(readAll(dir / "brivan.log"), head);
  ASSERT_TRUE(AppendHaltLine(d()));
  const std::string text = readAll(dir / "brivan.log");
  ASSERT_TRUE(text.starts_with(head)) << text;
  EXPECT_THAT(text.substr(head.size()), ::testing::MatchesRegex("Brivane Halted at " + stamped("\r\n").substr(1)));
}

// A log folder that is a link, or that others may write into, is neither
// emptied nor written.
TEST_F(LogFolder, ResetTouchesNothingInAFolderThatIsNotSafe) {
  test::writeAll(dir / "real/keep.txt", "x");
  fs::create_directory_symlink(dir / "real", dir / "link");
  test::writeAll(dir / "open/keep.txt", "x");
  fs::permissions(dir / "open", fs::perms::all);
  for (const char* sub : {"link", "open"}) {
    EXPECT_FALSE(ResetLogFolder(d() + sub + "/", {})) << sub;
    EXPECT_TRUE(fs::exists(dir / (sub + std::string("/keep.txt")))) << sub;
    EXPECT_FALSE(fs::exists(dir / (sub + std::string("/brivan.log")))) << sub;
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
  EXPECT_EQ(row.subject.size(), 100u);
  EXPECT_EQ(row.preview.size(), 255u);
  // A status row never has kind 0.
  EXPECT_EQ(statusRow("CHECKING", RowKind::Message, 3).kind, RowKind::Progress);
}

}  // namespace
