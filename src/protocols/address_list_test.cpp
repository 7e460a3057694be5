#include "protocols/address_list.h"

#include <gtest/gtest.h>

namespace brivane {

// Encoded words are decoded after the list is split: a comma or colon they
// hold never splits it.
TEST(AddressList, SplitsBeforeDecoding) {
  const struct { std::string in; std::vector<MailAddress> out; } rows[] = {
      {"=?UTF-8?Q?M=C3=BCller=2C_Hans?= <h@x>", {{"M\u00fcller, Hans", "h@x"}}},
      {"=?UTF-8?Q?M=C3=BCller,_Hans?= <h@x>, b@x", {{"M\u00fcller, Hans", "h@x"}, {"", "b@x"}}},
      {"=?UTF-8?Q?Support:_Team?= <s@x>", {{"Support: Team", "s@x"}}},
      {"\"Doe, John\" <john@example.org>", {{"Doe, John", "john@example.org"}}},
      {"Jane Roe <jane@example.org>, bob@example.org", {{"Jane Roe", "jane@example.org"}, {"", "bob@example.org"}}},
      {"bob@example.org (Bob Smith)", {{"Bob Smith", "bob@example.org"}}},
      {"\"Say \\\"hi\\\"\" <s@x>", {{"Say \"hi\"", "s@x"}}},
      {"\"=?ISO-8859-1?Q?J=F6rg?=\" <j@x>", {{"J\u00f6rg", "j@x"}}},
      {"Team: a@x, B <b@x>;", {{"", "a@x"}, {"B", "b@x"}}},
      {"", {{"", ""}}}, {"  ,  ", {{"", ""}}}, {"<only@x>", {{"", "only@x"}}},
      {std::string("bob\0@x\r (B\0ob)", 14), {{"Bob", "bob@x"}}}, {std::string("N\0m <a\0@x\r>", 11), {{"Nm", "a@x"}}},
  };
  for (const auto& r : rows) EXPECT_EQ(parseAddressList(r.in), r.out) << r.in;
}

}  // namespace brivane
