#include "common/text.h"

#include <gtest/gtest.h>

#include <tuple>

#include "common/version.h"

using namespace brivane;

TEST(Utf8, CutNeverSplitsASequence) {
  // A stray byte counts as one character and is never glued to the next.
  const std::tuple<const char*, size_t, const char*> cuts[] = {
      {"M\xC3\xBCller", 2, "M\xC3\xBC"}, {"\xE2\x82\xAC\xE2\x82\xAC", 1, "\xE2\x82\xAC"}, {"abc", 10, "abc"},
      {"", 3, ""}, {"\xFF\xC3\xBC", 1, "\xFF"}};
  for (auto [in, n, out] : cuts) EXPECT_EQ(utf8Cut(in, n), out) << in << " " << n;
  EXPECT_EQ(utf8Length("\xFF\xC3\xBC" "a"), 3u);
}

TEST(Utf8, ValidationRejectsMalformedForms) {
  EXPECT_TRUE(isValidUtf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  // Overlong "/", a surrogate, above U+10FFFF, truncated.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3"}) EXPECT_FALSE(isValidUtf8(bad));
}

TEST(Windows1252, EveryByteRoundTrips) {
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = windows1252ToUtf8(byte);
    ASSERT_TRUE(isValidUtf8(utf8)) << b;
    std::string back;
    ASSERT_TRUE(utf8ToWindows1252(utf8, back)) << b;
    EXPECT_EQ(back, byte) << b;
  }
  EXPECT_EQ(windows1252ToUtf8("\x80\x9D\xF2"), "\xE2\x82\xAC\xC2\x9D\xC3\xB2");
  std::string out;
  EXPECT_FALSE(utf8ToWindows1252("\xE2\x98\x83", out));  // snowman has no byte
}

TEST(Windows1252, MixedBytesKeepUtf8AndReadTheRestAsCp1252) {
  EXPECT_EQ(bytesToUtf8("caf\xC3\xA9 and caf\xE9"), "caf\xC3\xA9 and caf\xC3\xA9");
  EXPECT_EQ(bytesToUtf8("\x93quoted\x94"), "\xE2\x80\x9Cquoted\xE2\x80\x9D");
}

TEST(TextHelpers, TrimAndCase) {
  EXPECT_EQ(trimControl(" \t\r\nINBOX \x01"), "INBOX");
  EXPECT_EQ(trimControl("   "), "");
  EXPECT_EQ(asciiLower("ABC\xC3\x84"), "abc\xC3\x84");
  EXPECT_TRUE(equalsIgnoreCase("clGray", "CLGRAY"));
  EXPECT_FALSE(equalsIgnoreCase("clGray", "clGrey"));
}

TEST(Version, ParseAndDisplay) {
  const auto v = parseVersion("1.2.30.4000");
  ASSERT_TRUE(v);
  EXPECT_EQ(versionText(*v), "1.2.30.4000");
  EXPECT_LT(*parseVersion("1.0.0.9"), *parseVersion("1.0.1.0"));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.x", "1..2.3", "1.2.3.65536", " 1.2.3.4", "1.2.3.-4"})
    EXPECT_FALSE(parseVersion(bad)) << bad;
}
