#include "protocols/imap_parse.h"

#include <gmock/gmock.h>

#include "protocols/imap_session.h"

namespace brivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Status words and response items in any case (RFC 3501); a lower-case
// SELECT reply is proved through the checker.
TEST(ImapCollectedLines, SplitsDataStatusAndTaggedTextInAnyCase) {
  ImapReply r;
  EXPECT_EQ(parseImapCollectedLines({"* CAPABILITY IMAP4rev1 IDLE", "* 3 EXISTS", "C2 OK Done."}, r), std::nullopt);
  EXPECT_EQ(r.status, "OK");
  EXPECT_THAT(r.textLines, ElementsAre("CAPABILITY IMAP4rev1 IDLE", "3 EXISTS"));
  EXPECT_THAT(r.extraLines, ElementsAre("Done."));
  // An untagged final line (the greeting) adds its text to the text lines; empty ones are dropped.
  EXPECT_EQ(parseImapCollectedLines({"* ok [CAPABILITY IMAP4rev1] ready"}, r), std::nullopt);
  EXPECT_THAT(r.textLines, ElementsAre("[CAPABILITY IMAP4rev1] ready"));
  EXPECT_EQ(parseImapCollectedLines({"* PREAUTH"}, r), std::nullopt);
  EXPECT_THAT(r.textLines, IsEmpty());
  EXPECT_EQ(parseImapCollectedLines({"c7 no [ALERT] nope"}, r), std::nullopt);
  EXPECT_EQ(std::tie(r.status, r.finalText), std::make_tuple("NO", "[ALERT] nope"));
  EXPECT_THAT(parseImapSearch({"search 3 5"}), ElementsAre(3u, 5u));
  EXPECT_EQ(imapAlertText("* ok [alert] Quota low"), "Quota low");
  EXPECT_EQ(imapAlertText("* 3 EXISTS"), std::nullopt);
  // LIST lines: most shapes are proved through the session's and the checker's LIST.
  EXPECT_THAT(tokenizeImapList("LIST ((a) \")\") \"a\\\\b\\\"c\" x"), ElementsAre("LIST", "(a) \")\"", "a\\b\"c", "x"));
  EXPECT_EQ(parseImapListLine("LSUB () \"/\" INBOX"), std::nullopt);
  EXPECT_EQ(parseImapListLine("LIST"), std::nullopt);
}

TEST(ImapCollectedLines, EveryMalformedShapeHasItsText) {
  const std::string d = "Non-last response line (i.e. a data line) ", l = "Response (last) line ",
                    valid = "a valid response like OK, BAD, etc, offending line: ";
  const struct { std::vector<std::string> lines; std::string error; } cases[] = {
      {{}, "Logic error, SetFormattedReply called with an empty list of parameters"},
      {{"*", "C1 OK"}, d + "only contained one word, instead of a * followed by one or more words, offending line: *"},
      {{"C3 OK stale", "C4 OK"}, d + "did not start with a *, offending line: C3 OK stale"},
      {{""}, l + "was empty instead of containing a line with a response code like OK, NO, BAD, etc, offending line: "},
      {{"*"}, l + "contained only a *, offending line: *"},
      {{"* "}, l + "contained only a * (type 2), offending line: * "},
      {{"* FOO bar"}, l + "started with a * but next word was not " + valid + "* FOO bar"},
      {{"C5"}, l + "started with a command reference (like C41) but nothing else, offending line: C5"},
      {{"C5 DONE"}, "Line starts with a command reference (like C41) but next word was not " + valid + "C5 DONE"},
      {{"HELLO there"}, "Line does not start with a command reference (like C41), a *, or " + valid + "HELLO there"},
  };
  for (const auto& c : cases) {
    ImapReply r;
    EXPECT_EQ(parseImapCollectedLines(c.lines, r), std::optional<std::string>("Unexpected: " + c.error));
  }
}

TEST(ImapLiteral, AnnouncementsAreValidatedStrictly) {
  const auto valid = ImapLiteral::Valid, invalid = ImapLiteral::Invalid, none = ImapLiteral::None;
  const struct { const char* line; ImapLiteral::Kind kind; uint32_t size; } cases[] = {
      {"* 1 FETCH (RFC822.HEADER {342}", valid, 342}, {"* 1 FETCH (RFC822.HEADER {0}", valid, 0},
      {"* LIST () \"/\" {4294967295}", valid, 4294967295u}, {"({7}", valid, 7}, {"* 1 FETCH (X {-1}", invalid, 0},
      {"* 1 FETCH (X {}", invalid, 0}, {"* 1 FETCH (X {1a}", invalid, 0}, {"* 1 FETCH (X {4294967296}", invalid, 0},
      {"* 1 FETCH (X {99999999999999999999}", invalid, 0}, {"* 1 FETCH (X {+5}", invalid, 0},
      {"* LIST () \"/\" name{3}", none, 0}, {"* LIST () \"/\" \"x}\"", none, 0}, {"* LIST () \"/\" x}", none, 0},
      {"", none, 0},
  };
  for (const auto& c : cases) {
    const ImapLiteral lit = findImapLiteral(c.line);
    EXPECT_EQ(lit.kind, c.kind) << c.line;
    EXPECT_EQ(lit.size, c.size) << c.line;
  }
  // Only data lines may announce a literal, not the text of a status.
  for (const auto& [line, data] : {std::pair{"* 3 FETCH (X {1}", true}, {"* LIST () NIL a", true}, {"* status X (unseen 2)", true},
                                   {"* OK [ALERT] size {5}", false}, {"* bye now", false}, {"C4 OK {5}", false}, {"*", false}})
    EXPECT_EQ(isImapDataLine(line), data) << line;
}

