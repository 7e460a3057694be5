#include "protocols/imap_utf7.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

struct Pair {
  const char* utf8;
  const char* wire;
};

TEST(ModifiedUtf7, EncodesAndDecodesBothWays) {
  const Pair cases[] = {
      {"INBOX", "INBOX"},
      {"Sent Items", "Sent Items"},
      {"A&B", "A&-B"},
      {"&", "&-"},
      {"&&", "&-&-"},
      {"Entwürfe", "Entw&APw-rfe"},
      {"é&", "&AOk-&-"},
      {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"台北日本語", "&U,BTF2XlZyyKng-"},
      {"Ω€", "&A6kgrA-"},
      {"smile 😀", "smile &2D3eAA-"},  // a surrogate pair
      {"tab\there", "tab&AAk-here"},   // control characters are shifted too
      {"", ""},
  };
  for (const Pair& c : cases) {
    EXPECT_EQ(encodeModifiedUtf7(c.utf8), c.wire) << c.utf8;
    EXPECT_EQ(tryDecodeModifiedUtf7(c.wire), std::optional<std::string>(c.utf8)) << c.wire;
  }
}

TEST(ModifiedUtf7, InvalidFormsAreUsedUnchanged) {
  const char* invalid[] = {
      "&",                    // no closing "-"
      "&Jjo",                 // no closing "-" at the end of the text
      "&Jjo!",                // "!" is not in the alphabet
      "&U,BTFw-&ZeVnLIqe-",   // null shift: a run right behind another
      "&AOkA-",               // odd number of octets
      "&U/BTFw-",             // "/" in place of ","
      "&AGE-",                // encodes the printable "a"
      "&ACY-",                // encodes "&" itself
      "&AOl-",                // non-zero padding bits
      "&2D0-",                // unpaired high surrogate
      "&3gA-",                // lone low surrogate
      "Inbox/&A",             // run cut off at the end
  };
  for (const char* wire : invalid) {
    EXPECT_EQ(tryDecodeModifiedUtf7(wire), std::nullopt) << wire;
    EXPECT_EQ(decodeModifiedUtf7(wire), wire);
  }
}

TEST(ModifiedUtf7, RawBytesOutsideRunsAreCopied) {
  EXPECT_EQ(decodeModifiedUtf7("Caf\xC3\xA9"), "Caf\xC3\xA9");
}

TEST(ModifiedUtf7, MalformedUtf8IsSentUnchanged) {
  EXPECT_EQ(tryEncodeModifiedUtf7("Caf\xE9"), std::nullopt);
  EXPECT_EQ(encodeModifiedUtf7("Caf\xE9"), "Caf\xE9");
  EXPECT_EQ(tryEncodeModifiedUtf7("\xED\xA0\x80"), std::nullopt);  // encoded surrogate
}

}  // namespace
}  // namespace brivane
