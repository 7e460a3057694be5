#include "protocols/header_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "protocols/mail_message.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;

TEST(EncodedWords, DecodeToUtf8) {
  struct Case {
    std::string in;
    const char* out;
  } cases[] = {
      // Two adjacent ISO-8859-1 words join without the blank between them.
      {"=?ISO-8859-1?Q?Gr=FC=DFe_aus?= =?ISO-8859-1?Q?_K=F6ln?=", "Gr\u00fc\u00dfe aus K\u00f6ln"},
      {"=?UTF-8?B?w4RwZmVs?=", "\u00c4pfel"},
      {"=?utf-8?q?Caf=C3=A9?= ok", "Caf\u00e9 ok"},
      // A UTF-8 character split over two words survives.
      {"=?UTF-8?Q?=C3?= =?UTF-8?Q?=A9t=C3=A9?=", "\u00e9t\u00e9"},
      {"=?UTF-8?B?w6k=?=\r\n\t=?UTF-8?B?w6k=?=", "\u00e9\u00e9"},
      {"a =?ISO-8859-1?Q?=E9?= b", "a \u00e9 b"},
      {"=?KOI8-R?B?8NLJ18XU?=", "\u041f\u0440\u0438\u0432\u0435\u0442"},
      {"=?windows-1252?Q?=80?=", "\u20ac"},
      {"=?ISO-2022-JP?B?GyRCJEskWyRzGyhC?=", "\u306b\u307b\u3093"},
      {"=?utf-8*en?Q?hi?=", "hi"},
      // Different charsets next to each other are converted separately.
      {"=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\u00e9\u00e9"},
      // Not decoded: unknown charset, malformed Q escape, blanks inside, no end.
      {"=?x-unknown?Q?abc?=", "=?x-unknown?Q?abc?="},
      {"=?ISO-8859-1?Q?50=ZZ?=", "=?ISO-8859-1?Q?50=ZZ?="},
      {"=?ISO-8859-1?Q?a b?=", "=?ISO-8859-1?Q?a b?="},
      {"=?ISO-8859-1?Q?abc", "=?ISO-8859-1?Q?abc"},
      {"=?ISO-8859-1?X?abc?=", "=?ISO-8859-1?X?abc?="},
      // After a candidate that does not decode, the search goes on behind it.
      {"=?bad =?UTF-8?Q?ok?=", "=?bad ok"},
      // Bytes invalid in their charset become U+FFFD; CR, LF and NUL go.
      {"=?UTF-8?Q?a=FFb?=", "a\ufffdb"},
      {"=?UTF-8?Q?a=0D=0Ab=00c?=", "abc"},
      // Also what iconv's UTF-8 reader lets through (beyond U+10FFFF).
      {"=?UTF-8?Q?a=F5=AC=8A=9Db?=", "a\ufffd\ufffd\ufffd\ufffdb"},
      {std::string("a\rb\0c", 5), "abc"},
      // Raw 8-bit text outside words is read as Windows-1252 unless UTF-8.
      {"Caf\xe9 \x80", "Caf\u00e9 \u20ac"},
      {"Caf\xc3\xa9", "Caf\u00e9"},
      {"plain", "plain"},
      // Labels name the larger charset real mail is written in.
      {"=?iso-8859-1?Q?Don=92t_miss_=80100_=96_today?=", "Don\u2019t miss \u20ac100 \u2013 today"},
      {"=?us-ascii?Q?=93quoted=94?=", "\u201cquoted\u201d"},
      {"=?latin1?Q?=E9=85?=", "\u00e9\u2026"},
      {"=?Shift_JIS?B?h0A=?=", "\u2460"},            // NEC row 13: CP932 only
      {"=?euc-kr?Q?=81=41?=", "\uac02"},              // a UHC extension syllable
      {"=?gb2312?B?gTCBMA==?=", "\u0080"},           // four-byte GB18030
      {"=?tis-620?Q?=80?=", "\u20ac"},                // windows-874
      {"=?iso-8859-9?Q?=80?=", "\u20ac"},             // windows-1254
      {"=?utf-7?Q?a+AOk-?=", "a\u00e9"},              // not in the table: as before
      {"=?iso-2022-kr?Q?abc?=", "abc"},                // "replacement" in the table: as before
      // Labels iconv does not know by that name.
      {"=?ks_c_5601-1987?Q?=C7=D1=B1=B9?=", "\ud55c\uad6d"},
      {"=?iso-8859-8-i?Q?=F9=EC=E5=ED?=", "\u05e9\u05dc\u05d5\u05dd"},
      {"=?gb2312?Q?=E9=46?=", "\u9555"},
      {"=?windows-874?Q?=E4=B7=C2?=", "\u0e44\u0e17\u0e22"},
      {"=?x-mac-roman?Q?Caf=8E?=", "Caf\u00e9"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeEncodedWords(c.in), c.out) << c.in;
}

TEST(AddressList, SplitsBeforeDecoding) {
  struct Case {
    std::string in;
    std::vector<MailAddress> out;
  } cases[] = {
      {"=?UTF-8?Q?M=C3=BCller=2C_Hans?= <h@x>", {{"M\u00fcller, Hans", "h@x"}}},
      // Raw "," and ":" inside an encoded word split nothing.
      {"=?UTF-8?Q?M=C3=BCller,_Hans?= <h@x>, b@x", {{"M\u00fcller, Hans", "h@x"}, {"", "b@x"}}},
      {"=?UTF-8?Q?Support:_Team?= <s@x>", {{"Support: Team", "s@x"}}},
      {"\"Doe, John\" <john@example.org>", {{"Doe, John", "john@example.org"}}},
      {"Jane Roe <jane@example.org>, bob@example.org", {{"Jane Roe", "jane@example.org"}, {"", "bob@example.org"}}},
      {"bob@example.org (Bob Smith)", {{"Bob Smith", "bob@example.org"}}},
      {"bob@example.org", {{"", "bob@example.org"}}},
      {"\"Say \\\"hi\\\"\" <s@x>", {{"Say \"hi\"", "s@x"}}},
      {"\"=?ISO-8859-1?Q?J=F6rg?=\" <j@x>", {{"J\u00f6rg", "j@x"}}},
      {"Team: a@x, B <b@x>;", {{"", "a@x"}, {"B", "b@x"}}},
      {"", {{"", ""}}},
      {"  ,  ", {{"", ""}}},
      {"<only@x>", {{"", "only@x"}}},
      // Raw NUL and bare CR never reach a name or an address.
      {std::string("bob\0@x\r (B\0ob)", 14), {{"Bob", "bob@x"}}},
      {std::string("N\0m <a\0@x\r>", 11), {{"Nm", "a@x"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseAddressList(c.in), c.out) << c.in;
}

TEST(MailDate, ParsesZonesAndRejectsGarbage) {
  const int64_t noonUtc = 1772539200;  // 2026-03-03 12:00:00 UTC
  struct Case {
    const char* in;
    int64_t out;
  } cases[] = {
      {"Tue, 3 Mar 2026 12:00:00 +0000", noonUtc},
      {"Tue, 3 Mar 2026 13:00:00 +0100", noonUtc},
      {"Tue, 03 Mar 2026 07:00:00 EST", noonUtc},
      {"3 Mar 2026 04:00 PST", noonUtc},
      {"Tue, 3 Mar 2026 05:30:00 -0630 (weird)", noonUtc},
      {"Tue, 3 Mar 2026 12:00:00 GMT", noonUtc},
      {"Tue, 3 Mar 2026 12:00:00 XYZ", noonUtc},
      {"Tue, 3 Mar 26 12:00:00 Z", noonUtc},
      {"Tue, 3 Mar 2026 12:00:00 +9999", noonUtc},  // no valid offset
      {"", 0},
      {"yesterday", 0},
      {"Tue, 31 Feb 2026 12:00:00 +0000", 0},
      {"Tue, 3 Foo 2026 12:00:00 +0000", 0},
      {"Tue, 3 Mar 2026 25:00:00 +0000", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parseMailDate(c.in), c.out) << c.in;
}

TEST(MailDate, LocalTimeUsesTheRulesOfThatDate) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  std::tm winter = toLocalTime(parseMailDate("15 Jan 2026 12:00:00 +0000"));
  std::tm summer = toLocalTime(parseMailDate("15 Jul 2026 12:00:00 +0000"));
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  EXPECT_EQ(winter.tm_hour, 13);
  EXPECT_EQ(summer.tm_hour, 14);
}

TEST(MailMessage, DecodesTheFieldsTheCheckersUse) {
  MailMessage m = MailMessage::fromHeaderBytes(
      "Received: from a\r\n\tby b\r\n"
      "SUBJECT: =?ISO-8859-1?Q?Sch=F6ne?=\r\n"
      "  =?ISO-8859-1?Q?_Gr=FC=DFe?=   and more\r\n"
      "from: \"Name\" <name@example.org>\r\n"
      "Date: Tue, 3 Mar 2026 13:00:00 +0100\r\n"
      "Content-Type: multipart/alternative;\r\n boundary=\"b1\"\r\n"
      "\r\n"
      "Subject: body, not header\r\n");
  EXPECT_EQ(m.subject, "Sch\u00f6ne Gr\u00fc\u00dfe   and more");
  EXPECT_THAT(m.from, ElementsAre(MailAddress{"Name", "name@example.org"}));
  EXPECT_EQ(m.date, 1772539200);
  EXPECT_EQ(m.contentType, "multipart/alternative");
  EXPECT_EQ(m.headerValue("received"), "from a by b");
}

// Absent headers (a continuation line never counts as a header of its own)
// and a cleared message give the same empty values.
TEST(MailMessage, MissingHeadersAndClearGiveEmptyValuesAndHeaderIsCapped) {
  MailMessage cleared = MailMessage::fromHeaderBytes("Subject: s\nFrom: a@b\nDate: 1 Jan 2020 00:00 +0000\n");
  cleared.body.push_back("x");
  cleared.clear();
  EXPECT_TRUE(cleared.rawHeaders.empty());
  EXPECT_TRUE(cleared.body.empty());
  for (const MailMessage& m : {MailMessage::fromHeaderBytes("X-A: 1\n Subject: no\n"), cleared}) {
    EXPECT_EQ(m.subject, "");
    EXPECT_EQ(m.date, 0);
    EXPECT_EQ(m.contentType, "text/plain");
    EXPECT_THAT(m.from, ElementsAre(MailAddress{}));
  }

  MailMessage m;

  std::string line(1000, 'h');
  size_t kept = 0;
  for (int i = 0; i < 2000; ++i) kept += m.addRawHeader("X-Fill: " + line) ? 1 : 0;
  EXPECT_LE(m.rawHeaderBytes, MailMessage::kMaxHeaderBytes);
  EXPECT_EQ(kept + m.droppedHeaderLines, 2000u);
  EXPECT_GT(m.droppedHeaderLines, 0u);
}

}  // namespace
}  // namespace brivane
