#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Tokenizer of the list mark-up: text runs (entities decoded to UTF-8) and
// tags (names lower-cased, attributes by name without regard to case).
namespace brivane {

struct MarkupAttribute {
  std::string name;   // lower case
  std::string value;  // entities decoded
};

struct MarkupToken {
  enum class Kind { Text, Tag };
  Kind kind = Kind::Text;
  // Text: the decoded text (control characters turned into spaces).
  // Tag: the lower-cased tag name, without the slash of a closing tag.
  std::string text;
  bool closing = false;
  std::vector<MarkupAttribute> attributes;

  // The value of an attribute (name in lower case); nullptr when absent.
  const std::string* attribute(std::string_view name) const;
};

// The right tab of our own mark-up: the rest of its line is right-aligned
// against the row's width. Only the program writes it: texts from outside go
// through EscapeMarkup, which turns its "<" into "&lt;".
inline constexpr std::string_view kRightTab = "<RTAB>";
inline constexpr std::string_view kRightTabName = "rtab";  // as tokens name it

// Longest mark-up a row may hold; the rest is ignored so that a runaway text
// cannot make a row cost unbounded memory or time.
inline constexpr size_t kMaxMarkupBytes = 64 * 1024;

// Splits mark-up into tokens. Never fails: a "<" that does not open a
// well-formed tag is text, an unterminated tag is text, unknown entities stay
// as written.
std::vector<MarkupToken> parseMarkup(std::string_view markup);

// The same tokens, handed one at a time to `visit`, which may take the
// token's text. The token is only valid during the call.
void forEachMarkupToken(std::string_view markup, const std::function<void(MarkupToken&)>& visit);

// Decodes the entities of the mark-up ("&amp;", "&lt;", "&gt;", "&quot;",
// "&nbsp;", "&copy;", "&reg;", "&trade;", "&euro;", "&sect;", "&para;",
// "&permil;"); anything else after "&" is kept as written.
std::string decodeEntities(std::string_view text);

// Byte length of the entity at the start of `text` (which begins with "&"),
// or 0 when no known entity starts there.
size_t entityLength(std::string_view text);

// Makes a text safe to place into mark-up: "&", "<", ">" and the double quote
// become entities, the ampersand first so that nothing is escaped twice.
std::string EscapeMarkup(std::string_view text);
// The same, appended to `out`.
void AppendEscapedMarkup(std::string& out, std::string_view text);

// Splits text as it stands in mark-up (no tags) into the units that show as
// one character each: an entity or one UTF-8 character (a stray byte is one
// unit). Cutting a text between units never splits an entity or a sequence.
std::vector<std::string_view> markupTextUnits(std::string_view text);

}  // namespace brivane
