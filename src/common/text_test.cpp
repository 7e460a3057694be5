#include "common/text.h"

#include <gtest/gtest.h>
#include <tuple>

#include "common/time.h"
#include "common/version.h"

using namespace brivane;

namespace {

std::string utf8Of(char32_t cp) {
  std::string s;
  appendUtf8(s, cp);
  return s;
}

// A well-formed sequence gives its length and the code point that encodes back
// to it; any other gives its first byte and length 0.
void expectDecodes(const std::string& bytes, size_t wellFormedLength) {
  SCOPED_TRACE(::testing::PrintToString(bytes));
  size_t length = 99;
  const char32_t cp = decodeUtf8(bytes, length);
  const std::string sequence = bytes.substr(0, wellFormedLength);
  ASSERT_EQ(std::pair(length, utf8SequenceLength(bytes)), std::pair(wellFormedLength, wellFormedLength));
  EXPECT_EQ(isValidUtf8(length ? sequence : bytes), length > 0);
  EXPECT_TRUE(length ? utf8Of(cp) == sequence && utf8Length(sequence) == 1 : cp == static_cast<unsigned char>(bytes[0]))
      << uint32_t(cp);
}

// Every lead byte: the length it begins (0: none) and the range its second
// byte must lie in, as the standard's table of well-formed sequences has it.
struct LeadRange { const char* name; unsigned char first, last; size_t length; unsigned char secondLow, secondHigh; };
constexpr LeadRange kLeads[] = {
    {"ASCII", 0x00, 0x7F, 1, 0, 0},                       {"continuation byte alone", 0x80, 0xBF, 0, 0, 0},
    {"C0 C1 only make overlong forms", 0xC0, 0xC1, 0, 0, 0}, {"two bytes", 0xC2, 0xDF, 2, 0x80, 0xBF},
    {"E0: 80-9F would be overlong", 0xE0, 0xE0, 3, 0xA0, 0xBF}, {"three bytes", 0xE1, 0xEC, 3, 0x80, 0xBF},
    {"ED: A0-BF would be surrogates", 0xED, 0xED, 3, 0x80, 0x9F},
    {"three bytes after the surrogates", 0xEE, 0xEF, 3, 0x80, 0xBF},
    {"F0: 80-8F would be overlong", 0xF0, 0xF0, 4, 0x90, 0xBF}, {"four bytes", 0xF1, 0xF3, 4, 0x80, 0xBF},
    {"F4: 90-BF would pass U+10FFFF", 0xF4, 0xF4, 4, 0x80, 0x8F}, {"F5-FF begin nothing", 0xF5, 0xFF, 0, 0, 0},
};

TEST(Utf8Decoder, EveryLeadSecondAndLaterByteAndEveryTruncation) {
  for (const LeadRange& row : kLeads) {
    SCOPED_TRACE(row.name);
    for (int lead = row.first; lead <= row.last; ++lead) {
      for (int second = 0; second < 256; ++second)
        expectDecodes({char(lead), char(second), '\x80', '\x80'},
                      row.length <= 1 || (second >= row.secondLow && second <= row.secondHigh) ? row.length : 0);
      if (row.length < 2) continue;
      std::string whole{char(lead), char(row.secondLow), '\xBF', '\xBF'};
      whole.resize(row.length);
      expectDecodes(whole, row.length);
      for (size_t cut = 1; cut < row.length; ++cut) {
        expectDecodes(whole.substr(0, cut), 0);
        EXPECT_EQ(utf8Length(whole.substr(0, cut)), cut) << cut;
      }
      for (size_t at = 2; at < row.length; ++at)
        for (int b = 0; b < 256; ++b)
          expectDecodes(whole.substr(0, at) + char(b) + whole.substr(at + 1), b >= 0x80 && b <= 0xBF ? row.length : 0);
    }
  }
  size_t length = 99;
  EXPECT_TRUE(decodeUtf8("", length) == 0 && length == 0);
}

// Surrogates and values above U+10FFFF are written as U+FFFD.
TEST(Utf8Decoder, EveryCodePointRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const std::string bytes = utf8Of(cp);
    size_t length = 0;
    const char32_t back = decodeUtf8(bytes, length);
    const size_t expected = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (back != (cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp) || length != expected || bytes.size() != length) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<uint32_t>(cp) << " gives " << ::testing::PrintToString(bytes);
      return;
    }
  }
  for (char32_t beyond : {0x110000u, 0xFFFFFFFFu}) EXPECT_EQ(utf8Of(beyond), "\xEF\xBF\xBD");
}

