#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Pure parsers of the IMAP4 reply shapes the session reads. None of them
// touches a connection; a malformed reply is reported through an error text
// that the session raises as a reply error.
namespace brivane {

// The reply to one command: its status word ("OK", "NO", "BAD", "PREAUTH",
// "BYE" or "+"), the untagged data lines the command expects (each without
// its "* "), and the extra lines (the text of a tagged final line and the
// untagged lines the command did not expect).
struct ImapReply {
  std::string status;
  std::vector<std::string> textLines;
  std::vector<std::string> extraLines;
  // The text after the status word of the final line (also held in
  // textLines or extraLines); SELECT reads its response code from it.
  std::string finalText;
};

// "OK", "NO", "BAD", "PREAUTH", "BYE" or "+", in any case (RFC 3501 makes
// response words case-insensitive; ImapReply::status holds them upper-case).
bool isImapStatusWord(std::string_view word);
// "C" followed by at least one decimal digit and nothing else ("c" too).
bool isImapTag(std::string_view word);
// The text before the first blank.
std::string_view imapFirstWord(std::string_view line);
// The text after the first run of blanks behind the first word.
std::string_view imapAfterFirstWord(std::string_view line);
// A line's keyword: its first word, or its second word when the first is
// all decimal digits ("12 FETCH (UID 345)", "23 EXISTS").
std::string_view imapLineKeyword(std::string_view line);

// Splits collected reply lines (each already trimmed) into status word, text
// lines and extra lines. Returns the error text of a malformed reply (with
// ", offending line: " and the line where a line is at fault), or nothing.
// Empty text lines are dropped.
std::optional<std::string> parseImapCollectedLines(const std::vector<std::string>& lines,
                                                   ImapReply& reply);

// Moves the text lines whose keyword is not among `expected` to the extra
// lines (keywords compared without regard to case).
void keepExpectedImapLines(ImapReply& reply, const std::vector<std::string_view>& expected);

// A literal announcement ("{n}") ending a physical line.
struct ImapLiteral {
  enum Kind { None, Valid, Invalid } kind = None;
  uint32_t size = 0;
  size_t offset = 0;  // where the "{" stands
};
// A line ends with a literal announcement when its last character is "}"
// and the matching "{" begins a token (it starts the line or follows a blank
// or "("). The count must be a decimal number within 0..4294967295, else the
// announcement is Invalid.
ImapLiteral findImapLiteral(std::string_view line);
// True for an untagged data line ("* " followed by something other than a
// status word): the only lines that may announce a literal.
bool isImapDataLine(std::string_view line);
// The error text of an invalid literal announcement.
std::string imapInvalidLiteralError(std::string_view line);
// The literal bytes written as a quoted string, so that a line whose
// literal has been read stays one line for the tokenizers.
std::string imapQuotedForm(std::string_view bytes);

// Tokens of a LIST (or STATUS) data line: a double-quoted string (its
// content, "\\" and "\"" unescaped), a parenthesised group (its content
// without the outer parentheses; nesting counted, quoted parts inside kept
// as written) or a run of characters up to the next blank.
std::vector<std::string> tokenizeImapList(std::string_view line);
// The folder name of a LIST data line (without "* ") in its wire form: the
// token after the delimiter when the first is "LIST" (any case), byte for
// byte; extended data behind it is ignored. Nothing for other lines. The name is
// sent back in this form; decodeModifiedUtf7 gives the one to show.
std::optional<std::string> parseImapListLine(std::string_view line);

// What the last SELECT or EXAMINE reply said about a folder.
struct ImapMailbox {
  std::string name;
  uint32_t totalMessages = 0;
  uint32_t recentMessages = 0;
  uint32_t firstUnseen = 0;     // from "[UNSEEN n]" of SELECT
  std::string uidValidity;
  std::string uidNext;
  std::vector<std::string> flags;
  std::vector<std::string> permanentFlags;
  bool readWrite = false;
  std::vector<uint32_t> searchResult;

