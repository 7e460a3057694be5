// Random inputs built from the tokens that steer the parsers: no crash, no
// hang, output always valid UTF-8 without CR, LF or NUL where promised.
#include <gtest/gtest.h>

#include <random>

#include "common/text.h"
#include "protocols/header_decoder.h"
#include "protocols/mail_message.h"
#include "protocols/pop3_session.h"

namespace brivane {
namespace {

std::string randomInput(std::mt19937& rng) {
  static const char* tokens[] = {"=?", "?=", "?Q?", "?B?", "?q?", "UTF-8", "ISO-8859-1", "ISO-2022-JP", "=C3",
                                 "=A9", "=", "_", "<", ">", "(", ")", "\"", "\\", ",", ":", ";", "@", " ",
                                 "\t", "\r\n", "\n", "\r\n ", "\x80", "\xff", "\xc3", "",
                                 "Subject: ", "From: ", "Date: ", "+OK", "-ERR", "-", "[IN-USE]", "..", ".",
                                 "Mon, ", "31 ", "Dec ", "1999 ", "23:59:60 ", "+2400", "EST", "w6k=", "===="};
  std::uniform_int_distribution<size_t> pick(0, std::size(tokens) - 1), len(0, 40);
  std::string s;
  for (size_t n = len(rng); n > 0; --n) {
    size_t t = pick(rng);
    s += tokens[t][0] == '\0' ? std::string(1, '\0') : std::string(tokens[t]);  // "" stands for NUL
  }
  return s;
}

TEST(DecoderFuzz, RandomTokenSoup) {
  std::mt19937 rng(20260303);
  for (int i = 0; i < 3000; ++i) {
    std::string in = randomInput(rng);
    std::string decoded = decodeEncodedWords(in);
    EXPECT_TRUE(isValidUtf8(decoded)) << in;
    EXPECT_EQ(decoded.find('\0'), std::string::npos) << in;
    for (const MailAddress& a : parseAddressList(in)) {
      EXPECT_TRUE(isValidUtf8(a.name));
      EXPECT_TRUE(isValidUtf8(a.address));
    }
    int64_t date = parseMailDate(in);
    (void)date;
    MailMessage m = MailMessage::fromHeaderBytes(in);
    EXPECT_TRUE(isValidUtf8(m.subject));
    EXPECT_FALSE(m.from.empty());
    Pop3Reply r = parsePop3Reply(in);
    EXPECT_TRUE(r.indicator == "+OK" || r.indicator == "-ERR" || r.indicator == "+");
  }
}

}  // namespace
}  // namespace brivane
