// The POP3 checker against the suite's Dovecot (UIDL and PIPELINING on):
// cycles sharing one CheckMemory read only the headers of messages they
// have not seen, and a delivery is new mail even when a deletion kept the
// count. The maildrop is the "popdefault" user's, which no other test
// reads; it is put back as it was at the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "checking/checker_test_support.h"
#include "dovecot_env.h"

namespace brivane {
namespace {

using namespace brivane::testing;
namespace fs = std::filesystem;

TEST(PopUidlDovecot, SecondCycleReadsOnlyTheDeliveredMessage) {
  const auto loaded = test::DovecotEnv::load();
  if (!loaded) GTEST_SKIP() << "the Dovecot harness is not running";
  const test::DovecotEnv env = *loaded;
  const fs::path inbox = fs::path(env.mailRoot) / env.popDefaultUser / "Maildir";

  CycleRig rig;
  rig.cycle.memory = std::make_shared<CheckMemory>();
  rig.cycle.Accounts = {{.name = "Uidl box", .isPOP = true, .username = env.popDefaultUser,
                         .password = env.popDefaultPassword, .server = env.host, .port = env.pop3Port}};
  size_t tops = 0, logged = 0;  // headers read by the last check and by all, as the connection log counts them
  const auto check = [&] {
    rig.cycle.newMailArrived = 0;
    EXPECT_TRUE(rig.run());
    const auto steps = logSteps(rig.dir.path(), "Uidl box");  // every check so far
    const auto all = static_cast<size_t>(std::count_if(steps.begin(), steps.end(), [](const std::string& s) {
      return s.starts_with(" Retrieving header ");
    }));
    tops = all - logged, logged = all;
    return rowsText(rowsOf(rig.cycle, 0));
  };

  const std::vector<std::string> first = check();
  ASSERT_EQ(first.size(), 7u);
  EXPECT_EQ(tops, 7u);
  EXPECT_TRUE(rig.cycle.newMailArrived.load());  // nothing remembered: more messages than before

  EXPECT_EQ(check(), first);  // unchanged: no header is read
  EXPECT_EQ(tops, 0u);
  EXPECT_FALSE(rig.cycle.newMailArrived.load());

  // One message deleted, one delivered: the count stays 7.
  std::vector<fs::path> files;
  for (const char* sub : {"cur", "new"})
    for (const auto& e : fs::directory_iterator(inbox / sub)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  // Deleted by moving it into tmp/, where Dovecot does not look; moved back at the end with its owner.
  const fs::path deleted = files.front(), kept = inbox / "tmp" / deleted.filename();
  const fs::path delivered = inbox / "new" / ("1900000000.M1P" + std::to_string(::getpid()) + ".uidl");
  std::ofstream(delivered, std::ios::binary) << "From: Late <late@example.org>\r\nSubject: Delivered meanwhile\r\n"
                                                "Date: Mon, 7 Dec 2026 08:00:00 +0000\r\n\r\nhello\r\n";
  struct stat owner {};
  ASSERT_EQ(::stat(inbox.c_str(), &owner), 0);
  EXPECT_EQ(::chown(delivered.c_str(), owner.st_uid, owner.st_gid), 0);
  fs::rename(deleted, kept);
  struct Restore {  // the maildrop as it was, also when an assertion fails
    fs::path deleted, kept, delivered;
    ~Restore() {
      std::error_code ec;
      fs::remove(delivered, ec);
      fs::rename(kept, deleted, ec);
    }
  } restore{deleted, kept, delivered};

  const std::vector<std::string> second = check();
  EXPECT_EQ(tops, 1u);
  EXPECT_TRUE(rig.cycle.newMailArrived.load());
  EXPECT_EQ(rig.cycle.Accounts[0].lastMessageCount, 7);
  ASSERT_EQ(second.size(), 7u);
  EXPECT_EQ(second[0], "INBOX|Late|Delivered meanwhile||1796630400|");
  // The others are the first check's rows, less the deleted one, in their order.
  std::vector<std::string> stillThere;
  for (const std::string& row : first)
    if (std::find(second.begin() + 1, second.end(), row) != second.end()) stillThere.push_back(row);
  EXPECT_EQ(stillThere, std::vector(second.begin() + 1, second.end()));
}

}  // namespace
}  // namespace brivane