  void clear() { *this = ImapMailbox(); }
};

// Fills the record from a successful SELECT reply (the caller clears it
// first): "n EXISTS", "n RECENT", "FLAGS (...)" and the response codes
// UIDVALIDITY, UIDNEXT, PERMANENTFLAGS, UNSEEN and READ-WRITE / READ-ONLY.
void applyImapSelect(ImapMailbox& mailbox, const ImapReply& reply);
// The message numbers of the first SEARCH line among `textLines`, in reply
// order; words that are no message number are skipped.
std::vector<uint32_t> parseImapSearch(const std::vector<std::string>& textLines);
// Decimal number within 0..4294967295, nothing else.
std::optional<uint32_t> parseImapNumber(std::string_view text);

// The value a FETCH data line gave for one of the items asked for.
struct ImapFetchValue {
  enum Kind { Absent, Nil, Quoted, Literal } kind = Absent;
  std::string bytes;         // a quoted value unescaped, or the literal's bytes as far as kept
  uint32_t literalSize = 0;  // for Literal: the size the server announced
  bool truncated = false;    // bytes were dropped at the cap the reader set
};

// What a FETCH data line held.
struct ImapFetchItem {
  uint32_t messageNumber = 0;
  std::string uid;  // the value after "UID", as written
  std::vector<std::string> flags;
  std::vector<ImapFetchValue> values;  // one per item asked for, in the order asked
};

// Reads a FETCH data line piece by piece: the line itself, and after each
// literal the rest of the line that follows the literal's bytes. `wanted`
// are the items whose values are kept ("RFC822.HEADER", "BODY[TEXT]"),
// compared without regard to case; a partial fetch's origin ("<0>") is
// ignored. The items may come in any order.
class ImapFetchParser {
 public:
  explicit ImapFetchParser(std::vector<std::string> wanted);

  // The line without "* ": false when it is not "<number> FETCH (...".
  bool start(std::string_view line);
  // The text that followed a literal's bytes.
  void resume(std::string_view rest);

  const ImapFetchItem& item() const { return item_; }
  ImapFetchItem& item() { return item_; }
  // The index into `wanted` of the item whose value is the literal that the
  // piece last given announced; -1 when that literal is no wanted value (or
  // the piece announced none).
  int literalTarget() const { return literalTarget_; }

 private:
  void parseItems(std::string_view text);
  int wantedIndex(std::string_view name) const;

  std::vector<std::string> wanted_;
  ImapFetchItem item_;
  std::string pendingName_;  // item name waiting for its value
  bool closed_ = false;      // the outer ")" has been seen
  bool broken_ = false;      // a shape the parser does not follow
  int literalTarget_ = -1;
};

// A set of UIDs in the sequence-set syntax of RFC 3501 ("3:7,9,12:13"):
// sorted, duplicates dropped, runs collapsed into ranges; split into sets of
// at most `maxLength` characters and `maxCount` UIDs each (UID 0 is skipped).
std::vector<std::string> imapUidSets(std::vector<uint32_t> uids, size_t maxLength, size_t maxCount);

// The text of an "[ALERT]" response ("* OK [ALERT] text", "C3 NO [ALERT]
// text", any case); nothing for other lines.
std::optional<std::string> imapAlertText(std::string_view line);
// The words of a "[CAPABILITY ...]" response code opening `text` (the text
// after a status word); empty when there is none.
std::vector<std::string> imapCapabilityCode(std::string_view text);

// Quoted string for the wire: double quotes around the text, backslash and
// double quote escaped. Nothing when the text holds CR, LF or NUL.
std::optional<std::string> imapQuoted(std::string_view text);
// A LOGIN argument: an atom when the text is one, else a quoted string.
// Nothing when the text holds CR, LF or NUL.
std::optional<std::string> imapAstring(std::string_view text);

}  // namespace brivane
