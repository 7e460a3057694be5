#include "protocols/address_list.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(AddressList, SplitsBeforeDecoding) {
  const struct {
    const char* name;
    std::string in;
    std::vector<MailAddress> out;
  } rows[] = {
      {"encoded comma", "=?UTF-8?Q?M=C3=BCller=2C_Hans?= <h@x>", {{"M\u00fcller, Hans", "h@x"}}},
      {"raw comma inside a word", "=?UTF-8?Q?M=C3=BCller,_Hans?= <h@x>, b@x",
       {{"M\u00fcller, Hans", "h@x"}, {"", "b@x"}}},
      {"raw colon inside a word", "=?UTF-8?Q?Support:_Team?= <s@x>", {{"Support: Team", "s@x"}}},
      {"quoted comma", "\"Doe, John\" <john@example.org>", {{"Doe, John", "john@example.org"}}},
      {"two addresses", "Jane Roe <jane@example.org>, bob@example.org",
       {{"Jane Roe", "jane@example.org"}, {"", "bob@example.org"}}},
      {"comment as name", "bob@example.org (Bob Smith)", {{"Bob Smith", "bob@example.org"}}},
      {"bare address", "bob@example.org", {{"", "bob@example.org"}}},
      {"escaped quotes", "\"Say \\\"hi\\\"\" <s@x>", {{"Say \"hi\"", "s@x"}}},
      {"encoded word in quotes", "\"=?ISO-8859-1?Q?J=F6rg?=\" <j@x>", {{"J\u00f6rg", "j@x"}}},
      {"group", "Team: a@x, B <b@x>;", {{"", "a@x"}, {"B", "b@x"}}},
      {"empty", "", {{"", ""}}},
      {"only separators", "  ,  ", {{"", ""}}},
      {"angle address only", "<only@x>", {{"", "only@x"}}},
      {"NUL and CR in a comment", std::string("bob\0@x\r (B\0ob)", 14), {{"Bob", "bob@x"}}},
      {"NUL and CR in a name", std::string("N\0m <a\0@x\r>", 11), {{"Nm", "a@x"}}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(parseAddressList(r.in), r.out);
  }
}

}  // namespace
}  // namespace brivane
