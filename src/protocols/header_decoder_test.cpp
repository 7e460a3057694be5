#include "protocols/header_decoder.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

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

}  // namespace
}  // namespace brivane
