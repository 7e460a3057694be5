#include "protocols/mail_message.h"

#include <gmock/gmock.h>

namespace brivane {

using ::testing::ElementsAre;

TEST(MailMessage, DecodesTheFieldsTheCheckersUse) {
  MailMessage m = MailMessage::fromHeaderBytes(
      "Received: from a\r\n\tby b\r\nSUBJECT: =?ISO-8859-1?Q?Sch=F6ne?=\r\n  =?ISO-8859-1?Q?_Gr=FC=DFe?=   and more\r\n"
      "from: \"Name\" <name@example.org>\r\nDate: Tue, 3 Mar 2026 13:00:00 +0100\r\n"
      "Content-Type: multipart/alternative;\r\n boundary=\"b1\"\r\n\r\nSubject: body, not header\r\n");
  EXPECT_EQ(std::tie(m.subject, m.date, m.contentType),
            std::make_tuple("Sch\u00f6ne Gr\u00fc\u00dfe   and more", 1772539200, "multipart/alternative"));
  EXPECT_THAT(m.from, ElementsAre(MailAddress{"Name", "name@example.org"}));
  EXPECT_EQ(m.headerValue("received"), "from a by b");
}

// Absent headers (a continuation line is no header of its own) and a cleared
// message give the same empty values; the kept header bytes are capped.
TEST(MailMessage, MissingHeadersAndClearGiveEmptyValuesAndHeaderIsCapped) {
  MailMessage cleared = MailMessage::fromHeaderBytes("Subject: s\nFrom: a@b\nDate: 1 Jan 2020 00:00 +0000\n");
  cleared.body.push_back("x");
  cleared.clear();
  EXPECT_TRUE(cleared.rawHeaders.empty() && cleared.body.empty());
  for (const MailMessage& m : {MailMessage::fromHeaderBytes("X-A: 1\n Subject: no\n"), cleared}) {
    EXPECT_EQ(std::tie(m.subject, m.date, m.contentType), std::make_tuple("", 0, "text/plain"));
    EXPECT_THAT(m.from, ElementsAre(MailAddress{}));
  }
  MailMessage m;
  size_t kept = 0;
  for (int i = 0; i < 2000; ++i) kept += m.addRawHeader("X-Fill: " + std::string(1000, 'h')) ? 1 : 0;
  EXPECT_LE(m.rawHeaderBytes, MailMessage::kMaxHeaderBytes);
  EXPECT_EQ(kept + m.droppedHeaderLines, 2000u);
  EXPECT_GT(m.droppedHeaderLines, 0u);
}

}  // namespace brivane
