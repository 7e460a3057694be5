#include "checking/connection_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "checking/message_summary.h"

using namespace brivane;
namespace fs = std::filesystem;

namespace {

// True when `text` starts with a "YYYY-MM-DD HH:MM:SS" time stamp.
bool startsWithTimestamp(std::string_view text) {
  const std::string_view form = "dddd-dd-dd dd:dd:dd";
  if (text.size() < form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i)
    if (form[i] == 'd' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != form[i]) return false;
  return true;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("brivane_logs_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string d() const { return dir_.string() + "/"; }
  fs::path dir_;
};

TEST(LogFileName, NamesNeverLeaveTheLogFolder) {
  const struct {
    std::string name, file;
  } cases[] = {
      {"Home", "brivan_conn_Home.log"},
      {"Work mail", "brivan_conn_Work mail.log"},
      {"../../etc/passwd", "brivan_conn__._.._etc_passwd.log"},
      {".hidden", "brivan_conn__hidden.log"},
      {std::string("a\0b", 3), "brivan_conn_a_b.log"},
      {"tab\there\r\n", "brivan_conn_tab_here__.log"},
      {"back\\slash", "brivan_conn_back_slash.log"},
      {"M\xC3\xBCller", "brivan_conn_M\xC3\xBCller.log"},
      {"", "brivan_conn_.log"},
  };
  for (const auto& c : cases) EXPECT_EQ(connectionLogFileName(c.name), c.file) << c.name;
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
  const std::string text = readFile(dir_ / "brivan_conn_Home.log");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the log must end with CR LF";
  ASSERT_EQ(lines.size(), 4u) << text;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(startsWithTimestamp(lines[i])) << lines[i];
    EXPECT_EQ(lines[i].substr(19), i % 2 == 0 ? " Home queued for check" : " Home bad  line");
  }
}

TEST_F(LogFolder, ResetEmptiesTheFolderAndWritesTheMainLog) {
  std::ofstream(dir_ / "brivan_conn_Old.log") << "old";
  std::ofstream(dir_ / "other.txt") << "x";
  fs::create_directories(dir_ / "sub");
  AccountList accounts(2);
  accounts[0].server = "imap.example.org";
  accounts[0].port = 993;
  accounts[1].isPOP = true;
  accounts[1].server = "pop.example.org";
  accounts[1].port = 110;
  ASSERT_TRUE(ResetLogFolder(d(), accounts));
  EXPECT_FALSE(fs::exists(dir_ / "brivan_conn_Old.log"));
  EXPECT_FALSE(fs::exists(dir_ / "other.txt"));
  EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
  const std::string head = "IMAP4:imap.example.org:993\r\nPOP3:pop.example.org:110\r\n------------------\r\n";
  EXPECT_EQ(readFile(dir_ / "brivan.log"), head);

  ASSERT_TRUE(AppendHaltLine(d()));
  const std::string text = readFile(dir_ / "brivan.log");
  ASSERT_TRUE(text.starts_with(head)) << text;
  const std::string halt = text.substr(head.size());
  EXPECT_TRUE(halt.starts_with("Brivane Halted at ")) << halt;
  EXPECT_TRUE(startsWithTimestamp(std::string_view(halt).substr(18))) << halt;
  EXPECT_EQ(halt.size(), 18u + 19u + 2u);
  EXPECT_TRUE(halt.ends_with("\r\n"));
}

// A log folder that is a link, or that others may write into, is neither
// emptied nor written.
TEST_F(LogFolder, ResetTouchesNothingInAFolderThatIsNotSafe) {
  fs::create_directory(dir_ / "real");
  std::ofstream(dir_ / "real" / "keep.txt") << "x";
  fs::create_directory_symlink(dir_ / "real", dir_ / "link");
  fs::create_directory(dir_ / "open");
  std::ofstream(dir_ / "open" / "keep.txt") << "x";
  fs::permissions(dir_ / "open", fs::perms::all);
  for (const char* sub : {"link", "open"}) {
    EXPECT_FALSE(ResetLogFolder(d() + sub + "/", {})) << sub;
    EXPECT_TRUE(fs::exists(dir_ / sub / "keep.txt")) << sub;
    EXPECT_FALSE(fs::exists(dir_ / sub / "brivan.log")) << sub;
  }
}

TEST(RowText, CutsCleansAndConvertsFieldTexts) {
  EXPECT_EQ(rowText("a\tb\r\nc", 100), "a b  c");
  EXPECT_EQ(rowText("x\xC2\x85y", 100), "x y");            // C1 control
  EXPECT_EQ(rowText("caf\xE9", 100), "caf\xC3\xA9");       // Windows-1252
  EXPECT_EQ(rowText("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 2), "\xE2\x82\xAC\xE2\x82\xAC");
  MessageSummary row;
  row.setSubject(std::string(150, 's'));
  row.setPreview(std::string(300, 'p'));
  EXPECT_EQ(row.subject.size(), 100u);
  EXPECT_EQ(row.preview.size(), 255u);
  // A status row never has kind 0.
  EXPECT_EQ(statusRow("CHECKING", RowKind::Message, 3).kind, RowKind::Progress);
  EXPECT_EQ(statusRow("NOMSG", RowKind::NoMessages, 3).accountIndex, 3);
}

}  // namespace
