#include "config_ui/folder_list_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using ::testing::ElementsAre;

TEST(FolderListRules, PortMustBeAPortNumber) {
  for (const char* ok : {"1", "143", "65535"}) EXPECT_TRUE(IsValidPort(ok)) << ok;
  for (const char* bad : {"", "0", "65536", "99999999999", "ten", "+143", "-1", " 143", "14 3"})
    EXPECT_FALSE(IsValidPort(bad)) << bad;
}

// Levels only by "."; a "/" server lists flat; INBOX in any case is Inbox;
// captions raw, mark-up escaped and free of control characters.
TEST(FolderListRules, RowsFromPaths) {
  const auto rows = FolderRowsFromPaths({"a/b", "inbox", "Work.inbox", "x\x01<y>"});
  std::vector<std::string> captions, markup;
  for (const FolderRow& r : rows) {
    captions.push_back(r.caption + (r.ticked ? "+" : ""));
    markup.push_back(r.markup.substr(r.markup.find("> ") + 2));
  }
  EXPECT_THAT(captions, ElementsAre("Inbox+", "a/b", "Inbox+", "x\x01<y>"));
  EXPECT_EQ(rows[0].path, "Work.inbox");
  EXPECT_TRUE(rows[0].markup.starts_with("<ind x=\"12\">"));
  EXPECT_TRUE(rows[1].markup.starts_with("<ind x=\"0\">"));
  EXPECT_EQ(markup[3], "x &lt;y&gt;");
}

}  // namespace
}  // namespace brivane
