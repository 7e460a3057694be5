#include "protocols/imap_utf7.h"

#include <gtest/gtest.h>

namespace brivane {

TEST(ModifiedUtf7, EncodesAndDecodesBothWaysInvalidFormsStayUnchanged) {
  const struct { const char *utf8, *wire; } rows[] = {
      {"Sent Items", "Sent Items"}, {"A&B", "A&-B"}, {"&&", "&-&-"}, {"Entwürfe", "Entw&APw-rfe"}, {"é&", "&AOk-&-"},
      {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"}, {"台北日本語", "&U,BTF2XlZyyKng-"},
      {"Ω€", "&A6kgrA-"}, {"smile 😀", "smile &2D3eAA-"}, {"tab\there", "tab&AAk-here"}, {"", ""},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(encodeModifiedUtf7(r.utf8), r.wire);
    EXPECT_EQ(tryDecodeModifiedUtf7(r.wire), std::optional<std::string>(r.utf8));
  }
  // Invalid forms are used unchanged: no closing dash, outside the alphabet, a null shift, odd
  // octets, "/" for ",", a printable or "&" encoded, non-zero padding, lone surrogates, a cut run.
  for (const char* wire : {"&", "&Jjo", "&Jjo!", "&U,BTFw-&ZeVnLIqe-", "&AOkA-", "&U/BTFw-", "&AGE-", "&ACY-",
                           "&AOl-", "&2D0-", "&3gA-", "Inbox/&A"}) {
    EXPECT_EQ(tryDecodeModifiedUtf7(wire), std::nullopt) << wire;
    EXPECT_EQ(decodeModifiedUtf7(wire), wire);
  }
  EXPECT_EQ(decodeModifiedUtf7("Caf\xC3\xA9"), "Caf\xC3\xA9");  // raw bytes outside runs are copied
  EXPECT_EQ(tryEncodeModifiedUtf7("Caf\xE9"), std::nullopt);  // malformed UTF-8: sent unchanged
  EXPECT_EQ(encodeModifiedUtf7("Caf\xE9"), "Caf\xE9");
  EXPECT_EQ(tryEncodeModifiedUtf7("\xED\xA0\x80"), std::nullopt);  // encoded surrogate
}

}  // namespace brivane
