#include "protocols/imap_parse.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Lines = std::vector<std::string>;

TEST(ImapCollectedLines, SplitsDataStatusAndTaggedText) {
  ImapReply r;
  EXPECT_EQ(parseImapCollectedLines({"* CAPABILITY IMAP4rev1 IDLE", "* 3 EXISTS", "C2 OK Done."}, r),
            std::nullopt);
  EXPECT_EQ(r.status, "OK");
  EXPECT_THAT(r.textLines, ElementsAre("CAPABILITY IMAP4rev1 IDLE", "3 EXISTS"));
  EXPECT_THAT(r.extraLines, ElementsAre("Done."));
  keepExpectedImapLines(r, {"CAPABILITY"});
  EXPECT_THAT(r.textLines, ElementsAre("CAPABILITY IMAP4rev1 IDLE"));
  EXPECT_THAT(r.extraLines, ElementsAre("Done.", "3 EXISTS"));

  // An untagged final line adds its text to the text lines; the greeting.
  EXPECT_EQ(parseImapCollectedLines({"* OK [CAPABILITY IMAP4rev1] ready"}, r), std::nullopt);
  EXPECT_EQ(r.status, "OK");
  EXPECT_THAT(r.textLines, ElementsAre("[CAPABILITY IMAP4rev1] ready"));
  EXPECT_EQ(parseImapCollectedLines({"* PREAUTH"}, r), std::nullopt);
  EXPECT_EQ(r.status, "PREAUTH");
  EXPECT_THAT(r.textLines, IsEmpty());  // empty text lines are dropped
  EXPECT_EQ(parseImapCollectedLines({"+ go ahead"}, r), std::nullopt);
  EXPECT_EQ(r.status, "+");
  EXPECT_EQ(parseImapCollectedLines({"c7 NO [ALERT] nope"}, r), std::nullopt);
  EXPECT_EQ(r.status, "NO");
  EXPECT_EQ(r.finalText, "[ALERT] nope");
}

TEST(ImapCollectedLines, EveryMalformedShapeHasItsText) {
  const std::string u = "Unexpected: ";
  const struct {
    Lines lines;
    std::string error;
  } cases[] = {
      {{}, u + "Logic error, SetFormattedReply called with an empty list of parameters"},
      {{"*", "C1 OK"},
       u + "Non-last response line (i.e. a data line) only contained one word, instead of a * followed by "
           "one or more words, offending line: *"},
      {{"C3 OK stale", "C4 OK"},
       u + "Non-last response line (i.e. a data line) did not start with a *, offending line: C3 OK stale"},
      {{""},
       u + "Response (last) line was empty instead of containing a line with a response code like OK, NO, "
           "BAD, etc, offending line: "},
      {{"*"}, u + "Response (last) line contained only a *, offending line: *"},
      {{"* "}, u + "Response (last) line contained only a * (type 2), offending line: * "},
      {{"* FOO bar"},
       u + "Response (last) line started with a * but next word was not a valid response like OK, BAD, etc, "
           "offending line: * FOO bar"},
      {{"C5"},
       u + "Response (last) line started with a command reference (like C41) but nothing else, offending "
           "line: C5"},
      {{"C5 DONE"},
       u + "Line starts with a command reference (like C41) but next word was not a valid response like OK, "
           "BAD, etc, offending line: C5 DONE"},
      {{"HELLO there"},
       u + "Line does not start with a command reference (like C41), a *, or a valid response like OK, BAD, "
           "etc, offending line: HELLO there"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.lines));
    ImapReply r;
    EXPECT_EQ(parseImapCollectedLines(c.lines, r), std::optional<std::string>(c.error));
  }
}

