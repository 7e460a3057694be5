#include "protocols/imap_utf7.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(ModifiedUtf7, EncodesAndDecodesBothWays) {
  const struct {
    const char *name, *utf8, *wire;
  } rows[] = {
      {"ascii", "Sent Items", "Sent Items"},
      {"ampersand inside", "A&B", "A&-B"},
      {"two ampersands", "&&", "&-&-"},
      {"latin", "Entwürfe", "Entw&APw-rfe"},
      {"run then ampersand", "é&", "&AOk-&-"},
      {"runs between slashes", "~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"long run", "台北日本語", "&U,BTF2XlZyyKng-"},
      {"three-byte characters", "Ω€", "&A6kgrA-"},
      {"surrogate pair", "smile 😀", "smile &2D3eAA-"},
      {"control character shifted", "tab\there", "tab&AAk-here"},
      {"empty", "", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(encodeModifiedUtf7(r.utf8), r.wire);
    EXPECT_EQ(tryDecodeModifiedUtf7(r.wire), std::optional<std::string>(r.utf8));
  }
}

TEST(ModifiedUtf7, InvalidFormsAreUsedUnchanged) {
  const struct {
    const char *name, *wire;
  } rows[] = {
      {"no closing dash", "&"},           {"no dash at the end", "&Jjo"},     {"outside the alphabet", "&Jjo!"},
      {"null shift", "&U,BTFw-&ZeVnLIqe-"}, {"odd number of octets", "&AOkA-"}, {"slash for comma", "&U/BTFw-"},
      {"printable a encoded", "&AGE-"},   {"ampersand encoded", "&ACY-"},     {"non-zero padding", "&AOl-"},
      {"unpaired high surrogate", "&2D0-"}, {"lone low surrogate", "&3gA-"},  {"run cut at the end", "Inbox/&A"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(tryDecodeModifiedUtf7(r.wire), std::nullopt);
    EXPECT_EQ(decodeModifiedUtf7(r.wire), r.wire);
  }
  EXPECT_EQ(decodeModifiedUtf7("Caf\xC3\xA9"), "Caf\xC3\xA9");  // raw bytes outside runs are copied
  // Malformed UTF-8 has no encoding and is sent unchanged.
  EXPECT_EQ(tryEncodeModifiedUtf7("Caf\xE9"), std::nullopt);
  EXPECT_EQ(encodeModifiedUtf7("Caf\xE9"), "Caf\xE9");
  EXPECT_EQ(tryEncodeModifiedUtf7("\xED\xA0\x80"), std::nullopt);  // encoded surrogate
}

}  // namespace
}  // namespace brivane
