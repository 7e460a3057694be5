#include "common/text.h"

#include <gtest/gtest.h>

#include <tuple>

#include "common/version.h"

using namespace brivane;

namespace {

// The bytes as "C3 A9", for naming a failing case.
std::string hex(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    static const char digits[] = "0123456789ABCDEF";
    if (!out.empty()) out += ' ';
    out += {digits[c >> 4], digits[c & 15]};
  }
  return out;
}

// What one sequence must give: a well-formed one its length and a code point
// in its length's range that encodes back to the same bytes; any other its
// first byte's value and length 0.
void expectDecodes(const std::string& bytes, size_t wellFormedLength) {
  SCOPED_TRACE(hex(bytes));
  size_t length = 99;
  const char32_t cp = decodeUtf8(bytes, length);
  ASSERT_EQ(length, wellFormedLength);
  EXPECT_EQ(utf8SequenceLength(bytes), wellFormedLength);
  if (wellFormedLength == 0) {
    EXPECT_EQ(cp, static_cast<unsigned char>(bytes[0]));
    EXPECT_FALSE(isValidUtf8(bytes));
    return;
  }
  static constexpr char32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
  static constexpr char32_t kHighest[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  EXPECT_GE(cp, kLowest[wellFormedLength]);
  EXPECT_LE(cp, kHighest[wellFormedLength]);
  EXPECT_FALSE(cp >= 0xD800 && cp <= 0xDFFF);
  std::string back;
  appendUtf8(back, cp);
  EXPECT_EQ(back, bytes.substr(0, wellFormedLength));
  EXPECT_TRUE(isValidUtf8(back));
  EXPECT_EQ(utf8Length(back), 1u);
}

// Every lead byte: the length it begins and the range its second byte must
// lie in (the standard's table of well-formed sequences). Rows of length 0
// never begin a sequence.
struct LeadRange {
  const char* name;
  unsigned char first, last;
  size_t length;
  unsigned char secondLow, secondHigh;
};
constexpr LeadRange kLeads[] = {
    {"ASCII", 0x00, 0x7F, 1, 0, 0},
    {"continuation byte alone", 0x80, 0xBF, 0, 0, 0},
    {"C0 C1 only make overlong forms", 0xC0, 0xC1, 0, 0, 0},
    {"two bytes", 0xC2, 0xDF, 2, 0x80, 0xBF},
    {"E0: 80-9F would be overlong", 0xE0, 0xE0, 3, 0xA0, 0xBF},
    {"three bytes", 0xE1, 0xEC, 3, 0x80, 0xBF},
    {"ED: A0-BF would be surrogates", 0xED, 0xED, 3, 0x80, 0x9F},
    {"three bytes after the surrogates", 0xEE, 0xEF, 3, 0x80, 0xBF},
    {"F0: 80-8F would be overlong", 0xF0, 0xF0, 4, 0x90, 0xBF},
    {"four bytes", 0xF1, 0xF3, 4, 0x80, 0xBF},
    {"F4: 90-BF would pass U+10FFFF", 0xF4, 0xF4, 4, 0x80, 0x8F},
    {"F5-FF begin nothing", 0xF5, 0xFF, 0, 0, 0},
};

// Every lead byte before every second byte, the later bytes continuation bytes.
TEST(Utf8Decoder, EveryLeadAndSecondByte) {
  for (const LeadRange& row : kLeads) {
    SCOPED_TRACE(row.name);
    for (int lead = row.first; lead <= row.last; ++lead) {
      for (int second = 0; second < 256; ++second) {
        const std::string bytes{static_cast<char>(lead), static_cast<char>(second), '\x80', '\x80'};
        const bool inRange = second >= row.secondLow && second <= row.secondHigh;
        expectDecodes(bytes, row.length <= 1 || inRange ? row.length : 0);
      }
    }
  }
}

// A third or fourth byte that is no continuation byte, and every truncation,
// end the sequence before it is well formed.
TEST(Utf8Decoder, LaterBytesAndTruncations) {
  for (const LeadRange& row : kLeads) {
    if (row.length < 2) continue;
    SCOPED_TRACE(row.name);
    for (int lead = row.first; lead <= row.last; ++lead) {
      std::string whole{static_cast<char>(lead), static_cast<char>(row.secondLow), '\xBF', '\xBF'};
      whole.resize(row.length);
      expectDecodes(whole, row.length);
      for (size_t cut = 1; cut < row.length; ++cut) {
        expectDecodes(whole.substr(0, cut), 0);
        EXPECT_EQ(utf8Length(whole.substr(0, cut)), cut) << hex(whole.substr(0, cut));
      }
      for (size_t at = 2; at < row.length; ++at) {
        for (int b = 0; b < 256; ++b) {
          std::string bytes = whole;
          bytes[at] = static_cast<char>(b);
          expectDecodes(bytes, b >= 0x80 && b <= 0xBF ? row.length : 0);
        }
      }
    }
  }
  size_t length = 99;
  EXPECT_EQ(decodeUtf8("", length), 0u);
  EXPECT_EQ(length, 0u);
}

// Every code point encodes and decodes back; surrogates and values above
// U+10FFFF are written as U+FFFD.
TEST(Utf8Decoder, EveryCodePointRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string bytes;
    appendUtf8(bytes, cp);
    const size_t expectedLength = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    size_t length = 0;
    const char32_t back = decodeUtf8(bytes, length);
    if (back != (cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp) || length != expectedLength || bytes.size() != length) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<uint32_t>(cp) << " gives " << hex(bytes);
      return;
    }
  }
  for (char32_t beyond : {0x110000u, 0xFFFFFFFFu}) {
    std::string bytes;
    appendUtf8(bytes, beyond);
    EXPECT_EQ(bytes, "\xEF\xBF\xBD");
  }
}

}  // namespace