TEST(ImapLiteral, AnnouncementsAreValidatedStrictly) {
  const struct {
    const char* line;
    ImapLiteral::Kind kind;
    uint32_t size;
  } cases[] = {
      {"* 1 FETCH (RFC822.HEADER {342}", ImapLiteral::Valid, 342},
      {"* 1 FETCH (RFC822.HEADER {0}", ImapLiteral::Valid, 0},
      {"* LIST () \"/\" {4294967295}", ImapLiteral::Valid, 4294967295u},
      {"* 1 FETCH (BODY[TEXT] {-1}", ImapLiteral::Invalid, 0},
      {"* 1 FETCH (BODY[TEXT] {}", ImapLiteral::Invalid, 0},
      {"* 1 FETCH (BODY[TEXT] {1a}", ImapLiteral::Invalid, 0},
      {"* 1 FETCH (BODY[TEXT] {4294967296}", ImapLiteral::Invalid, 0},
      {"* 1 FETCH (BODY[TEXT] {99999999999999999999}", ImapLiteral::Invalid, 0},
      {"* 1 FETCH (BODY[TEXT] {+5}", ImapLiteral::Invalid, 0},
      {"({7}", ImapLiteral::Valid, 7},
      {"* LIST () \"/\" name{3}", ImapLiteral::None, 0},  // "{" inside an atom
      {"* LIST () \"/\" \"x}\"", ImapLiteral::None, 0},
      {"* LIST () \"/\" x}", ImapLiteral::None, 0},
      {"", ImapLiteral::None, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ImapLiteral lit = findImapLiteral(c.line);
    EXPECT_EQ(lit.kind, c.kind);
    EXPECT_EQ(lit.size, c.size);
  }
  EXPECT_TRUE(isImapDataLine("* 3 FETCH (X {1}"));
  EXPECT_TRUE(isImapDataLine("* LIST () NIL a"));
  EXPECT_FALSE(isImapDataLine("* OK [ALERT] size {5}"));  // status text holds no literal
  EXPECT_FALSE(isImapDataLine("C4 OK {5}"));
  EXPECT_FALSE(isImapDataLine("*"));
}

// Response words, status words and item names in any case (RFC 3501).
TEST(ImapCollectedLines, ResponseWordsInAnyCase) {
  ImapReply r;
  EXPECT_EQ(parseImapCollectedLines({"* 9 exists", "* flags (\\Seen)", "* ok [uidnext 7] x", "c2 ok done"}, r),
            std::nullopt);
  EXPECT_EQ(r.status, "OK");
  keepExpectedImapLines(r, {"FLAGS", "OK", "EXISTS"});
  ImapMailbox m;
  applyImapSelect(m, r);
  EXPECT_EQ(m.totalMessages, 9u);
  EXPECT_EQ(m.uidNext, "7");
  EXPECT_THAT(m.flags, ElementsAre("\\Seen"));
  EXPECT_EQ(parseImapCollectedLines({"* ok ready"}, r), std::nullopt);
  EXPECT_EQ(r.status, "OK");
  EXPECT_THAT(parseImapSearch({"search 3 5"}), ElementsAre(3u, 5u));
  EXPECT_TRUE(isImapDataLine("* status INBOX (unseen 2)"));
  EXPECT_FALSE(isImapDataLine("* bye now"));
  EXPECT_EQ(imapAlertText("* ok [alert] Quota low"), "Quota low");
  EXPECT_EQ(imapAlertText("C4 NO [ALERT] Use TLS"), "Use TLS");
  EXPECT_EQ(imapAlertText("* 3 EXISTS"), std::nullopt);
  ImapFetchParser fetch("BODY[TEXT]");
  ASSERT_TRUE(fetch.start("1 fetch (body[text]<0> {5}"));
  EXPECT_TRUE(fetch.literalIsWanted());  // a partial fetch answers with its origin
}

TEST(ImapList, TokenizerAndFolderNames) {
  EXPECT_THAT(tokenizeImapList("LIST (\\HasNoChildren \\Marked) \"/\" \"INBOX\""),
              ElementsAre("LIST", "\\HasNoChildren \\Marked", "/", "INBOX"));
  EXPECT_THAT(tokenizeImapList("LIST ((a) \")\") \"a\\\\b\\\"c\" x"),
              ElementsAre("LIST", "(a) \")\"", "a\\b\"c", "x"));

  const struct {
    const char* line;
    std::optional<std::string> name;
  } cases[] = {
      {"LIST (\\HasNoChildren) \"/\" \"INBOX\"", "INBOX"},
      {"LIST () NIL Archive", "Archive"},
      {"list () \".\" Sent", "Sent"},
      {"LIST (\\HasNoChildren) \"/\" \"Sent Items\"", "Sent Items"},
      {"LIST () \"/\" \"Entw&APw-rfe\"", "Entw&APw-rfe"},  // the wire form, decoded by the caller
      {"LIST () \"/\" \"Tom & Jerry\"", "Tom & Jerry"},
      {"LIST () \".\" \"INBOX\" (\"CHILDINFO\" (\"SUBSCRIBED\"))", "INBOX"},  // extended data after the name
      {"LIST () \"/\" \"back\\\\slash \\\"quoted\\\"\"", "back\\slash \"quoted\""},
      {"LIST () \"/\" \"  padded \"", "  padded "},  // blanks are part of a quoted name
      {"LIST () \"/\"", std::nullopt},  // fewer than four tokens
      {"LSUB () \"/\" INBOX", std::nullopt},
      {"LIST", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(parseImapListLine(c.line), c.name);
  }
}

TEST(ImapMailboxRecord, StatusAndSearchKeepOnlyValidNumbers) {
  ImapMailbox m;
  m.unseenMessages = 5;
  m.uidNext = "old";
  applyImapStatus(m, "STATUS \"INBOX\" (MESSAGES 231 RECENT 2 UIDNEXT 44292)");
  EXPECT_EQ(m.totalMessages, 231u);
  EXPECT_EQ(m.recentMessages, 2u);
  EXPECT_EQ(m.unseenMessages, 5u);  // no UNSEEN item: unchanged
  EXPECT_EQ(m.uidNext, "44292");
  // A name holding parentheses and blanks does not confuse the item list.
  applyImapStatus(m, "STATUS \"a (b) c\" (UNSEEN 3 UIDVALIDITY 9 MESSAGES x)");
  EXPECT_EQ(m.unseenMessages, 3u);
  EXPECT_EQ(m.uidValidity, "9");
  EXPECT_EQ(m.totalMessages, 231u);  // "x" is no number
  applyImapStatus(m, "STATUS Sent (UNSEEN 99999999999)");
  EXPECT_EQ(m.unseenMessages, 3u);
  EXPECT_THAT(parseImapSearch({}), IsEmpty());
  EXPECT_THAT(parseImapSearch({"SEARCH 1 x 0 4294967296 7", "SEARCH 8"}), ElementsAre(1u, 7u));
}

TEST(ImapFetch, DataLinesAndTheirPieces) {
  ImapFetchParser p("RFC822.HEADER");
  ASSERT_TRUE(p.start("12 FETCH (UID 345 FLAGS (\\Seen \\Recent) RFC822.HEADER {342}"));
  EXPECT_TRUE(p.literalIsWanted());
  EXPECT_EQ(p.item().messageNumber, 12u);
  EXPECT_EQ(p.item().uid, "345");
  EXPECT_THAT(p.item().flags, ElementsAre("\\Seen", "\\Recent"));
  EXPECT_EQ(p.item().valueKind, ImapFetchItem::Literal);
  EXPECT_EQ(p.item().literalSize, 342u);
  p.resume(" FLAGS (\\Answered))");
  EXPECT_FALSE(p.literalIsWanted());
  EXPECT_THAT(p.item().flags, ElementsAre("\\Answered"));

  // Another item's literal first, then the wanted one behind it.
  ImapFetchParser t("BODY[TEXT]");
  ASSERT_TRUE(t.start("3 FETCH (BODY[HEADER.FIELDS (FROM)] {20}"));
  EXPECT_FALSE(t.literalIsWanted());
  t.resume(" BODY[TEXT] {5}");
  EXPECT_TRUE(t.literalIsWanted());
  EXPECT_EQ(t.item().literalSize, 5u);

  const struct {
    const char* line;
    ImapFetchItem::ValueKind kind;
    const char* value;
  } values[] = {
      {"1 FETCH (BODY[TEXT] NIL)", ImapFetchItem::Nil, ""},
      {"1 FETCH (body[text] \"\")", ImapFetchItem::Nil, ""},
      {"1 FETCH (BODY[TEXT] \"Hi \\\"you\\\"\")", ImapFetchItem::Quoted, "Hi \"you\""},
      {"1 FETCH (UID 5)", ImapFetchItem::Absent, ""},
      {"1 FETCH (BODY[TEXT] {0}", ImapFetchItem::Literal, ""},
      {"1 FETCH (BODY[TEXT] {1a}", ImapFetchItem::Absent, ""},
      {"1 FETCH (BODY[TEXT]", ImapFetchItem::Absent, ""},
      {"1 FETCH BODY[TEXT] {5}", ImapFetchItem::Absent, ""},
  };
  for (const auto& v : values) {
    SCOPED_TRACE(v.line);
    ImapFetchParser q("BODY[TEXT]");
    ASSERT_TRUE(q.start(v.line));
    EXPECT_EQ(q.item().valueKind, v.kind);
    EXPECT_EQ(q.item().value, v.value);
  }

  EXPECT_FALSE(ImapFetchParser("").start("3 EXISTS"));
  EXPECT_FALSE(ImapFetchParser("").start("0x FETCH (UID 1)"));
  EXPECT_FALSE(ImapFetchParser("").start("SEARCH 1 2"));
}

TEST(ImapQuoting, AtomsQuotedStringsAndRefusals) {
  const struct {
    std::string in;
    std::optional<std::string> astring;
  } rows[] = {
      {"john", "john"}, {"user@example.com", "user@example.com"}, {"pass word", "\"pass word\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"caf\xC3\xA9", "\"caf\xC3\xA9\""}, {"", "\"\""},
      {"x]", "\"x]\""}, {"{5}", "\"{5}\""}, {"a%*", "\"a%*\""}, {"tab\there", "\"tab\there\""},
      {"a\r\nC2 LOGOUT", std::nullopt}, {"a\nb", std::nullopt}, {std::string("a\0b", 3), std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(imapAstring(r.in), r.astring);
  }
  EXPECT_EQ(imapQuoted("INBOX"), "\"INBOX\"");
  EXPECT_EQ(imapQuoted("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(imapQuoted("x\ry"), std::nullopt);
}

}  // namespace
}  // namespace brivane