TEST(ImapMailboxRecord, SearchKeepsOnlyValidNumbers) {
  EXPECT_THAT(parseImapSearch({"SEARCH 1 x 0 4294967296 7", "SEARCH 8"}), ElementsAre(1u, 7u));
}

TEST(ImapFetch, DataLinesAndTheirPieces) {
  ImapFetchParser p({"RFC822.HEADER", "BODY[TEXT]"});
  ASSERT_TRUE(p.start("12 FETCH (UID 345 FLAGS (\\Seen \\Recent) RFC822.HEADER {342}"));
  EXPECT_EQ(p.literalTarget(), 0);
  EXPECT_EQ(std::tie(p.item().messageNumber, p.item().uid, p.item().values[0].literalSize),
            std::make_tuple(12u, "345", 342u));
  EXPECT_THAT(p.item().flags, ElementsAre("\\Seen", "\\Recent"));
  p.resume(" FLAGS (\\Answered) BODY[HEADER.FIELDS (FROM)] {20}");  // a literal of an item not asked for
  EXPECT_EQ(p.literalTarget(), -1);
  EXPECT_THAT(p.item().flags, ElementsAre("\\Answered"));
  p.resume(" body[text]<0> {5}");  // a partial fetch answers with its origin, in any case
  EXPECT_EQ(p.literalTarget(), 1);
  EXPECT_EQ(p.item().values[1].literalSize, 5u);
  // NIL, quoted, absent and {0} values are proved through the session.
  const std::pair<const char*, ImapFetchValue::Kind> values[] = {
      {"1 FETCH (body[text] \"\")", ImapFetchValue::Nil}, {"1 FETCH (BODY[TEXT]", ImapFetchValue::Absent},
      {"1 FETCH BODY[TEXT] {5}", ImapFetchValue::Absent}};
  for (const auto& [line, kind] : values) {
    ImapFetchParser q({"BODY[TEXT]"});
    ASSERT_TRUE(q.start(line));
    EXPECT_EQ(q.item().values[0].kind, kind) << line;
  }
  for (const char* line : {"3 EXISTS", "0x FETCH (UID 1)", "SEARCH 1 2"}) EXPECT_FALSE(ImapFetchParser({}).start(line));
}

// Ranges collapsed, duplicates and 0 dropped, sets split at the length and
// the count without losing or repeating a UID.
TEST(ImapFetch, UidSetsStayUnderTheirBounds) {
  const struct { std::vector<uint32_t> uids; size_t length, count; std::vector<std::string> sets; } rows[] = {
      {{9, 3, 4, 5, 7, 9, 0, 4294967295u}, 100, 100, {"3:5,7,9,4294967295"}},
      {{1, 2, 3, 4, 5, 6, 7}, 100, 3, {"1:3", "4:6", "7"}},
      {{1, 3, 5, 7, 9, 11}, 7, 100, {"1,3,5,7", "9,11"}},
      {{}, 100, 100, {}},
  };
  for (const auto& r : rows) EXPECT_EQ(imapUidSets(r.uids, r.length, r.count), r.sets);
  std::vector<uint32_t> many;
  for (uint32_t u = 1000000; many.size() < 5000; u += 2) many.push_back(u);  // 987 fit in 7900 characters
  const auto sets = imapUidSets(many, ImapSession::kMaxUidSetLength, ImapSession::kFetchBatch);
  EXPECT_EQ(sets.size(), 6u);
  size_t commas = 0;
  for (const auto& set : sets) {
    EXPECT_LE(set.size(), ImapSession::kMaxUidSetLength);
    commas += std::count(set.begin(), set.end(), ',') + 1;
  }
  EXPECT_EQ(commas, many.size());
}

// Atoms, blanks, the empty string, LF and NUL are proved through the session.
TEST(ImapQuoting, AtomsQuotedStringsAndRefusals) {
  const struct { std::string in; std::optional<std::string> astring; } rows[] = {
      {"user@example.com", "user@example.com"}, {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"x]", "\"x]\""}, {"{5}", "\"{5}\""}, {"a%*", "\"a%*\""}, {"tab\there", "\"tab\there\""},
      {"a\r\nC2 LOGOUT", std::nullopt}, {"a\rb", std::nullopt},
  };
  for (const auto& r : rows) EXPECT_EQ(imapAstring(r.in), r.astring) << r.in;
}

}  // namespace
}  // namespace brivane
