#include "protocols/header_decoder.h"

#include <gtest/gtest.h>

namespace brivane {

TEST(EncodedWords, DecodeToUtf8) {
  const struct { std::string in; const char* out; } rows[] = {
      // Adjacent words join without the blank (over a fold, a split character); blanks by text stay.
      {"=?ISO-8859-1?Q?Gr=FC=DFe_aus?= =?ISO-8859-1?Q?_K=F6ln?=", "Gr\u00fc\u00dfe aus K\u00f6ln"},
      {"=?UTF-8?Q?=C3?= =?UTF-8?Q?=A9t=C3=A9?=", "\u00e9t\u00e9"},
      {"=?UTF-8?B?w6k=?=\r\n\t=?UTF-8?B?w6k=?=", "\u00e9\u00e9"},
      {"a =?ISO-8859-1?Q?=E9?= b", "a \u00e9 b"},
      {"=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\u00e9\u00e9"},  // each charset converted on its own
      {"=?UTF-8?B?w4RwZmVs?=", "\u00c4pfel"}, {"=?utf-8?q?Caf=C3=A9?= ok", "Caf\u00e9 ok"},
      {"=?KOI8-R?B?8NLJ18XU?=", "\u041f\u0440\u0438\u0432\u0435\u0442"}, {"=?windows-1252?Q?=80?=", "\u20ac"},
      {"=?ISO-2022-JP?B?GyRCJEskWyRzGyhC?=", "\u306b\u307b\u3093"}, {"=?utf-8*en?Q?hi?=", "hi"},
      // Malformed words are kept as they stand; the search goes on behind them.
      {"=?x-unknown?Q?abc?=", "=?x-unknown?Q?abc?="}, {"=?ISO-8859-1?Q?50=ZZ?=", "=?ISO-8859-1?Q?50=ZZ?="},
      {"=?ISO-8859-1?Q?a b?=", "=?ISO-8859-1?Q?a b?="}, {"=?ISO-8859-1?Q?abc", "=?ISO-8859-1?Q?abc"},
      {"=?ISO-8859-1?X?abc?=", "=?ISO-8859-1?X?abc?="}, {"=?bad =?UTF-8?Q?ok?=", "=?bad ok"},
      // Invalid bytes, control characters and raw 8-bit text.
      {"=?UTF-8?Q?a=FFb?=", "a\ufffdb"}, {"=?UTF-8?Q?a=0D=0Ab=00c?=", "abc"},
      {"=?UTF-8?Q?a=F5=AC=8A=9Db?=", "a\ufffd\ufffd\ufffd\ufffdb"}, {std::string("a\rb\0c", 5), "abc"},
      {"Caf\xe9 \x80", "Caf\u00e9 \u20ac"}, {"Caf\xc3\xa9", "Caf\u00e9"}, {"plain", "plain"},
      // Labels read as their wider relatives.
      {"=?iso-8859-1?Q?Don=92t_miss_=80100_=96_today?=", "Don\u2019t miss \u20ac100 \u2013 today"},
      {"=?us-ascii?Q?=93quoted=94?=", "\u201cquoted\u201d"}, {"=?latin1?Q?=E9=85?=", "\u00e9\u2026"},
      {"=?Shift_JIS?B?h0A=?=", "\u2460"}, {"=?euc-kr?Q?=81=41?=", "\uac02"}, {"=?gb2312?B?gTCBMA==?=", "\u0080"},
      {"=?tis-620?Q?=80?=", "\u20ac"}, {"=?iso-8859-9?Q?=80?=", "\u20ac"}, {"=?utf-7?Q?a+AOk-?=", "a\u00e9"},
      {"=?iso-2022-kr?Q?abc?=", "abc"}, {"=?ks_c_5601-1987?Q?=C7=D1=B1=B9?=", "\ud55c\uad6d"},
      {"=?iso-8859-8-i?Q?=F9=EC=E5=ED?=", "\u05e9\u05dc\u05d5\u05dd"}, {"=?windows-874?Q?=E4=B7=C2?=", "\u0e44\u0e17\u0e22"},
      {"=?x-mac-roman?Q?Caf=8E?=", "Caf\u00e9"},
  };
  for (const auto& r : rows) EXPECT_EQ(decodeEncodedWords(r.in), r.out) << r.in;
}

}  // namespace brivane