TEST(Utf8, CutNeverSplitsASequence) {
  // A stray byte counts as one character and is never glued to the next.
  const std::tuple<const char*, size_t, const char*> cuts[] = {
      {"M\xC3\xBCller", 2, "M\xC3\xBC"}, {"\xE2\x82\xAC\xE2\x82\xAC", 1, "\xE2\x82\xAC"}, {"abc", 10, "abc"},
      {"", 3, ""}, {"\xFF\xC3\xBC", 1, "\xFF"}};
  for (auto [in, n, out] : cuts) EXPECT_EQ(utf8Cut(in, n), out) << in << " " << n;
  EXPECT_EQ(utf8Length("\xFF\xC3\xBC" "a"), 3u);
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

// A text split into lines, shown as each line followed by "|" when an LF
// ended it; `unfinished` is what a receive buffer keeps of it.
struct LineCase {
  const char* name;
  const char* bytes;
  const char* lines;
  const char* unfinished;
};
class TakeLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(TakeLine, SplitsAtLfAndDropsTheCrBeforeIt) {
  const LineCase& c = GetParam();
  std::string_view rest = c.bytes;
  std::string shown;
  while (!rest.empty()) {
    std::string_view line;
    const bool ended = takeLine(rest, line);
    shown += std::string(line) + (ended ? "|" : "");
  }
  EXPECT_EQ(shown, c.lines);
  // A receive buffer gives up only the lines whose LF has arrived.
  std::string buffer = c.bytes, line, complete;
  while (takeCompleteLine(buffer, line)) complete += line + "|";
  EXPECT_EQ(complete, shown.substr(0, shown.rfind('|') + 1));
  EXPECT_EQ(buffer, c.unfinished);
}

INSTANTIATE_TEST_SUITE_P(Lines, TakeLine,
                         ::testing::Values(LineCase{"CrLf", "a\r\nb\r\n", "a|b|", ""},
                                           LineCase{"BareLf", "a\nb\n", "a|b|", ""},
                                           LineCase{"EmptyLines", "\r\n\n", "||", ""},
                                           LineCase{"LastWithoutEnd", "a\r\nb", "a|b", "b"},
                                           LineCase{"CrWithoutLf", "a\rb\r", "a\rb", "a\rb\r"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TextHelpers, ControlsBecomeBlanks) {
  // C0, DEL and C1 are controls; U+00A0 and bytes that begin no sequence stay.
  EXPECT_EQ(controlsToBlanks("a\tb\x7F" "c\xC2\x85" "d\xC2\x9F" "e\xC2\xA0\xFF"), "a b c d e\xC2\xA0\xFF");
}

TEST(Version, ParseAndDisplay) {
  const auto v = parseVersion("1.2.30.4000");
  ASSERT_TRUE(v);
  EXPECT_EQ(versionText(*v), "1.2.30.4000");
  EXPECT_LT(*parseVersion("1.0.0.9"), *parseVersion("1.0.1.0"));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.x", "1..2.3", "1.2.3.65536", " 1.2.3.4", "1.2.3.-4"})
    EXPECT_FALSE(parseVersion(bad)) << bad;
}
