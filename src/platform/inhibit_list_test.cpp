#include "platform/inhibit_list.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

using Result = InhibitList::AddResult;
using Removed = InhibitList::RemoveResult;

TEST(InhibitList, CookiesAreNeverZeroAndNeverOneStillHeld) {
  struct Row {
    const char* name;
    std::vector<uint32_t> held;  // cookies held by another caller
    uint32_t next;               // where the counter stands
    uint32_t expected;           // the cookie of the next add
  };
  const Row rows[] = {
      {"first cookie is 1", {}, 1, 1},
      {"the largest cookie is handed out", {}, 0xFFFFFFFF, 0xFFFFFFFF},
      {"after the largest comes 1, never 0", {0xFFFFFFFF}, 0xFFFFFFFF, 1},
      {"held cookies are skipped after a wrap", {1, 2}, 0, 3},
  };
  for (const Row& row : rows) {
    InhibitList list;
    for (uint32_t c : row.held) {
      list.setNextCookie(c);
      ASSERT_EQ(list.add(":1.1", "a", "r").cookie, c) << row.name;
    }
    list.setNextCookie(row.next);
    EXPECT_EQ(list.add(":1.2", "b", "r").cookie, row.expected) << row.name;
  }
}

TEST(InhibitList, LimitsPerCallerAndInTotal) {
  InhibitList list;
  for (size_t i = 0; i < InhibitList::kPerCallerLimit; ++i) ASSERT_EQ(list.add(":1.1", "a", "").result, Result::Added);
  EXPECT_EQ(list.add(":1.1", "a", "").result, Result::CallerLimit);
  EXPECT_EQ(list.add(":1.1", "a", "").cookie, 0u);
  EXPECT_EQ(list.add(":1.2", "b", "").result, Result::Added) << "another caller is not held to the first's limit";

  for (int caller = 3; list.size() < InhibitList::kTotalLimit; ++caller) {
    const std::string name = ":1." + std::to_string(caller);
    while (list.size() < InhibitList::kTotalLimit && list.countOf(name) < InhibitList::kPerCallerLimit)
      ASSERT_EQ(list.add(name, "c", "").result, Result::Added);
  }
  EXPECT_EQ(list.add(":2.1", "new caller", "").result, Result::TotalLimit);
  EXPECT_EQ(list.removeCaller(":1.2"), 1u);
  EXPECT_EQ(list.size(), InhibitList::kTotalLimit - 1) << "only the leaving caller's requests end";
  EXPECT_EQ(list.add(":2.1", "new caller", "").result, Result::Added) << "room again once a caller left";
}

TEST(InhibitList, OnlyTheCallerThatAskedEndsARequest) {
  struct Row {
    const char* name;
    const char* caller;
    bool ownCookie;  // else the cookie given below
    uint32_t cookie;
    Removed expected;
    size_t left;
  };
  const Row rows[] = {
      {"own cookie", ":1.1", true, 0, Removed::Removed, 1},
      {"another caller's cookie is left alone", ":1.9", true, 0, Removed::OtherCaller, 2},
      {"unknown cookie", ":1.1", false, 777, Removed::Unknown, 2},
      {"cookie 0", ":1.1", false, 0, Removed::Unknown, 2},
  };
  for (const Row& row : rows) {
    InhibitList list;
    const uint32_t own = list.add(":1.1", "player", "video").cookie;
    list.add(":1.2", "slides", "presenting");
    EXPECT_EQ(list.remove(row.caller, row.ownCookie ? own : row.cookie), row.expected) << row.name;
    EXPECT_EQ(list.size(), row.left) << row.name;
  }
}

TEST(InhibitList, NamesAndReasonsAreEscapedAndBounded) {
  const std::string hundred(kInhibitTextChars, 'x');
  std::string hundredUmlauts;
  for (size_t i = 0; i < kInhibitTextChars + 1; ++i) hundredUmlauts += "\xC3\xA4";  // ä
  const std::pair<std::string, std::string> rows[] = {
      {"Video Player", "Video Player"},
      {"line\nbreak\x1B[31m", "line\\nbreak\\x1B[31m"},
      {"caf\xE9", "caf\xC3\xA9"},  // not UTF-8: read as Windows-1252
      {hundred, hundred},
      {hundred + "y", hundred + "..."},
      {hundredUmlauts, hundredUmlauts.substr(0, 2 * kInhibitTextChars) + "..."},  // cut between characters
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(inhibitText(in), out) << in;

  InhibitList list;
  const uint32_t cookie = list.add(":1.1", "tab\there", std::string(5000, 'r')).cookie;
  ASSERT_NE(list.find(cookie), nullptr);
  EXPECT_EQ(list.find(cookie)->application, "tab\\there");
  EXPECT_EQ(list.find(cookie)->reason.size(), kInhibitTextChars + 3);
}

}  // namespace
}  // namespace brivane