TEST(TextHelpers, Windows1252BytesCutTrimCaseAndControls) {
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, char(b)), utf8 = windows1252ToUtf8(byte);
    std::string back;
    ASSERT_TRUE(isValidUtf8(utf8) && utf8ToWindows1252(utf8, back)) << b;
    EXPECT_EQ(back, byte) << b;
  }
  EXPECT_EQ(windows1252ToUtf8("\x80\x9D\xF2"), "\xE2\x82\xAC\xC2\x9D\xC3\xB2");
  std::string out;
  EXPECT_FALSE(utf8ToWindows1252("\xE2\x98\x83", out));  // a snowman has no byte
  EXPECT_EQ(bytesToUtf8("caf\xC3\xA9 and caf\xE9 \x93q\x94"), "caf\xC3\xA9 and caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D");
  // A cut never splits a sequence; a stray byte is one character, never glued to the next.
  const std::tuple<const char*, size_t, const char*> cuts[] = {
      {"M\xC3\xBCller", 2, "M\xC3\xBC"}, {"\xE2\x82\xAC\xE2\x82\xAC", 1, "\xE2\x82\xAC"}, {"abc", 10, "abc"},
      {"", 3, ""}, {"\xFF\xC3\xBC", 1, "\xFF"}};
  for (auto [in, n, out] : cuts) EXPECT_EQ(utf8Cut(in, n), out) << in << " " << n;
  EXPECT_EQ(utf8Length("\xFF\xC3\xBC" "a"), 3u);
  EXPECT_EQ(trimControl(" \t\rINBOX \x01") + "|" + trimControl("   ") + asciiLower("ABC\xC3\x84"), "INBOX|abc\xC3\x84");
  EXPECT_TRUE(equalsIgnoreCase("clGray", "CLGRAY") && !equalsIgnoreCase("clGray", "clGrey"));
  // C0, DEL and C1 are controls; U+00A0 and bytes that begin no sequence stay.
  EXPECT_EQ(controlsToBlanks("a\tb\x7F" "c\xC2\x85" "d\xC2\x9F" "e\xC2\xA0\xFF"), "a b c d e\xC2\xA0\xFF");
  EXPECT_EQ(versionText(*parseVersion("1.2.30.4000")), "1.2.30.4000");
}

// Each text split into lines, shown as each line followed by "|" when an LF ended it.
TEST(TextHelpers, TakeLineSplitsAtLfAndDropsTheCrBeforeIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\r\nb\r\n", "a|b|"}, {"a\nb\n", "a|b|"}, {"\r\n\n", "||"}, {"a\r\nb", "a|b"}, {"a\rb\r", "a\rb"}};
  for (auto [bytes, lines] : cases) {
    std::string_view rest = bytes, line;
    std::string shown;
    while (!rest.empty()) shown += (takeLine(rest, line) ? std::string(line) + "|" : std::string(line));
    EXPECT_EQ(shown, lines) << bytes;
  }
}

// Local fields follow the zone rules in force at the time asked about, not
// today's: noon UTC is 13:00 in a Berlin winter and 14:00 in its summer.
TEST(LocalTime, UsesTheRulesOfThatDate) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  EXPECT_EQ(localTimeFields(1768478400).tm_hour, 13);  // 2026-01-15 12:00:00 UTC
  EXPECT_EQ(formatLocalTime(1784116800, "%Y-%m-%d %H:%M:%S"), "2026-07-15 14:00:00");
}

TEST(TextHelpers, FingerprintsAndEscapedServerText) {
  const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
  std::string colons;
  for (size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
  const std::string want = asciiUpper(colons);
  for (const std::string& ok : {hex, colons, asciiLower(colons)}) EXPECT_EQ(normalizeFingerprint(ok), want) << ok;
  for (const std::string& bad : {hex.substr(2), hex + "00", ":" + hex, hex.substr(0, 62) + "0g", colons + ":",
                                 "0:0" + hex.substr(3), colons.substr(0, 2) + "::" + colons.substr(3)})
    EXPECT_EQ(normalizeFingerprint(bad), std::nullopt) << bad;
  EXPECT_EQ(escapeControl("CN=a\\b\n\r\t\x1b[31m\x7f\xc2\x85 caf\xc3\xa9 \xe9"),
            "CN=a\\\\b\\n\\r\\t\\x1B[31m\\x7F\\u0085 caf\xc3\xa9 \xc3\xa9");
}

}  // namespace
