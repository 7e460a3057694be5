#include "protocols/header_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocols/mail_message.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;

TEST(EncodedWords, DecodeToUtf8) {
  const struct {
    const char* name;
    std::string in;
    const char* out;
  } rows[] = {
      {"adjacent words join without the blank", "=?ISO-8859-1?Q?Gr=FC=DFe_aus?= =?ISO-8859-1?Q?_K=F6ln?=",
       "Gr\u00fc\u00dfe aus K\u00f6ln"},
      {"base64", "=?UTF-8?B?w4RwZmVs?=", "\u00c4pfel"},
      {"lower-case q, text behind", "=?utf-8?q?Caf=C3=A9?= ok", "Caf\u00e9 ok"},
      {"character split over two words", "=?UTF-8?Q?=C3?= =?UTF-8?Q?=A9t=C3=A9?=", "\u00e9t\u00e9"},
      {"folded between words", "=?UTF-8?B?w6k=?=\r\n\t=?UTF-8?B?w6k=?=", "\u00e9\u00e9"},
      {"blanks around a word stay", "a =?ISO-8859-1?Q?=E9?= b", "a \u00e9 b"},
      {"koi8-r", "=?KOI8-R?B?8NLJ18XU?=", "\u041f\u0440\u0438\u0432\u0435\u0442"},
      {"windows-1252", "=?windows-1252?Q?=80?=", "\u20ac"},
      {"stateful iso-2022-jp", "=?ISO-2022-JP?B?GyRCJEskWyRzGyhC?=", "\u306b\u307b\u3093"},
      {"language suffix", "=?utf-8*en?Q?hi?=", "hi"},
      {"charsets converted separately", "=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\u00e9\u00e9"},
      {"unknown charset kept", "=?x-unknown?Q?abc?=", "=?x-unknown?Q?abc?="},
      {"malformed Q escape kept", "=?ISO-8859-1?Q?50=ZZ?=", "=?ISO-8859-1?Q?50=ZZ?="},
      {"blank inside kept", "=?ISO-8859-1?Q?a b?=", "=?ISO-8859-1?Q?a b?="},
      {"no end kept", "=?ISO-8859-1?Q?abc", "=?ISO-8859-1?Q?abc"},
      {"unknown encoding kept", "=?ISO-8859-1?X?abc?=", "=?ISO-8859-1?X?abc?="},
      {"search goes on behind a bad candidate", "=?bad =?UTF-8?Q?ok?=", "=?bad ok"},
      {"invalid byte is U+FFFD", "=?UTF-8?Q?a=FFb?=", "a\ufffdb"},
      {"CR, LF and NUL go", "=?UTF-8?Q?a=0D=0Ab=00c?=", "abc"},
      {"beyond U+10FFFF", "=?UTF-8?Q?a=F5=AC=8A=9Db?=", "a\ufffd\ufffd\ufffd\ufffdb"},
      {"raw CR and NUL go", std::string("a\rb\0c", 5), "abc"},
      {"raw 8-bit is windows-1252", "Caf\xe9 \x80", "Caf\u00e9 \u20ac"},
      {"raw UTF-8 stays", "Caf\xc3\xa9", "Caf\u00e9"},
      {"plain", "plain", "plain"},
      {"iso-8859-1 read as windows-1252", "=?iso-8859-1?Q?Don=92t_miss_=80100_=96_today?=",
       "Don\u2019t miss \u20ac100 \u2013 today"},
      {"us-ascii read as windows-1252", "=?us-ascii?Q?=93quoted=94?=", "\u201cquoted\u201d"},
      {"latin1 alias", "=?latin1?Q?=E9=85?=", "\u00e9\u2026"},
      {"Shift_JIS as CP932", "=?Shift_JIS?B?h0A=?=", "\u2460"},
      {"euc-kr as UHC", "=?euc-kr?Q?=81=41?=", "\uac02"},
      {"gb2312 as GB18030", "=?gb2312?B?gTCBMA==?=", "\u0080"},
      {"tis-620 as windows-874", "=?tis-620?Q?=80?=", "\u20ac"},
      {"iso-8859-9 as windows-1254", "=?iso-8859-9?Q?=80?=", "\u20ac"},
      {"utf-7 not in the table", "=?utf-7?Q?a+AOk-?=", "a\u00e9"},
      {"replacement label as before", "=?iso-2022-kr?Q?abc?=", "abc"},
      {"ks_c_5601-1987", "=?ks_c_5601-1987?Q?=C7=D1=B1=B9?=", "\ud55c\uad6d"},
      {"iso-8859-8-i", "=?iso-8859-8-i?Q?=F9=EC=E5=ED?=", "\u05e9\u05dc\u05d5\u05dd"},
      {"gb2312 as GBK", "=?gb2312?Q?=E9=46?=", "\u9555"},
      {"windows-874", "=?windows-874?Q?=E4=B7=C2?=", "\u0e44\u0e17\u0e22"},
      {"x-mac-roman", "=?x-mac-roman?Q?Caf=8E?=", "Caf\u00e9"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(decodeEncodedWords(r.in), r.out);
  }
}

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

TEST(MailDate, ParsesZonesAndRejectsGarbage) {
  const int64_t noonUtc = 1772539200;  // 2026-03-03 12:00:00 UTC
  const struct {
    const char *name, *in;
    int64_t out;
  } rows[] = {
      {"UTC", "Tue, 3 Mar 2026 12:00:00 +0000", noonUtc},
      {"positive offset", "Tue, 3 Mar 2026 13:00:00 +0100", noonUtc},
      {"EST", "Tue, 03 Mar 2026 07:00:00 EST", noonUtc},
      {"no weekday, no seconds, PST", "3 Mar 2026 04:00 PST", noonUtc},
      {"negative half-hour offset and comment", "Tue, 3 Mar 2026 05:30:00 -0630 (weird)", noonUtc},
      {"GMT", "Tue, 3 Mar 2026 12:00:00 GMT", noonUtc},
      {"unknown zone", "Tue, 3 Mar 2026 12:00:00 XYZ", noonUtc},
      {"two-digit year, Z", "Tue, 3 Mar 26 12:00:00 Z", noonUtc},
      {"offset out of range", "Tue, 3 Mar 2026 12:00:00 +9999", noonUtc},
      {"empty", "", 0},
      {"words", "yesterday", 0},
      {"February", "Sun, 1 Feb 2026 12:00:00 +0000", noonUtc - 30 * 86400},
      {"30 February", "Mon, 30 Feb 2026 12:00:00 +0000", 0},
      {"unknown month", "Tue, 3 Foo 2026 12:00:00 +0000", 0},
      {"hour 25", "Tue, 3 Mar 2026 25:00:00 +0000", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(parseMailDate(r.in), r.out);
  }
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
